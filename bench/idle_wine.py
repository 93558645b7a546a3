#!/usr/bin/env python3
"""The idle cost of LUM_RAX_COM.exe under Wine with the port open and AutoRead on: the CPU of
the program's process and of the Wine server (and of the prefix's other Wine processes) over a
window of wall time, read from /proc, and the program's memory. --floor measures wine_probe.exe
instead, a window whose timers (of the given intervals) do nothing: the floor under this Wine;
--console what a console write costs the writing thread under Wine's console host.

    LRX_WIN_BUILD_DIR=build/win LRX_E2E_SIM=build/rel/sim/lumrax-sim python3 bench/idle_wine.py \\
        [--seconds 30] [--state autoread|open|closed | --floor 10,20,25 | --console] [--json]
"""

import argparse
import json
import contextlib
import os
import shlex
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
sys.dont_write_bytecode = True

import harness  # noqa: E402

ID_COM_START, ID_AUTOREAD = 1036, 1095


def status_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def wait_console(s, needle, timeout=30):
    harness.wait_until(lambda: needle in s.console(), timeout, repr(needle))


STATES = {
    "autoread": "the port open and AutoRead on",
    "open": "the port open, AutoRead off",
    "closed": "the port closed",
}


def run(seconds, state="autoread"):
    with contextlib.closing(harness.Sandbox("bench_idle")) as s:
        sim = s.simulator()
        s.start().wait_ready()
        if state != "closed":
            s.call("click", ID_COM_START)
            wait_console(s, b"known string found: pwm_search_always")
        if state == "autoread":
            s.call("click", ID_AUTOREAD)
            harness.wait_until(lambda: b"cr Wi\r" in sim.received(), 30, "a measurement read")
        app, server = s.app_pid(), s.wineserver_pid()
        others = [p for p in s.wine_pids() if p not in (app, server)]
        reads_before = sim.received().count(b"\r")
        share = harness.cpu_share([app, server, *others], seconds)
        reads = sim.received().count(b"\r") - reads_before
        result = {
            "state": state,
            "seconds": seconds,
            "app_cpu_percent": round(share[app], 2),
            "wineserver_cpu_percent": round(share[server], 2),
            "others_cpu_percent": round(sum(share[p] for p in others), 2),
            "others": len(others),
            "app_rss_kib": status_kib(app, "VmRSS"),
            "app_rss_peak_kib": status_kib(app, "VmHWM"),
            "app_anon_kib": status_kib(app, "RssAnon"),
            "wineserver_rss_kib": status_kib(server, "VmRSS"),
            "commands_during_window": reads,
        }
        s.leave()
    return result


def probe():
    exe = os.path.join(os.environ.get("LRX_WIN_BUILD_DIR", ""), "wine_probe.exe")
    if not os.path.isfile(exe):
        raise harness.HarnessError(f"{exe} not found (build the target wine_probe)")
    return exe


def floor(seconds, intervals):
    with contextlib.closing(harness.Sandbox("bench_probe_timers")) as s:
        proc = subprocess.Popen([harness.wine(), probe(), "timers", *map(str, intervals)],
                                env=s.env, cwd=s.work, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)
        try:
            time.sleep(3)  # started and settled
            server = s.wineserver_pid()
            share = harness.cpu_share([proc.pid, server], seconds)
            return {"intervals_ms": list(intervals), "seconds": seconds,
                    "app_cpu_percent": round(share[proc.pid], 2),
                    "wineserver_cpu_percent": round(share[server], 2),
                    "app_rss_kib": status_kib(proc.pid, "VmRSS")}
        finally:
            s.close()
            proc.wait(timeout=30)


def console_cost():
    """The console as the tests capture the program's: Wine's console host on a terminal."""
    with contextlib.closing(harness.Sandbox("bench_console")) as s:
        result = os.path.join(s.work, "console.json")
        command = (f"stty cols {harness.CONSOLE_COLUMNS} rows 100; exec "
                   f"{shlex.quote(harness.wine())} {shlex.quote(probe())} console console.json")
        subprocess.run(["script", "-q", "-f", "-e", "-c", command, os.path.join(s.dir, "con.raw")],
                       cwd=s.work, env=s.env, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300, check=True)
        with open(result) as f:
            return json.load(f)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=float, default=30)
    p.add_argument("--state", choices=sorted(STATES), default="autoread")
    p.add_argument("--floor", help="wine_probe.exe's timers of these intervals in ms, e.g. 10,20,25")
    p.add_argument("--console", action="store_true", help="the cost of a console write")
    p.add_argument("--json", action="store_true")
    a = p.parse_args()
    if a.console:
        r = console_cost()
        print(json.dumps(r) if a.json else
              f"console write under Wine: {r['short_line_ms']:.2f} ms for a short line, "
              f"{r['echo_ms']:.2f} ms for {r['echo_chars']} characters")
        return
    if a.floor:
        r = floor(a.seconds, [int(v) for v in a.floor.split(",")])
        print(json.dumps(r) if a.json else
              f"wine_probe.exe with timers of {a.floor} ms over {r['seconds']:.0f} s: "
              f"{r['app_cpu_percent']:.2f} % of a core, Wine server "
              f"{r['wineserver_cpu_percent']:.2f} %")
        return
    r = run(a.seconds, a.state)
    if a.json:
        print(json.dumps(r))
        return
    print(f"over {r['seconds']:.0f} s with {STATES[r['state']]} ({r['commands_during_window']} "
          "commands): "
          f"LUM_RAX_COM.exe {r['app_cpu_percent']:.2f} % of a core, Wine server "
          f"{r['wineserver_cpu_percent']:.2f} %, {r['others']} other Wine processes "
          f"{r['others_cpu_percent']:.2f} %; LUM_RAX_COM.exe RSS {r['app_rss_kib']} KiB "
          f"(peak {r['app_rss_peak_kib']}, anonymous {r['app_anon_kib']})")


if __name__ == "__main__":
    main()
