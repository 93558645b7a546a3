#!/usr/bin/env python3
"""Times `lumrax flash` at the tick pace and at the answer's pace (--pace ack) natively on Linux
against lumrax-sim on a pty, with the ATmega328P fixture: the transfer's lines per second, the
whole `flash --switch --erase --verify` from a device that runs its application, and the
answer's pace against a bootloader that answers before its page write (--boot-answer first).

    cmake -S . -B build/rel -DCMAKE_BUILD_TYPE=Release
    cmake --build build/rel --target lumrax lumrax-sim
    python3 bench/flash_pace.py [--build build/rel] [--markdown]

The simulator paces the bytes as a line at the rate set (ten bits a byte), answers a record
2.3 ms after its last byte and 4.5 ms later when the record completes a flash page (the page
write), or at once and then writes the page (answer first)."""

import argparse
import datetime
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
sys.dont_write_bytecode = True

import harness  # noqa: E402

FIXTURE = os.path.join(HERE, "..", "tests", "fixtures", "atmega328p_app.hex")
BOOT = ["--firmware", "boot", "--flash", "blank"]


def transfer(traffic):
    """The transfer in a trace: its lines (records, a resent one once), the seconds from the
    first record to the device's end, and the device's resend requests."""
    records = [(t, d) for t, way, d in traffic if way == "PC>dev" and d[:1] == b":"]
    end = next(t for t, way, d in traffic if way == "dev>PC" and d == b"n"
               and t >= records[-1][0])
    resends = sum(1 for t, way, d in traffic if way == "dev>PC" and d == b"c"
                  and records[0][0] <= t <= end)
    lines = len(records) - resends
    seconds = end - records[0][0]
    return {"lines": lines, "seconds": round(seconds, 3), "lines_per_s": round(lines / seconds, 1),
            "resends": resends, "erase_to_first_line": None}


def run(build, scratch, name, baud, sim_options, flash_options):
    folder = os.path.join(scratch, name.replace(" ", "_") + f"_{baud}")
    os.makedirs(folder)
    os.environ["LRX_E2E_SIM"] = os.path.join(build, "sim", "lumrax-sim")
    sim = harness.Simulator(folder, os.path.join(folder, "tty"), ["--baud", str(baud),
                                                                   *sim_options])
    try:
        started = time.monotonic()
        done = subprocess.run([os.path.join(build, "lumrax"), "--port", sim.link, "--baud",
                               str(baud), "--json", "flash", FIXTURE, "--yes", *flash_options],
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=900,
                              check=False)
        wall = time.monotonic() - started
        traffic = sim.traffic()
    finally:
        sim.stop()
    if done.returncode != 0:
        raise SystemExit(f"{name} at {baud} bps: lumrax ended with {done.returncode}: "
                         f"{done.stderr.decode(errors='replace')}")
    events = [json.loads(line) for line in done.stdout.splitlines()]
    flashed = next(e for e in events if e["event"] == "result" and e["command"] == "flash")
    r = {"name": name, "baud": baud, "wall": round(wall, 2), "pace": flashed["pace"],
         "verified": any(e["event"] == "result" and e["command"] == "verify"
                         and e["differ"] == 0 for e in events),
         "load": " / ".join(f"{v:.2f}" for v in os.getloadavg()), **transfer(traffic)}
    erase = [t for t, way, d in traffic if way == "PC>dev" and b"cw Fe" in d]
    first = next(t for t, way, d in traffic if way == "PC>dev" and d[:1] == b":")
    if erase:
        r["erase_to_first_line"] = round(first - erase[0], 2)
    return r


# name, bps, simulator options, flash options
RUNS = [
    ("tick", 38400, BOOT, ["--pace", "tick"]),
    ("ack", 38400, BOOT, ["--pace", "ack"]),
    ("tick", 115200, BOOT, ["--pace", "tick"]),
    ("ack", 115200, BOOT, ["--pace", "ack"]),
    ("whole, ack", 38400, [], ["--pace", "ack", "--switch", "--erase", "--verify"]),
    ("whole, ack, silent erase", 38400, ["--no-reply", "Fe"],
     ["--pace", "ack", "--switch", "--erase", "--verify"]),
    ("whole, tick", 38400, [], ["--pace", "tick", "--switch", "--erase", "--verify"]),
    ("ack, answer first", 38400, BOOT + ["--boot-answer", "first"], ["--pace", "ack", "--verify"]),
    ("ack, answer first", 115200, BOOT + ["--boot-answer", "first"],
     ["--pace", "ack", "--verify"]),
]


def run_all(build, scratch, say=lambda text: None):
    results = []
    for name, baud, sim_options, flash_options in RUNS:
        say(f"lumrax flash {name} at {baud} bps ...")
        results.append(run(build, scratch, name, baud, sim_options, flash_options))
    return results


def section(results, when):
    """The figures as a section of docs/benchmarks.md; when: the date of the runs."""
    def find(name, baud):
        return next(r for r in results if r["name"] == name and r["baud"] == baud)

    rows = []
    for r in results:
        erase = "-" if r["erase_to_first_line"] is None else f"{r['erase_to_first_line']:.2f} s"
        rows.append(f"| {r['name']} | {r['baud']} | {r['lines']} | {r['seconds']:.2f} | "
                    f"{r['lines_per_s']:.1f} | {r['resends']} | {r['pace']} | {r['wall']:.1f} s | "
                    f"{erase} | {'yes' if r['verified'] else '-'} | {r['load']} |")
    ratio = [f"{find('ack', b)['lines_per_s'] / find('tick', b)['lines_per_s']:.1f} times at "
             f"{b} bps" for b in (38400, 115200)]
    whole = find("whole, ack", 38400)
    silent = find("whole, ack, silent erase", 38400)
    return "\n".join([
        "## The answer's pace",
        "",
        "`bench/flash_pace.py`: `lumrax flash` with the ATmega328P fixture against `lumrax-sim` "
        "on a pty, at the tick pace (three 10 ms ticks a line, `--pace tick`) and at the "
        "answer's pace (`--pace ack`: the next line as soon as the letter for the last one has "
        "come; `--min-gap-ms` at its default of 1 ms, which the simulated device's 2.3 ms "
        "answer never makes bind). The simulator paces its bytes as a line at the rate set and "
        "takes 4.5 ms for the page write of every record that completes a page. Lines per "
        "second from the first record on the wire to the device's end; the whole runs are "
        "`flash --switch --erase --verify` from a device that runs its application, timed from "
        "the start of `lumrax` to its end; \"erase\" is the time from `cw Fe` to the first line. "
        "\"answer first\" is a bootloader that answers a page's last record before it writes "
        "the page (`--boot-answer first`): the next record's bytes are lost, it asks for that "
        "record again, and the run goes on at the tick pace (the pace the run ended at). "
        f"Measured {when} on the machine above, while others built on it (the load column).",
        "",
        "| run | bps | lines | seconds | lines/s | resends | pace at the end | wall | erase "
        "| verified | load |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
        *rows,
        "",
        f"The answer's pace sends the fixture's lines {ratio[0]} and {ratio[1]} as fast as the "
        f"tick pace. The whole update at 38400 bps takes {whole['wall']:.1f} s, of which the "
        f"transfer {whole['seconds']:.1f} s and the read-back of the 28 KiB application section "
        "for the verify most of the rest (7.5 s of bytes at 38400 bps); the simulated device "
        "answers `cw Fe` at once. A device that does not answer it is given the ATmega328P's "
        f"erase settle time of 1600 ms before the first line ({silent['wall']:.1f} s in all), "
        "which then is the largest part of the run after the transfer and the read-back.",
    ])


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(HERE, "..", "build", "rel"))
    p.add_argument("--markdown", action="store_true", help="print the section of the report")
    a = p.parse_args()
    scratch = tempfile.mkdtemp(prefix="lrx-pace-bench-")
    try:
        results = run_all(os.path.abspath(a.build), scratch,
                          lambda text: print(text, file=sys.stderr, flush=True))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    if a.markdown:
        print(section(results, datetime.datetime.now(datetime.timezone.utc)
                      .strftime("%Y-%m-%d %H:%M UTC")))
    else:
        for r in results:
            print(json.dumps(r))


if __name__ == "__main__":
    main()
