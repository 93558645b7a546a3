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

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True

import harness  # noqa: E402
import transfer_timing  # noqa: E402

FIXTURES = os.path.join(HERE, "..", "tests", "fixtures")
CHIP_OF = {"atmega328p_app": "328P", "atmega1284p_app": "1284P"}


def run(build, baud, fixture, scratch):
    chip = CHIP_OF.get(fixture, "328P")
    folder = os.path.join(scratch, f"{fixture}_{baud}")
    os.makedirs(os.path.join(folder, "dosdevices"))
    os.environ["LRX_E2E_SIM"] = os.path.join(build, "sim", "lumrax-sim")
    sim = harness.Simulator(folder, os.path.join(folder, "dosdevices", "com15"),
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
    r = transfer_timing.summarize(traffic)
    if r is None:
        raise SystemExit(f"{baud} bps: no complete transfer in the trace")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return {"baud": baud, "fixture": fixture, **r, "cpu_s": round(cpu, 3),
            "cpu_percent": round(cpu / r["seconds"] * 100, 2)}


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
                print("\n".join(transfer_timing.gap_lines(r)))
            sys.stdout.flush()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
