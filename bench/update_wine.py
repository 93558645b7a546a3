#!/usr/bin/env python3
"""Times a whole firmware update of LUM_RAX_COM.exe under Wine against lumrax-sim: the lines per
second from the first record on the wire to the device's end, against the protocol's bound of
three 10 ms ticks a line (33.3 lines/s).

    LRX_WIN_BUILD_DIR=build/win LRX_E2E_SIM=build/host/sim/lumrax-sim \\
        python3 bench/update_wine.py [--baud 115200 ...] [--fixture atmega328p_app]

The device starts in its bootloader with an erased flash; the program opens the port, reads the
device's identification, loads the fixture through its file dialog and runs Go!. Prints one
line per baud rate; --json prints one JSON object per run instead."""

import argparse
import json
import contextlib
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True

import harness  # noqa: E402
import transfer_timing  # noqa: E402

FIXTURES = os.path.join(HERE, "..", "tests", "fixtures")
BAUD_ROWS = [1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200]
ID_BAUD, ID_COM_START, ID_FILE_OPEN, ID_GO = 1035, 1036, 1064, 1066


def wait_console(s, needle, timeout=60):
    harness.wait_until(lambda: needle in s.console(), timeout, repr(needle))


def answer(s, timeout=10):
    s.box(timeout=timeout)


def run(baud, fixture, chip):
    name = f"bench_update_{baud}"
    with contextlib.closing(harness.Sandbox(name)) as s:
        sim = s.simulator("--baud", str(baud), "--firmware", "boot", "--flash", "blank",
                          "--chip", chip)
        shutil.copy(os.path.join(FIXTURES, fixture + ".hex"), s.work)
        s.start().wait_ready()
        s.call("select", ID_BAUD, BAUD_ROWS.index(baud))
        if chip != "328P":
            s.call("select", 1069, ["328P", "1284P", "1281"].index(chip))
        s.call("click", ID_COM_START)
        wait_console(s, b"uCisBootloader = 1\n")
        s.call("click", ID_FILE_OPEN)
        s.call("open-file", s.windows_path(os.path.join(s.work, fixture + ".hex")), 20000)
        wait_console(s, b"Hex File Check: Okay!")
        s.call("click", ID_GO)
        answer(s)  # Flash erased? Start?
        answer(s)  # the start message
        answer(s, timeout=900)  # the end
        traffic = sim.traffic()
        s.leave()
    r = transfer_timing.summarize(traffic)
    if r is None:
        raise SystemExit(f"{baud} bps: no complete transfer in the trace")
    return {"baud": baud, "fixture": fixture, **r}


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--baud", type=int, action="append", choices=BAUD_ROWS)
    p.add_argument("--fixture", default="atmega328p_app")
    p.add_argument("--chip", default="328P", choices=["328P", "1284P", "1281"])
    p.add_argument("--json", action="store_true")
    a = p.parse_args()
    for baud in a.baud or [38400, 115200]:
        r = run(baud, a.fixture, a.chip)
        if a.json:
            print(json.dumps(r))
        else:
            print(f"{r['fixture']} at {baud} bps: {r['lines']} lines in {r['seconds']:.2f} s, "
                  f"{r['lines_per_s']:.1f} lines/s, {r['percent_of_bound']:.1f} % of 33.3, "
                  f"{r['percent_of_program_bound']:.1f} % of the program's bound")
            print("\n".join(transfer_timing.gap_lines(r)))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
