# bash completion for lumrax: commands, options, their values and the serial ports that
# lumrax ports finds.

_lumrax() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}

    case $prev in
        --port)
            local IFS=$'\n'
            COMPREPLY=($(compgen -W "$("${COMP_WORDS[0]}" ports 2>/dev/null)" -- "$cur"))
            return ;;
        --baud)
            COMPREPLY=($(compgen -W "1200 2400 4800 9600 14400 19200 38400 57600 115200" \
                -- "$cur"))
            return ;;
        --chip)
            COMPREPLY=($(compgen -W "328P 1284P 1281" -- "$cur"))
            return ;;
        --log | --csv | --out)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur"))
            return ;;
        --seconds | --reg | --erase-settle-ms | --write-at | --from | --to)
            return ;;
    esac

    # The command is the first word that is neither an option nor an option's value.
    local i word command=
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            --port | --baud | --log | --seconds | --csv | --chip | --out | --reg | --erase-settle-ms | \
                --write-at | --from | --to)
                i=$((i + 1)) ;;
            -*) ;;
            *)
                command=$word
                break ;;
        esac
    done

    local options="--json --yes --verbose --help --version"
    case $command in
        "")
            options+=" --port --baud --log --seconds --csv --chip --out --reg --switch --erase"
            options+=" --verify --erase-settle-ms --reconnect --write-at --from --to" ;;
        info | read | write) options+=" --port --baud --log" ;;
        monitor) options+=" --port --baud --log --seconds --csv --reconnect --write-at" ;;
        plot) options+=" --out --from --to" ;;
        dump) options+=" --port --baud --log --out --reg" ;;
        check) options+=" --chip --out" ;;
        flash) options+=" --port --baud --log --chip --switch --erase --verify --erase-settle-ms" ;;
        verify) options+=" --port --baud --log --chip" ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    elif [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "ports info read write monitor plot dump check flash verify help" \
            -- "$cur"))
    elif [[ $command == check || $command == flash || $command == verify ]]; then
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -X '!*.[hH][eE][xX]' -- "$cur") $(compgen -d -- "$cur"))
    elif [[ $command == plot ]]; then
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -X '!*.[cC][sS][vV]' -- "$cur") $(compgen -d -- "$cur"))
    fi
}
complete -F _lumrax lumrax
