"""End to end: the chart window of LUM_RAX_COM.exe under Wine with lumrax-sim on COM15, read
back from a screenshot of the display. Run one:  LRX_WIN_BUILD_DIR=... LRX_E2E_SIM=... \\
    python3 test_chart.py ChartTest.test_curves_and_marker
"""

import os
import re
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from test_device import displayed  # noqa: E402

wait_until = harness.wait_until

ID_COM_START, ID_PWM, ID_AUTOREAD, ID_CHART = 1036, 1084, 1095, 1098
WM_COMMAND, IDM_CHART = 0x0111, 111
VK_P = 0x50
ID_SAVE_CSV, ID_SAVE_PNG = 112, 113  # the chart window's buttons
# The device's report of each series, in the order of the strips.
SERIES = [rb"VOLT: (\S+) Vp", rb"ISNS: (\S+) Ap", rb"VINF: (\S+) V", rb"IANT (\S+) A",
          rb"Power: (\S+) W", rb"TMP101 temp: (\S+) C"]
COLORS = [(0, 90, 200), (200, 30, 30), (0, 140, 60), (220, 120, 0), (130, 50, 170),
          (0, 140, 150)]
MARKER = (96, 96, 96)


def local_ms():
    """Now as the program's time axis counts it: local wall-clock time in ms."""
    now = time.time()
    return int((now + time.localtime(now).tm_gmtoff) * 1000)


def single(text):
    """The value as the program holds it: scanned with %f into a float."""
    return struct.unpack("<f", struct.pack("<f", float(text)))[0]


def value_row(lo, hi, top, bottom, v):
    """The row a value is drawn on: lo on the bottom row, hi on the top one."""
    f = min(max((v - lo) / (hi - lo), 0.0), 1.0)
    return bottom - 1 - int(f * (bottom - top - 1) + 0.5)


def column(t0, t1, columns, t):
    return (t - t0) * columns // (t1 - t0)


def screenshot(s, box):
    """The pixels of box (x, y, w, h on the screen) as rows of (r, g, b)."""
    path = os.path.join(s.dir, "screen.png")
    env = dict(os.environ, DISPLAY=s.display)
    subprocess.run(["import", "-window", "root", path], env=env, check=True, timeout=60)
    x, y, w, h = box
    ppm = subprocess.run(["convert", path, "-crop", f"{w}x{h}+{x}+{y}", "+repage", "ppm:-"],
                         capture_output=True, check=True, timeout=60).stdout
    m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", ppm)
    width, data = int(m[1]), ppm[m.end():]
    return [[tuple(data[(r * width + c) * 3:(r * width + c) * 3 + 3]) for c in range(width)]
            for r in range(int(m[2]))]


class ChartTest(harness.SandboxTest):

    def test_curves_and_marker(self):
        s = self.sandbox()
        sim = s.simulator()
        s.env["LRX_CHART_TRACE"] = "1"
        s.start().wait_ready()
        s.call("click", ID_COM_START)
        s.wait_console(b"known string found: pwm_search_always")
        s.call("click", ID_AUTOREAD)
        s.call("post", WM_COMMAND, IDM_CHART, 0)  # View -> Measurements chart
        s.wait_console(b"chart window opened\n")
        # The page's button, with the mouse, brings the open window forward: no second one.
        s.click_control(ID_CHART)
        reads = lambda: sim.received().count(b"cr Wi\r")  # noqa: E731
        wait_until(lambda: reads() >= 3, 30, "three measurement cycles")

        # PWM off leaves a marker where it went out.
        before, since = local_ms(), len(sim.received())
        s.call("click", ID_PWM)
        wait_until(lambda: b"cw Wo0\r" in sim.received()[since:], 20, "cw Wo0 on the wire")
        after = local_ms()
        cycles = reads()
        wait_until(lambda: reads() >= cycles + 3, 30, "three more cycles")
        # And on again, so that the curves come back.
        since = len(sim.received())
        s.call("click", ID_PWM)
        wait_until(lambda: b"cw Wo1\r" in sim.received()[since:], 20, "cw Wo1 on the wire")
        cycles = reads()
        wait_until(lambda: reads() >= cycles + 3, 30, "three more cycles")
        s.call("click", ID_AUTOREAD)
        wait_until(lambda: s.text(ID_AUTOREAD) == "AutoRead ON", 10, "AutoRead off")
        # Every command answered and the last answer parsed (it is shown after that).
        wait_until(lambda: (r := sim.replies()) and sim.received().count(b"\r") == len(r) and
                   s.console().count(harness.console_text(displayed(r[-1]))) >= r.count(r[-1]), 20,
                   "the last reply shown")
        s.call("chart-key", VK_P)
        trace = wait_until(lambda: re.search(
            rb"chart view (-?\d+) (-?\d+) (\d+) (\d+) 1\n((?:chart strip .*\n){6})",
            s.console()), 20, "the paused picture's geometry")
        t0, t1, left, columns = map(int, trace.groups()[:4])
        strips = [tuple(map(float, line.split()[2:])) for line in
                  trace[5].decode().splitlines()]
        box = list(map(int, s.call("chart")[0]))
        pixels = screenshot(s, box)
        self.assertEqual(s.console().count(b"chart window opened\n"), 1)

        for i, (pattern, color) in enumerate(zip(SERIES, COLORS)):
            _, top, bottom, lo, hi = strips[i]
            top, bottom = int(top), int(bottom)
            want = value_row(lo, hi, top, bottom, single(
                re.findall(pattern, b"".join(sim.replies()))[-1]))
            # The newest column with the series' colour holds the latest value.
            x = max(x for x in range(left, left + columns)
                    if any(pixels[y][x] == color for y in range(top, bottom)))
            rows = [y for y in range(top, bottom) if pixels[y][x] == color]
            self.assertTrue(any(abs(y - want) <= 1 for y in rows),
                            f"strip {i}: rows {rows} at x {x}, want {want} ({s.dir})")

        first, last = strips[0], strips[5]
        span = range(left + column(t0, t1, columns, before) - 1,
                     left + column(t0, t1, columns, after) + 2)
        marked = [x for x in span
                  if sum(pixels[y][x] == MARKER for y in range(int(first[1]), int(last[2])))
                  >= (last[2] - first[1]) * 0.6]
        self.assertTrue(marked, f"a marker line in columns {list(span)} ({s.dir})")

        # Saved through the file dialog: the span's samples and the picture as shown.
        for button, name in ((ID_SAVE_CSV, "chart.csv"), (ID_SAVE_PNG, "chart.png")):
            path = os.path.join(s.work, name)
            s.call("chart-click", button)
            s.call("open-file", s.windows_path(path), 20000)
            s.wait_console(b"chart saved: " + s.windows_path(path).encode() + b"\n")
        self.assertEqual(sorted(os.listdir(s.work)), ["COMlog", "LUMRAXbin", "Settings",
                                                      "chart.csv", "chart.png"], "no temporary")
        with open(os.path.join(s.work, "chart.csv")) as f:
            rows = f.read().splitlines()
        self.assertEqual(rows[0], "time,vpeak_V,ipeak_A,vsupply_V,iavg_A,pavg_W,pcb_temp_C,marker")
        self.assertEqual([r[19:] for r in rows if r.endswith("PWM off") or r.endswith("PWM on")],
                         [",,,,,,,PWM off", ",,,,,,,PWM on"])
        self.assertGreaterEqual(len(rows), 1 + 2 + 6, "a row for each complete cycle")
        with open(os.path.join(s.work, "chart.png"), "rb") as f:
            png = f.read()
        self.assertEqual(png[:8], b"\x89PNG\r\n\x1a\n")
        self.assertEqual(struct.unpack(">II", png[16:24]), tuple(box[2:]), "the picture's size")
        self.assertEqual(s.leave(), 0)
        with open(os.path.join(s.work, "Settings", "Lum_Rax.setup"), "rb") as f:
            self.assertRegex(f.read(), rb"\nchart -?\d+ -?\d+ [1-9]\d* [1-9]\d* 0 1\n$")


if __name__ == "__main__":
    harness.unittest.main()
