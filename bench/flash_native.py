#!/usr/bin/env python3
"""Times `lumrax flash` natively on Linux against lumrax-sim on a pty: the lines per second from
the first record on the wire to the device's end, against the protocol's bound of three 10 ms
ticks a line (33.3 lines/s), and the CPU that lumrax takes meanwhile.

    cmake -S . -B build/rel -DCMAKE_BUILD_TYPE=Release
    cmake --build build/rel --target lumrax lumrax-sim
    python3 bench/flash_native.py [--build build/rel] [--baud 115200 ...] [--fixture NAME]

The device starts in its bootloader with an erased flash. Besides the rate, each run shows how
many lines took three ticks (30 ms from record to record) and how many took more, and the
device's reply time (from the record leaving the program to its letter) of each group: a reply that comes
later than the next tick costs the line a fourth tick."""

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
sys.dont_write_bytecode = True

import harness  # noqa: E402

FIXTURES = os.path.join(HERE, "..", "tests", "fixtures")
BOUND = 100 / 3
CHIP_OF = {"atmega328p_app": "328P", "atmega1284p_app": "1284P"}


def run(build, baud, fixture, scratch):
    chip = CHIP_OF.get(fixture, "328P")
    folder = os.path.join(scratch, f"{fixture}_{baud}")
    os.makedirs(os.path.join(folder, "dosdevices"))
    os.environ["LRX_E2E_SIM"] = os.path.join(build, "sim", "lumrax-sim")
    sim = harness.Simulator(types.SimpleNamespace(prefix=folder, dir=folder),
                            ["--baud", str(baud), "--firmware", "boot", "--flash", "blank",
                             "--chip", chip])
    try:
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        done = subprocess.run([os.path.join(build, "lumrax"), "--port", sim.link, "--baud",
                               str(baud), "flash", os.path.join(FIXTURES, fixture + ".hex"),
                               "--chip", chip, "--yes"], stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=900, check=False)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        traffic = sim.traffic()
    finally:
        sim.stop()
    if done.returncode != 0:
        raise SystemExit(f"{baud} bps: lumrax ended with {done.returncode}: "
                         f"{done.stderr.decode(errors='replace')}")
    records = [t for t in traffic if t[1] == "PC>dev" and t[2][:1] == b":"]
    letters = [t for t in traffic if t[1] == "dev>PC" and t[2] in (b"w", b"n")]
    if not records or not letters or letters[-1][2] != b"n":
        raise SystemExit(f"{baud} bps: no complete transfer in the trace")
    seconds = letters[-1][0] - records[0][0]
    lines = len(records)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    # Record to record: 30 ms is three ticks; the reply time says why a line took longer.
    groups = {}
    for k in range(1, lines):
        gap_ms = round((records[k][0] - records[k - 1][0]) * 1000 / 10) * 10
        reply_ms = (letters[k - 1][0] - records[k - 1][0]) * 1000
        g = groups.setdefault(gap_ms, [])
        g.append(reply_ms)
    return {
        "baud": baud, "fixture": fixture, "lines": lines, "seconds": round(seconds, 3),
        "lines_per_s": round(lines / seconds, 2),
        "percent_of_bound": round(lines / seconds / BOUND * 100, 1),
        "cpu_s": round(cpu, 3), "cpu_percent": round(cpu / seconds * 100, 2),
        "gaps": {f"{gap} ms": {"lines": len(r), "reply_ms_max": round(max(r), 2),
                               "reply_ms_min": round(min(r), 2)}
                 for gap, r in sorted(groups.items())},
    }


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(HERE, "..", "build", "rel"))
    p.add_argument("--baud", type=int, action="append")
    p.add_argument("--fixture", default="atmega328p_app", choices=sorted(CHIP_OF))
    p.add_argument("--json", action="store_true")
    a = p.parse_args()
    scratch = tempfile.mkdtemp(prefix="lrx-flash-bench-")
    try:
        for baud in a.baud or [115200, 38400]:
            r = run(os.path.abspath(a.build), baud, a.fixture, scratch)
            if a.json:
                print(json.dumps(r))
            else:
                print(f"{r['fixture']} at {baud} bps: {r['lines']} lines in {r['seconds']:.2f} s, "
                      f"{r['lines_per_s']:.2f} lines/s, {r['percent_of_bound']:.1f} % of 33.3; "
                      f"lumrax CPU {r['cpu_s']:.2f} s ({r['cpu_percent']:.2f} % of a core)")
                for gap, g in r["gaps"].items():
                    print(f"    {g['lines']:5d} lines {gap} apart, device reply "
                          f"{g['reply_ms_min']:.1f}..{g['reply_ms_max']:.1f} ms after the record")
            sys.stdout.flush()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
