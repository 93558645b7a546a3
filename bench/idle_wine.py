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


def prepare(s, state):
    """Starts the program in its sandbox and brings it into the state; returns the simulator."""
    sim = s.simulator()
    s.start().wait_ready()
    if state != "closed":
        s.call("click", ID_COM_START)
        wait_console(s, b"known string found: pwm_search_always")
    if state == "autoread":
        s.call("click", ID_AUTOREAD)
        harness.wait_until(lambda: b"cr Wi\r" in sim.received(), 30, "a measurement read")
    return sim


def program_pids(s):
    """The program, its Wine server and the prefix's other Wine processes but the test driver
    and `script`, the terminal that records the console: they are the harness's and not the
    program's (a technician's terminal is not either)."""
    app, server = s.app_pid(), s.wineserver_pid()
    others = [p for p in s.wine_pids() if p not in (app, server)
              and b"lrx_driver.exe" not in harness._read(f"/proc/{p}/cmdline")
              and not harness._read(f"/proc/{p}/cmdline").startswith(b"script\0")]
    return app, server, others


def program_result(state, seconds, share, pids, reads):
    app, server, others = pids
    return {
        "state": state,
        "seconds": seconds,
        "app_cpu_percent": round(share[app], 2),
        "wineserver_cpu_percent": round(share[server], 2),
        "others_cpu_percent": round(sum(share[p] for p in others), 2),
        "others": len(others),
        "total_cpu_percent": round(share[app] + share[server] + sum(share[p] for p in others), 2),
        "app_rss_kib": status_kib(app, "VmRSS"),
        "app_rss_peak_kib": status_kib(app, "VmHWM"),
        "app_anon_kib": status_kib(app, "RssAnon"),
        "wineserver_rss_kib": status_kib(server, "VmRSS"),
        "commands_during_window": reads,
    }


def run(seconds, state="autoread"):
    with contextlib.closing(harness.Sandbox("bench_idle")) as s:
        sim = prepare(s, state)
        pids = program_pids(s)
        reads_before = sim.received().count(b"\r")
        share = harness.cpu_share([pids[0], pids[1], *pids[2]], seconds)
        reads = sim.received().count(b"\r") - reads_before
        result = program_result(state, seconds, share, pids, reads)
        s.leave()
    return result


def side_by_side(seconds, states, intervals=(10, 20, 25)):
    """The floor (wine_probe.exe's do-nothing timers) and the program in each state, each in
    its own prefix and display, all measured over the same window of wall time, so that what
    else the machine does weighs on all of them alike. Returns the floor's result and the
    program's, each with its ratio to the floor (all processes of its prefix, and the program
    with its Wine server alone)."""
    with contextlib.ExitStack() as stack:
        fs = stack.enter_context(contextlib.closing(harness.Sandbox("bench_idle_floor")))
        proc = start_probe(fs, intervals)
        stack.callback(proc.wait, timeout=30)
        stack.callback(fs.close)
        boxes = []
        for state in states:
            s = stack.enter_context(contextlib.closing(harness.Sandbox(f"bench_idle_{state}")))
            boxes.append((s, state, prepare(s, state)))
        time.sleep(3)  # the last one settled
        floor_server = fs.wineserver_pid()
        floor_others = [p for p in fs.wine_pids() if p not in (proc.pid, floor_server)]
        every = [proc.pid, floor_server, *floor_others]
        pids = []
        for s, _, sim in boxes:
            pids.append(program_pids(s))
            every += [pids[-1][0], pids[-1][1], *pids[-1][2]]
        before = [sim.received().count(b"\r") for _, _, sim in boxes]
        share = harness.cpu_share(every, seconds)
        floor = {"intervals_ms": list(intervals), "seconds": seconds,
                 "app_cpu_percent": round(share[proc.pid], 2),
                 "wineserver_cpu_percent": round(share[floor_server], 2),
                 "others_cpu_percent": round(sum(share[p] for p in floor_others), 2),
                 "others": len(floor_others),
                 "total_cpu_percent": round(share[proc.pid] + share[floor_server]
                                            + sum(share[p] for p in floor_others), 2),
                 "app_rss_kib": status_kib(proc.pid, "VmRSS")}
        floor_pair = share[proc.pid] + share[floor_server]
        results = []
        for (s, state, sim), p, b in zip(boxes, pids, before):
            r = program_result(state, seconds, share, p, sim.received().count(b"\r") - b)
            r["ratio_total"] = round(r["total_cpu_percent"] / floor["total_cpu_percent"], 2)
            r["ratio_app_server"] = round(
                (share[p[0]] + share[p[1]]) / floor_pair, 2)
            results.append(r)
        for s, _, _ in boxes:
            s.leave()
    return floor, results


def probe():
    exe = os.path.join(os.environ.get("LRX_WIN_BUILD_DIR", ""), "wine_probe.exe")
    if not os.path.isfile(exe):
        raise harness.HarnessError(f"{exe} not found (build the target wine_probe)")
    return exe


def start_probe(s, intervals):
    proc = subprocess.Popen([harness.wine(), probe(), "timers", *map(str, intervals)],
                            env=s.env, cwd=s.work, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    time.sleep(3)  # started and settled
    return proc


def floor(seconds, intervals):
    with contextlib.closing(harness.Sandbox("bench_probe_timers")) as s:
        proc = start_probe(s, intervals)
        try:
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
    p.add_argument("--side-by-side", metavar="STATES",
                   help="the floor (timers of 10, 20, 25 ms) and the program in these states "
                   "(e.g. closed,open,autoread) over the same window, with their ratios")
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
    if a.side_by_side:
        states = a.side_by_side.split(",")
        if any(st not in STATES for st in states):
            p.error(f"--side-by-side: states are {', '.join(sorted(STATES))}")
        f, rows = side_by_side(a.seconds, states)
        if a.json:
            print(json.dumps({"floor": f, "programs": rows}))
            return
        print(f"wine_probe.exe with timers of 10,20,25 ms over {f['seconds']:.0f} s: "
              f"{f['app_cpu_percent']:.2f} % of a core, Wine server "
              f"{f['wineserver_cpu_percent']:.2f} %, {f['others']} other Wine processes "
              f"{f['others_cpu_percent']:.2f} %; all {f['total_cpu_percent']:.2f} %")
        for r in rows:
            report(r)
            print(f"    all {r['total_cpu_percent']:.2f} %: {r['ratio_total']:.2f} times the "
                  f"floor; LUM_RAX_COM.exe and its Wine server {r['ratio_app_server']:.2f} "
                  "times the floor's")
        return
    r = run(a.seconds, a.state)
    if a.json:
        print(json.dumps(r))
        return
    report(r)


def report(r):
    print(f"over {r['seconds']:.0f} s with {STATES[r['state']]} ({r['commands_during_window']} "
          "commands): "
          f"LUM_RAX_COM.exe {r['app_cpu_percent']:.2f} % of a core, Wine server "
          f"{r['wineserver_cpu_percent']:.2f} %, {r['others']} other Wine processes "
          f"{r['others_cpu_percent']:.2f} %; LUM_RAX_COM.exe RSS {r['app_rss_kib']} KiB "
          f"(peak {r['app_rss_peak_kib']}, anonymous {r['app_anon_kib']})")


if __name__ == "__main__":
    main()
