#!/usr/bin/env python3
"""Runs every benchmark and writes the figures, with the machine they ran on, as Markdown.
Called by tools/bench.sh after it has built the host Release build and the Windows program:

    python3 bench/report.py --build build/rel --win build/win --out docs/benchmarks.md [--quick]

--quick leaves out the ATmega1284P updates and shortens the idle windows to 10 s."""

import argparse
import datetime
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True

import chart_idle_wine  # noqa: E402
import flash_native  # noqa: E402
import flash_pace  # noqa: E402
import idle_wine  # noqa: E402
import transfer_timing  # noqa: E402
import update_wine  # noqa: E402

GOOGLE_BENCHMARKS = ["bench_reply_pump", "hex_check_bench", "flash_dump_bench", "chart_bench"]
UPDATES = [("atmega328p_app", "328P", 115200), ("atmega328p_app", "328P", 38400),
           ("atmega1284p_app", "1284P", 115200), ("atmega1284p_app", "1284P", 38400)]


def say(text):
    print(text, file=sys.stderr, flush=True)


def first_line(cmd):
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, check=False, timeout=60)
    except OSError:
        return "not found"
    return (out.stdout or out.stderr).strip().splitlines()[0] if (out.stdout or out.stderr) else "?"


def load():
    return " / ".join(f"{v:.2f}" for v in os.getloadavg())


def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kib = int(f.readline().split()[1])
    return [
        ("CPU", f"{model}, {os.cpu_count()} cores"),
        ("Memory", f"{mem_kib / 1024 / 1024:.1f} GiB"),
        ("Kernel", f"{platform.system()} {platform.release()}"),
        ("Distribution", first_line(["sh", "-c", ". /etc/os-release && echo $PRETTY_NAME"])),
        ("Wine", first_line(["wine", "--version"])),
        ("Host compiler", first_line(["g++", "--version"])),
        ("Windows cross compiler", first_line(["x86_64-w64-mingw32-g++-posix", "--version"])),
        ("Date", datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")),
        ("Load average at the start (1/5/15 min)", load()),
    ]


def google_benchmarks(build):
    found = {}
    for name in GOOGLE_BENCHMARKS:
        say(f"{name} ...")
        out = subprocess.run([os.path.join(build, name), "--benchmark_format=json"],
                             capture_output=True, text=True, check=True)
        for b in json.loads(out.stdout)["benchmarks"]:
            if b.get("error_occurred"):
                raise SystemExit(f"{name}: {b['name']}: {b.get('error_message')}")
            found[b["name"]] = b
    return found


def ms(b, key):
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
    return b[key] * scale


def table(head, rows):
    out = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    out += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(out)


def slow_lines(r):
    """Lines that took more than three ticks: after a late letter, and after a late tick with
    the share of late ticks before and after the line echo begins."""
    before, after = r["late_tick_percent"]
    split = f"{before:.0f} % / {after:.0f} %" if after is not None else f"{before:.0f} % / -"
    return f"{r['late_letter']}", f"{r['late_tick']} ({split})"


def program_bound(r):
    """The device's time from records to letters, the program's bound with it, and the share."""
    return (f"{r['device_seconds']:.1f} s", f"{r['program_bound_seconds']:.1f} s",
            f"{r['percent_of_program_bound']:.1f}")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build", "rel"))
    p.add_argument("--win", default=os.path.join(ROOT, "build", "win"))
    p.add_argument("--out", default=os.path.join(ROOT, "docs", "benchmarks.md"))
    p.add_argument("--quick", action="store_true")
    a = p.parse_args()
    build, win = os.path.abspath(a.build), os.path.abspath(a.win)
    os.environ.update({"LRX_WIN_BUILD_DIR": win,
                       "LRX_E2E_SIM": os.path.join(build, "sim", "lumrax-sim"),
                       "LRX_E2E_RUNS": os.path.join(build, "bench-runs")})
    started = datetime.datetime.now()
    host = machine()
    gb = google_benchmarks(build)

    updates = [u for u in UPDATES if not (a.quick and u[1] != "328P")]
    wine_runs, native_runs = [], []
    scratch = tempfile.mkdtemp(prefix="lrx-bench-")
    try:
        for fixture, chip, baud in updates:
            say(f"update under Wine: {fixture} at {baud} bps ...")
            wine_runs.append((update_wine.run(baud, fixture, chip), load()))
            say(f"lumrax flash: {fixture} at {baud} bps ...")
            native_runs.append((flash_native.run(build, baud, fixture, scratch), load()))
        pace_runs = flash_pace.run_all(build, scratch, say)
        pace_when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    seconds = 10 if a.quick else 30
    say("idle under Wine, the floor and the program side by side ...")
    floor, programs = idle_wine.side_by_side(seconds, ["closed", "open", "autoread"])
    idle_load = load()
    idle = [("wine_probe.exe, timers of 10, 20, 25 ms (the floor)", floor, idle_load)]
    idle += [(f"LUM_RAX_COM.exe, {idle_wine.STATES[r['state']]}", r, idle_load) for r in programs]
    say("wine_probe.exe console ...")
    console = idle_wine.console_cost()
    say("the chart window open and closed, side by side ...")
    chart = chart_idle_wine.run(seconds)
    chart_load = load()
    minutes = (datetime.datetime.now() - started).total_seconds() / 60

    md = [
        "# Benchmarks",
        "",
        "Written by `tools/bench.sh`, which builds the host Release build (`build/rel`) and the "
        "Windows program (`build/win`), runs every benchmark below and rewrites this file"
        f"{' (here with --quick)' if a.quick else ''}; this run took {minutes:.0f} minutes. "
        "The machine is shared (two cores): the load average (1, 5 and 15 minutes) beside a "
        "figure, taken when its measurement ended, says how busy it was; figures of CPU time "
        "move by some tenths of a percent from run to run.",
        "",
        "## Machine",
        "",
        table(["", ""], host),
        "",
        "## Replies through the receive pump and the reply parser",
        "",
        "`bench_reply_pump`: a mix of twelve framed replies (state reads, PWM settings, "
        "measurements) fed to the real receive pump on the fake port, tick by tick until the "
        "idle rule hands each one to the real parser, which fills the page's fields; CPU time "
        "per reply.",
        "",
        table(["", "CPU time per reply", "replies per second"], [
            ("pump and parser", f"{gb['BM_ReplyPumpAndParser']['cpu_time']:.0f} ns",
             f"{gb['BM_ReplyPumpAndParser']['items_per_second'] / 1e6:.2f} million"),
            ("parser alone", f"{gb['BM_ParserOnly']['cpu_time']:.0f} ns",
             f"{gb['BM_ParserOnly']['items_per_second'] / 1e6:.2f} million"),
            ("parser, a 32 KiB reply without a known string (worst case)",
             f"{ms(gb['BM_ParserLongUnknownReply'], 'cpu_time') * 1000:.0f} µs",
             f"{gb['BM_ParserLongUnknownReply']['items_per_second']:.0f}"),
        ]),
        "",
        "The line itself allows far fewer: a reply is complete only after `COM_timeout_max` + 1 "
        "silent ticks (110 ms after a baud rate was picked), so a device gets at most about nine "
        "replies a second through; the pump and parser take a few microseconds of them.",
        "",
        "## Check and page build of the largest files",
        "",
        "`hex_check_bench`: the largest files each chip accepts, generated in the benchmark: "
        "the ATmega328P's whole application section (1792 lines of 16 bytes and the end record, "
        "1793 lines) and the ATmega1284P's (7679 lines of 16 bytes, an extended segment address "
        "record at 64 KiB and the end record, 7681 lines). File Open reads the file, checks "
        "every line, builds the pages and writes the .bin and .avr files; File Check does the "
        "same without reading the file. Wall time includes the writing of the image files to "
        "disk.",
        "",
        table(["file", "File Open, wall", "File Open, CPU", "File Check, wall", "File Check, CPU",
               "lines per second (CPU)"], [
            (gb[f"BM_FileOpenLargest/{i}"]["label"],
             f"{ms(gb[f'BM_FileOpenLargest/{i}'], 'real_time'):.1f} ms",
             f"{ms(gb[f'BM_FileOpenLargest/{i}'], 'cpu_time'):.2f} ms",
             f"{ms(gb[f'BM_FileCheckLargest/{i}'], 'real_time'):.1f} ms",
             f"{ms(gb[f'BM_FileCheckLargest/{i}'], 'cpu_time'):.2f} ms",
             f"{gb[f'BM_FileOpenLargest/{i}']['items_per_second'] / 1e6:.1f} million")
            for i in (0, 1)]),
        "",
        "`flash_dump_bench`: the flash read-back dump of a whole 128 KiB flash (half erased) to "
        "the console, the text area and, in the second row, the COM log: "
        f"{ms(gb['BM_FlashDump128KiB/0'], 'cpu_time'):.2f} ms without the log, "
        f"{ms(gb['BM_FlashDump128KiB/1'], 'cpu_time'):.2f} ms with it (CPU).",
        "",
        "## The chart's redraw",
        "",
        "`chart_bench`: the chart's longest span, 24 h of the six series with full rings "
        "(86,400 samples each, a port reopened every few hours), reduced to min/max pixel "
        "columns as a redraw does, for a window 1000 and 3840 columns wide: "
        f"{ms(gb['BM_Decimate24h/1000'], 'cpu_time'):.2f} ms and "
        f"{ms(gb['BM_Decimate24h/3840'], 'cpu_time'):.2f} ms (CPU), against the goal of 10 ms. "
        "A reply of all six readings costs the recorder "
        f"{gb['BM_RecorderOnReply']['cpu_time']:.0f} ns.",
        "",
        "## Firmware update, end to end",
        "",
        "The window program under Wine (`bench/update_wine.py`: File Open through the file "
        "dialog, Go!, the boxes answered) and `lumrax flash` natively (`bench/flash_native.py`), "
        "each against `lumrax-sim` on a pty, the device in its bootloader with an erased flash. "
        "Lines per second from the first record on the wire to the device's end, against the "
        "protocol's bound of three 10 ms ticks a line (33.3 lines/s). The lines that took more "
        "than three ticks (their next record came more than 30 ms after them) are split by the "
        f"device's letter: later than {transfer_timing.EARLY_LETTER_MS} ms after the record (it "
        "may have missed the next tick: a late letter), or earlier (then the program's tick "
        "came late); the late ticks are also given as a share of the first 1001 lines and of "
        "the rest. The device's own time is split out: for each line the time from its record "
        "to its letter (the record on the wire at the rate, the device's 2 ms, its page write, "
        "the letter on the wire), summed as \"device's time\". The program's bound gives each "
        "line the ticks that time leaves it: the letter is read on the first tick after it "
        "came and the next tick, silent, ends the reply and sends the next line, so three "
        "ticks when the letter comes within a tick and one more for each further 10 ms; \"% "
        "of program's bound\" is that bound over the time taken. It can pass 100 %: after a "
        "write the Win32 port waits up to 2 ms for the reply's first byte, so a letter a "
        "little later than a tick is still read on it.",
        "",
        table(["program", "file", "bps", "lines", "seconds", "lines/s", "% of bound",
               "device's time", "program's bound", "% of program's bound", "late letters",
               "late ticks (first 1001 lines / rest)", "CPU", "load"],
              [("LUM_RAX_COM.exe (Wine)", r["fixture"], r["baud"], r["lines"],
                f"{r['seconds']:.1f}", f"{r['lines_per_s']:.1f}", f"{r['percent_of_bound']:.1f}",
                *program_bound(r), *slow_lines(r), "-", la) for r, la in wine_runs]
              + [("lumrax (native)", r["fixture"], r["baud"], r["lines"], f"{r['seconds']:.1f}",
                  f"{r['lines_per_s']:.1f}", f"{r['percent_of_bound']:.1f}", *program_bound(r),
                  *slow_lines(r), f"{r['cpu_percent']:.2f} %", la) for r, la in native_runs]),
        "",
        "Why lines take more than three ticks: a line goes out on a tick, its letter must "
        "arrive before the next tick, and the tick after that, silent, ends the reply; the "
        "next line goes out on the third tick. The simulated device answers 2 ms after a "
        "record's last byte, 4.5 ms later when the record completes a flash page (128 bytes "
        "on the ATmega328P: every 8th line; 256 on the ATmega1284P: every 16th). At 115200 bps "
        "a 24-byte record is 2.1 ms on the line: an ordinary letter comes about 4 ms after the "
        "record, a page write's about 9 ms, at the edge of the next tick, which it often "
        "misses. At 38400 bps the record alone is 6.25 ms: an ordinary letter comes after "
        "about 8.5 ms and a page write's after 13 ms, so many more letters miss. These late "
        "letters are the device's timing and come alike natively and under Wine. Late ticks "
        "are the program's. `lumrax` runs its ticks on absolute deadlines and has almost none. "
        "The window program's ticks are WM_TIMER messages, which come only when its thread is "
        "free, and a late one is not made up. Under Wine its thread is held by the console: a "
        "console write returns only after Wine's console host has drawn the text on its "
        "terminal, some milliseconds for a line (`wine_probe.exe console`, on the terminal that "
        f"the tests capture: {console['short_line_ms']:.1f} ms for a short line, "
        f"{console['echo_ms']:.1f} ms for an echo of {console['echo_chars']} characters). "
        "Every line of an update prints three short console lines, and "
        "every line after the first 1001 also its echo (\"sent: \" and the record in hex), "
        "which is why the late ticks rise after the first 1001 lines. How many ticks come late "
        "depends on how busy the machine is. On Windows a console write takes microseconds.",
        "",
        flash_pace.section(pace_runs, pace_when),
        "",
        "## Idle cost under Wine",
        "",
        f"`bench/idle_wine.py`: CPU over {seconds} s of wall time, from /proc, of the program's "
        "process, of the Wine server and of the prefix's other Wine processes (console host, "
        "explorer, services); the program's resident memory at the end (peak, and the part "
        "that is its own, anonymous, rather than mapped Wine libraries). With AutoRead on, the "
        "program reads one measurement a second and prints the command and the reply on its "
        "console. `wine_probe.exe timers` is a window whose timers do nothing: what Wine "
        "charges for the timers alone.",
        "",
        table(["process", "program CPU", "Wine server CPU", "other Wine processes CPU",
               "all", "times the floor (all / program and server)",
               "program RSS (peak, anonymous)", "load"],
              [(name, f"{r['app_cpu_percent']:.2f} %", f"{r['wineserver_cpu_percent']:.2f} %",
                f"{r['others_cpu_percent']:.2f} %", f"{r['total_cpu_percent']:.2f} %",
                f"{r['ratio_total']:.2f} / {r['ratio_app_server']:.2f}" if "ratio_total" in r
                else "1", (f"{r['app_rss_kib'] / 1024:.1f} MiB ({r['app_rss_peak_kib'] / 1024:.1f}, "
                           f"{r['app_anon_kib'] / 1024:.1f})") if "app_rss_peak_kib" in r
                else f"{r['app_rss_kib'] / 1024:.1f} MiB", la)
               for name, r, la in idle]),
        "",
        "The floor and the program's three states run side by side, each in its own prefix "
        "and display, over the same window, so that whatever else the machine does weighs on "
        "all of them alike; \"all\" is every process of the prefix but the test driver, and "
        "the ratio is to the floor's. With the port closed only the 20 and 25 ms timers run "
        "(the receive timer is started by COM Start and stopped with the port). With the port "
        "open a thread of the Win32 port waits in ReadFile, so an idle 10 ms tick takes what "
        "it kept without a call into Wine; before, every tick made a ClearCommError and a "
        "ReadFile, each a round trip to the Wine server. What AutoRead adds is its measurement "
        "a second: the command and the reply on the console (Wine's console host draws every "
        "character on its terminal, and every console write is a round trip through the Wine "
        "server to it) and the fields and status line it repaints.",
        "",
        "## The chart window's cost under Wine",
        "",
        f"`bench/chart_idle_wine.py`: two programs side by side over the same {seconds} s of "
        "wall time, each in its own sandbox (Wine prefix, Xvfb display, simulator on COM15), "
        "both with the port open and AutoRead on; one has the chart window open at its 1 min "
        "span, where the time axis moves every second, the other has it closed. CPU from /proc "
        "of each program, of its Wine server and of its X server, which draws what the window "
        "shows. The chart draws into a memory bitmap only when the recorder has a new sample or "
        "marker or the axis has moved a column (at most once a second, checked every 500 ms); "
        "WM_PAINT only copies that bitmap. The goal: at most 1.2 times the program without it.",
        "",
        table(["chart", "program CPU", "Wine server CPU", "Xvfb CPU", "program RSS", "load"],
              [(name, f"{chart[name]['app_cpu_percent']:.2f} %",
                f"{chart[name]['wineserver_cpu_percent']:.2f} %",
                f"{chart[name]['xvfb_cpu_percent']:.2f} %",
                f"{chart[name]['app_rss_kib'] / 1024:.1f} MiB", chart_load)
               for name in ("closed", "open")]),
        "",
        f"Open / closed: {chart['ratio_app']:.2f} for the program, {chart['ratio_all']:.2f} for "
        "the program, its Wine server and its X server together.",
        "",
    ]
    os.makedirs(os.path.dirname(os.path.abspath(a.out)), exist_ok=True)
    with open(a.out, "w") as f:
        f.write("\n".join(md))
    say(f"wrote {a.out}")


if __name__ == "__main__":
    main()
