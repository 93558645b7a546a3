#!/usr/bin/env python3
"""What an open chart window adds to LUM_RAX_COM.exe under Wine: two programs side by side, each
in its own sandbox with its own simulator, the port open and AutoRead on, one with the chart
window open (span 1 min, the costliest: it moves every second) and one without; the CPU of
each program, of its Wine server and of its X server over the same window of wall time, from /proc.

    LRX_WIN_BUILD_DIR=build/win LRX_E2E_SIM=build/dev/sim/lumrax-sim \\
        python3 bench/chart_idle_wine.py [--seconds 30] [--json]
"""

import argparse
import contextlib
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
sys.dont_write_bytecode = True

import harness  # noqa: E402
from idle_wine import ID_AUTOREAD, ID_COM_START, status_kib, wait_console  # noqa: E402

WM_COMMAND, IDM_CHART = 0x0111, 111


def prepare(s, chart):
    sim = s.simulator()
    s.start().wait_ready()
    s.call("click", ID_COM_START)
    wait_console(s, b"known string found: pwm_search_always")
    s.call("click", ID_AUTOREAD)
    if chart:
        s.call("post", WM_COMMAND, IDM_CHART, 0)
        wait_console(s, b"chart window opened\n")
    harness.wait_until(lambda: b"cr Wi\r" in sim.received(), 30, "a measurement read")
    return sim


def run(seconds):
    with contextlib.ExitStack() as stack:
        boxes = {}
        for name, chart in (("closed", False), ("open", True)):
            s = stack.enter_context(contextlib.closing(harness.Sandbox(f"bench_chart_{name}")))
            boxes[name] = (s, prepare(s, chart))
        # The X server too: what the window draws is drawn there.
        pids = {name: (s.app_pid(), s.wineserver_pid(), s._xvfb.pid)
                for name, (s, _) in boxes.items()}
        reads = {name: sim.received().count(b"\r") for name, (_, sim) in boxes.items()}
        share = harness.cpu_share([p for pair in pids.values() for p in pair], seconds)
        result = {"seconds": seconds}
        for name, (app, server, xvfb) in pids.items():
            result[name] = {
                "app_cpu_percent": round(share[app], 2),
                "wineserver_cpu_percent": round(share[server], 2),
                "xvfb_cpu_percent": round(share[xvfb], 2),
                "app_rss_kib": status_kib(app, "VmRSS"),
                "commands_during_window": boxes[name][1].received().count(b"\r") - reads[name],
            }
        for s, _ in boxes.values():
            s.leave()

    def total(name):
        x = result[name]
        return x["app_cpu_percent"] + x["wineserver_cpu_percent"] + x["xvfb_cpu_percent"]

    result["ratio_app"] = round(result["open"]["app_cpu_percent"] /
                                max(result["closed"]["app_cpu_percent"], 0.01), 3)
    result["ratio_all"] = round(total("open") / max(total("closed"), 0.01), 3)
    return result


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=float, default=30)
    p.add_argument("--json", action="store_true")
    a = p.parse_args()
    r = run(a.seconds)
    if a.json:
        print(json.dumps(r))
        return
    for name in ("closed", "open"):
        x = r[name]
        print(f"chart {name:6}: LUM_RAX_COM.exe {x['app_cpu_percent']:.2f} % of a core, Wine "
              f"server {x['wineserver_cpu_percent']:.2f} %, Xvfb {x['xvfb_cpu_percent']:.2f} %, RSS {x['app_rss_kib']} KiB, "
              f"{x['commands_during_window']} commands in {r['seconds']:.0f} s")
    print(f"open / closed: {r['ratio_app']:.2f} (program), {r['ratio_all']:.2f} "
          "(program, Wine server and X server)")


if __name__ == "__main__":
    main()
