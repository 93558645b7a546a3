#include "cli/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "serial/port.h"

namespace cli {
namespace {

// Options that apply to some commands only; the others apply to every command.
enum : unsigned {
    kPortOpts = 1u << 0,  // --port --baud --log
    kSeconds = 1u << 1,
    kCsv = 1u << 2,  // --csv --reconnect
    kChip = 1u << 3,
    kOut = 1u << 4,
    kReg = 1u << 5,
    kFlashSteps = 1u << 6,  // --switch --erase --verify --erase-settle-ms
    kWriteAt = 1u << 7,
    kSpan = 1u << 8,  // --from --to
};

struct CommandRow {
    const char* name;
    Command command;
    std::size_t min_args;
    std::size_t max_args;
    const char* args_usage;
    unsigned options;
};

constexpr std::size_t kMany = ~std::size_t{0};

const CommandRow kCommands[] = {
    {"ports", Command::kPorts, 0, 0, "", 0},
    {"info", Command::kInfo, 0, 0, "", kPortOpts},
    {"read", Command::kRead, 1, kMany, " REG...", kPortOpts},
    {"write", Command::kWrite, 1, kMany, " REG...", kPortOpts},
    {"monitor", Command::kMonitor, 0, 0, "", kPortOpts | kSeconds | kCsv | kWriteAt},
    {"plot", Command::kPlot, 1, 1, " FILE.csv --out FILE.svg", kOut | kSpan},
    {"check", Command::kCheck, 1, 1, " FILE.hex", kChip | kOut},
    {"flash", Command::kFlash, 1, 1, " FILE.hex", kPortOpts | kChip | kFlashSteps},
    {"dump", Command::kDump, 0, 0, "", kPortOpts | kOut | kReg},
    {"verify", Command::kVerify, 1, 1, " FILE.hex", kPortOpts | kChip},
    {"help", Command::kHelp, 0, 0, "", 0},
};

struct OptionRow {
    const char* name;
    bool value;
    unsigned needs;  // 0: every command takes it
};

const OptionRow kOptionRows[] = {
    {"--port", true, kPortOpts},
    {"--baud", true, kPortOpts},
    {"--log", true, kPortOpts},
    {"--json", false, 0},
    {"--yes", false, 0},
    {"--verbose", false, 0},
    {"--help", false, 0},
    {"--version", false, 0},
    {"--seconds", true, kSeconds},
    {"--csv", true, kCsv},
    {"--reconnect", false, kCsv},
    {"--write-at", true, kWriteAt},
    {"--from", true, kSpan},
    {"--to", true, kSpan},
    {"--chip", true, kChip},
    {"--out", true, kOut},
    {"--reg", true, kReg},
    {"--switch", false, kFlashSteps},
    {"--erase", false, kFlashSteps},
    {"--verify", false, kFlashSteps},
    {"--erase-settle-ms", true, kFlashSteps},
};

const char* const kChips[] = {"328P", "1284P", "1281"};
constexpr unsigned long kMaxEraseSettleMs = 60000;

// A whole decimal number from 1 to max.
bool ToCount(const std::string& s, unsigned long max, uint32_t& v) {
    if (s.empty() || s[0] < '0' || s[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long n = std::strtoul(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || n == 0 || n > max) return false;
    v = static_cast<uint32_t>(n);
    return true;
}

bool SetOption(const std::string& name, const std::string& value, Options& o, std::string& error) {
    if (name == "--port") {
        o.port = value;
    } else if (name == "--baud") {
        uint32_t rate = 0;
        o.baud_row = -1;
        if (ToCount(value, 1000000, rate)) {
            for (int i = 0; i < kBaudRows; ++i)
                if (baudrate_table[i] == static_cast<int32_t>(rate)) o.baud_row = i;
        }
        if (o.baud_row < 0) {
            error = "--baud " + value +
                    ": not one of 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200";
            return false;
        }
    } else if (name == "--log") {
        o.log_file = value;
    } else if (name == "--json") {
        o.json = true;
    } else if (name == "--yes") {
        o.yes = true;
    } else if (name == "--verbose") {
        o.verbose = true;
    } else if (name == "--help") {
        o.command = Command::kHelp;
    } else if (name == "--version") {
        o.command = Command::kVersion;
    } else if (name == "--seconds") {
        // Up to a year, so the deadline in nanoseconds stays far from overflowing.
        if (!ToCount(value, 366ul * 24 * 3600, o.seconds)) {
            error = "--seconds " + value + ": not a whole number of seconds from 1";
            return false;
        }
    } else if (name == "--csv") {
        o.csv_file = value;
    } else if (name == "--reconnect") {
        o.reconnect = true;
    } else if (name == "--write-at") {
        // SECONDS:REG, the register text as write takes it.
        const std::size_t colon = value.find(':');
        WriteAt w{0, colon == std::string::npos ? "" : value.substr(colon + 1)};
        const std::string seconds = value.substr(0, colon);
        bool plain = !w.reg.empty();
        for (unsigned char c : w.reg) plain = plain && c >= 0x20 && c != 0x7F;
        if (!plain || colon == std::string::npos ||
            (seconds != "0" && !ToCount(seconds, 366ul * 24 * 3600, w.seconds))) {
            error = "--write-at " + value +
                    ": not SECONDS:REG (whole seconds from 0, a register text without control "
                    "characters)";
            return false;
        }
        o.write_at.push_back(w);
    } else if (name == "--from") {
        o.from = value;
    } else if (name == "--to") {
        o.to = value;
    } else if (name == "--chip") {
        bool known = false;
        for (const char* chip : kChips) known = known || value == chip;
        if (!known) {
            error = "--chip " + value + ": not one of 328P, 1284P, 1281";
            return false;
        }
        o.chip = value;
    } else if (name == "--out") {
        o.out = value;
    } else if (name == "--reg") {
        o.reg = value;
    } else if (name == "--switch") {
        o.switch_boot = true;
    } else if (name == "--erase") {
        o.erase = true;
    } else if (name == "--verify") {
        o.verify = true;
    } else if (name == "--erase-settle-ms") {
        uint32_t ms = 0;
        if (value != "0" && !ToCount(value, kMaxEraseSettleMs, ms)) {
            error = "--erase-settle-ms " + value + ": not a whole number of ms from 0 to " +
                    std::to_string(kMaxEraseSettleMs);
            return false;
        }
        o.erase_settle_ms = static_cast<int32_t>(ms);
    }
    if ((name == "--log" || name == "--csv" || name == "--out" || name == "--port") &&
        value.empty()) {
        error = name + " needs a non-empty value";
        return false;
    }
    return true;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& argv, const std::string& env_port,
                      Options& out, std::string& error) {
    Options o;
    std::vector<std::string> given;  // the options named, to check against the command
    std::vector<std::string> words;
    bool only_words = false;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (only_words || a.empty() || a[0] != '-' || a == "-") {
            words.push_back(a);
            continue;
        }
        if (a == "--") {
            only_words = true;
            continue;
        }
        std::string name = a == "-h" ? "--help" : a == "-v" ? "--verbose" : a;
        std::string value;
        const std::size_t eq = name.find('=');
        const bool inline_value = eq != std::string::npos;
        if (inline_value) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        const OptionRow* row = nullptr;
        for (const OptionRow& r : kOptionRows)
            if (name == r.name) row = &r;
        if (row == nullptr) {
            error = "unknown option " + name;
            return false;
        }
        if (row->value && !inline_value) {
            if (i + 1 >= argv.size()) {
                error = name + " needs a value";
                return false;
            }
            value = argv[++i];
        } else if (!row->value && inline_value) {
            error = name + " takes no value";
            return false;
        }
        if (!SetOption(name, value, o, error)) return false;
        given.push_back(name);
    }
    if (o.command == Command::kHelp || o.command == Command::kVersion) {
        out = o;
        return true;
    }
    if (words.empty()) {
        error = "no command given (lumrax --help lists them)";
        return false;
    }
    const CommandRow* cmd = nullptr;
    for (const CommandRow& r : kCommands)
        if (words[0] == r.name) cmd = &r;
    if (cmd == nullptr) {
        error = "unknown command " + words[0] + " (lumrax --help lists them)";
        return false;
    }
    o.command = cmd->command;
    o.command_name = cmd->name;
    o.args.assign(words.begin() + 1, words.end());
    if (o.command == Command::kHelp) {
        out = o;
        return true;
    }
    if (o.args.size() < cmd->min_args || o.args.size() > cmd->max_args) {
        error = "usage: lumrax " + o.command_name + cmd->args_usage;
        return false;
    }
    for (const std::string& name : given) {
        for (const OptionRow& r : kOptionRows) {
            if (name == r.name && r.needs != 0 && (cmd->options & r.needs) == 0) {
                error = name + " does not apply to " + o.command_name;
                return false;
            }
        }
    }
    if ((cmd->options & kPortOpts) != 0 && o.port.empty()) o.port = env_port;
    if ((cmd->options & kPortOpts) != 0 && o.port.empty()) {
        error = "no port: give --port or set LUMRAX_PORT";
        return false;
    }
    out = o;
    return true;
}

const char* HelpText() {
    return "usage: lumrax [options] COMMAND [arguments]   (options may also follow the "
           "command)\n"
           "\n"
           "Commands:\n"
           "  ports                 the serial ports that can be opened\n"
           "  info                  the start-up reads: firmware and hardware version,\n"
           "                        bootloader or application, PWM, CTL and search-always\n"
           "                        state; what the device does not report is unknown\n"
           "  read REG...           sends \"cr REG\" for each register text; prints each reply\n"
           "  write REG...          sends \"cw REG\" for each text (register and value, e.g.\n"
           "                        Wo1 or \"Pt 75\"); prints each reply\n"
           "  monitor               AutoRead; one CSV row per complete measurement cycle:\n"
           "                        time,vpeak_V,ipeak_A,vsupply_V,iavg_A,pavg_W,pcb_temp_C,\n"
           "                        marker (local time, ISO 8601; the marker empty); a row\n"
           "                        with only the time and a label for each command of the\n"
           "                        run that changed the generator; a live line on a\n"
           "                        terminal; Ctrl-C ends it\n"
           "      --seconds N       end after N seconds\n"
           "      --csv FILE        the rows into FILE instead of standard output; FILE is\n"
           "                        replaced when the run ends (Ctrl-C too)\n"
           "      --reconnect       a lost port is waited for and opened again (a line on\n"
           "                        standard error for each); the rows go on after a gap\n"
           "      --write-at S:REG  sends \"cw REG\" S seconds after the measurements began\n"
           "                        (repeatable), marked in the CSV\n"
           "  plot FILE.csv         draws a CSV of monitor as an SVG picture: the six series\n"
           "                        stacked on one time axis, the markers across them; no\n"
           "                        port; a file over 512 MiB is refused\n"
           "      --out FILE.svg    the picture (needed), replaced only when complete\n"
           "      --from T          the span from T, a local time like 2024-03-05T14:07:09\n"
           "      --to T            ... to T (default: the file's first and last rows)\n"
           "  dump                  the flash read-back as raw bytes\n"
           "      --out FILE        into FILE, replaced only by a complete dump (needed when\n"
           "                        standard output is a terminal)\n"
           "      --reg TEXT        the read that starts it (default Mr; must begin with Mr)\n"
           "  check FILE.hex        checks an Intel HEX file for the chip and writes its page\n"
           "                        images NAME.bin and NAME.avr; no port\n"
           "      --chip C          328P (default), 1284P or 1281\n"
           "      --out DIR         the images into DIR (default: the current directory;\n"
           "                        made when missing)\n"
           "  flash FILE.hex        the firmware update: the check, then the application line\n"
           "                        by line to the device's bootloader until it reports the\n"
           "                        end; progress on standard error\n"
           "      --chip C          as for check\n"
           "      --switch          first puts the device in its bootloader (cw Sboot) unless\n"
           "                        it runs there already, confirmed by its identification\n"
           "                        (Sv read once a second, for up to 5 s)\n"
           "      --erase           erases the device's flash (cw Fe) before the transfer;\n"
           "                        without an answer the erase is given 1600 ms\n"
           "                        (ATmega328P) or 3300 ms (1284P, 1281)\n"
           "      --erase-settle-ms N  that time in ms instead (0 to 60000)\n"
           "      --verify          afterwards switches back to the application and verifies\n"
           "  verify FILE.hex       reads the flash back (cr Mr) and compares the application\n"
           "                        section with the image: the first differing address and\n"
           "                        how many differ\n"
           "      --chip C          as for check\n"
           "\n"
           "Options:\n"
#if defined(_WIN32)
           "  --port P      COM1 to COM40 (default: the environment variable LUMRAX_PORT)\n"
#else
           "  --port P      the device, e.g. /dev/ttyUSB0 (default: the environment variable\n"
           "                LUMRAX_PORT)\n"
#endif
           "  --baud B      1200, 2400, 4800, 9600, 14400, 19200, 38400 (default), 57600 or\n"
           "                115200\n"
           "  --json        one JSON object per line on standard output: results, replies,\n"
           "                rows, messages and errors\n"
           "  --log FILE    the COM traffic log, in the window program's format, into FILE\n"
           "                (replaced when the run ends, if the port was opened)\n"
           "  --yes         answer the program's questions with OK; without it a terminal\n"
           "                asks and a run without a terminal refuses\n"
           "  --verbose     the program's diagnostic trace on standard error\n"
           "  --help        this text\n"
           "  --version     the program's version\n"
           "\n"
           "Every failure is one line on standard error. Exit codes:\n"
           "  0 done   1 a local file (or standard output) cannot be read or written, or is\n"
           "  not a regular file   2 usage, or a question answered Cancel   3 the hex file\n"
           "  refused by the check, or the CSV by plot   4 port cannot be opened, is busy or\n"
           "  was lost   5 device time-out (no answer within 5 s)   6 device error or unknown\n"
           "  reply   7 the device's end does not match the lines sent   8 verify found\n"
           "  differences   130 interrupted (Ctrl-C, also at a question)\n";
}

}  // namespace cli
