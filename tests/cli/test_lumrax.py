"""lumrax against the device simulator on a pseudo-terminal, natively (no Wine). Each row of a
table is a command line and what must come of it: the exit code, standard output, the one line
on standard error of a failure, and the bytes that crossed the line (the simulator's trace).
Environment: LRX_LUMRAX (the program), LRX_E2E_SIM (lumrax-sim), LRX_CLI_RUNS (scratch).
"""

import fcntl
import json
import os
import pty
import re
import select
import shutil
import signal
import stat
import struct
import subprocess
import sys
import time
import unittest
from xml.etree import ElementTree
import datetime
import math

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "..", "fixtures")
sys.path[:0] = [os.path.join(HERE, "..", "e2e"), FIXTURES]
import harness  # noqa: E402  (the simulator and its trace)
from make_fixtures import hex_text  # noqa: E402

# The simulator's identification texts (sim/application.h, sim/bootloader.cpp) and its
# state after power-up: PWM on, DC control off, no search at power-up.
APP_INFO = (b"firmware: Lum_Rax_Gen FW V2.07\nhardware: Lum_Rax, HW Rev 3, 16MHz\n"
            b"running: application\npwm: on\nctl: off\nsearch_always: off\n")
START_UP_READS = b"cr Wo\rcr Sv\rcr Wc\rcr Ww\r"
# A device in its bootloader with an erased application section.
BOOT = ("--firmware", "boot", "--flash", "blank")
FAST = ("--baud", "115200")
# A small file: 20 lines of 16 bytes from address 0, then the end record.
SMALL_IMAGE = bytes((i * 13 + 7) & 0xFF for i in range(16 * 20))
SMALL_HEX = hex_text(SMALL_IMAGE, False)


SVG = "{http://www.w3.org/2000/svg}"
SERIES = "vpeak_V ipeak_A vsupply_V iavg_A pavg_W pcb_temp_C".split()


def ms(t):
    """Local time in ms on the plain calendar axis that the picture's data attributes use."""
    return (t - datetime.datetime(1970, 1, 1)) // datetime.timedelta(milliseconds=1)


def read_svg(path):
    """What a picture of lumrax plot states: its time span and x scale, and for each strip its
    value scale, tick labels, latest value and the points of its lines; the markers."""
    root = ElementTree.parse(path).getroot()
    t0 = ms(datetime.datetime.fromisoformat(root.get("data-t0"))) + int(root.get("data-t0-ms"))
    t1 = ms(datetime.datetime.fromisoformat(root.get("data-t1"))) + int(root.get("data-t1-ms"))
    left, right = float(root.get("data-left")), float(root.get("data-right"))
    picture = {"t0": t0, "t1": t1, "x": lambda t: left + (t - t0) * (right - left) / (t1 - t0),
               "strips": {}, "markers": []}
    for g in root.iter(SVG + "g"):
        if g.get("class") == "marker":
            picture["markers"].append((float(g.find(SVG + "line").get("x1")),
                                       g.find(SVG + "text").text))
        if g.get("class") != "strip":
            continue
        lo, hi = float(g.get("data-lo")), float(g.get("data-hi"))
        top, bottom = float(g.get("data-top")), float(g.get("data-bottom"))
        lines = []
        for p in g.iter(SVG + "polyline"):
            points = [tuple(map(float, xy.split(","))) for xy in p.get("points").split()]
            # A lone sample is drawn as a dot: its point twice.
            lines.append(points[:1] if len(points) == 2 and points[0] == points[1] else points)
        picture["strips"][g.get("data-series")] = {
            "lo": lo, "hi": hi, "lines": lines,
            "y": lambda v, lo=lo, hi=hi, top=top, bottom=bottom:
                bottom - (v - lo) / (hi - lo) * (bottom - top),
            "ticks": [float(t.text) for t in g.iter(SVG + "text") if t.get("class") == "tick"],
            "latest": next(t.text for t in g.iter(SVG + "text")
                           if t.get("class") == "latest").split()[0]}
    return picture


class LumraxTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        runs = os.environ.get("LRX_CLI_RUNS") or os.path.join(os.getcwd(), "lumrax-runs")
        self.dir = os.path.join(runs, self.id().split(".")[-1])
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.program = os.environ["LRX_LUMRAX"]

    def device(self, *options):
        """A simulated generator; its port is sim.link."""
        sim = harness.Simulator(self.dir, os.path.join(self.dir, f"tty{time.monotonic_ns()}"),
                                options)
        self.addCleanup(sim.stop)
        return sim

    def lumrax(self, *args, env_port=None, timeout=60, stdout=subprocess.PIPE):
        started = time.monotonic()
        run = subprocess.run([self.program, *args], cwd=self.dir, stdin=subprocess.DEVNULL,
                             env=dict(os.environ, LUMRAX_PORT=env_port or ""), stdout=stdout,
                             stderr=subprocess.PIPE, timeout=timeout, check=False)
        run.rc, run.out, run.err = run.returncode, run.stdout, run.stderr.decode("latin-1")
        run.seconds = time.monotonic() - started
        return run

    def leftovers(self):
        """Temporary files of lumrax's output files left behind."""
        return [n for n in os.listdir(self.dir) if ".lumrax-" in n]

    def read(self, name):
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read()

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data.encode("latin-1") if isinstance(data, str) else data)
        return path

    def test_info_read_write_and_the_log(self):
        app, boot = self.device(), self.device("--firmware", "boot")
        slow = self.device("--baud", "14400")  # a rate with no Bnnn constant of its own
        # Either row names the application: the hardware row alone, or the two as two replies.
        hw_only, apart = self.device("--sv", "hw"), self.device("--sv", "apart")
        rows = [
            # device, command line, the port by LUMRAX_PORT (or by option), standard output,
            # bytes on the line (the bootloader is silent on Wo, named on Sv, then left alone)
            (app, ["info"], False, APP_INFO, START_UP_READS),
            (boot, ["info"], True,
             b"firmware: Bootloader for ATmega328P V1.3\nrunning: bootloader\n", b"cr Wo\rcr Sv\r"),
            (hw_only, ["info"], False, APP_INFO.replace(b"Lum_Rax_Gen FW V2.07", b"unknown"),
             START_UP_READS),
            (apart, ["info"], False, APP_INFO, START_UP_READS),
            (app, ["read", "Wo", "Wc"], False, b"PWM_active = 1\npwm_ctl_active = 0\n",
             b"cr Wo\rcr Wc\r"),
            (app, ["write", "Wo0", "Pt 70"], True, b"output off\nalarm limit 70 C\n",
             b"cw Wo0\rcw Pt 70\r"),
            (app, ["read", "Wo", "Pt"], False, b"PWM_active = 0\nalarm threshold 70 C\n",
             b"cr Wo\rcr Pt\r"),
            (app, ["--json", "read", "Sv"], False,
             b'{"event":"reply","command":"cr Sv",'
             b'"reply":"Lum_Rax, HW Rev 3, 16MHz\\nLum_Rax_Gen FW V2.07"}\n', b"cr Sv\r"),
            (slow, ["--baud", "14400", "read", "Wc"], False, b"pwm_ctl_active = 0\n", b"cr Wc\r"),
        ]
        for sim, args, by_env, out, wire in rows:
            with self.subTest(args=args):
                before = len(sim.received())
                run = self.lumrax(*args, env_port=sim.link) if by_env else \
                    self.lumrax("--port", sim.link, *args)
                self.assertEqual((run.rc, run.err), (0, ""))
                self.assertEqual(run.out, out)
                self.assertEqual(sim.received()[before:before + len(wire)], wire)
                if sim is not boot:
                    self.assertEqual(len(sim.received()), before + len(wire))

        # The COM traffic log: the window program's format with the version --version shows,
        # the port named by its path; it replaces the file there.
        version = self.lumrax("--version").out.removeprefix(b"lumrax ").rstrip(b"\n")
        log = self.write("com.log", "an older log")
        run = self.lumrax("read", "Wo", "--log", log, "--port", app.link)
        self.assertEqual((run.rc, run.err), (0, ""))
        with open(log, "rb") as f:
            self.assertRegex(f.read(), rb"COM Port log file - LUM_RAX_COM " + re.escape(version)
                             + rb"\nStarted: \d\d:\d\d:\d\d, "
                             rb"\d\d\.\d\d\.\d{4}\nCom port open \(handle \d+\)\n"
                             + re.escape(app.link.encode() + b", 38400 bps\n" + b"-" * 26 +
                                         b"\n\ncr Wo\r\n" + app.replies()[-1]) + b"$")

    def test_monitor(self):
        sim = self.device()
        csv = os.path.join(self.dir, "m.csv")
        run = self.lumrax("--port", sim.link, "monitor", "--seconds", "9", "--csv", csv, "--json")
        self.assertEqual((run.rc, run.err), (0, ""))
        with open(csv) as f:
            header, *lines = f.read().splitlines()
        names = "time,vpeak_V,ipeak_A,vsupply_V,iavg_A,pavg_W,pcb_temp_C".split(",")
        self.assertEqual(header.split(","), names + ["marker"])
        # One cycle of four reads every 4.1 s, the first after the start-up reads; no command
        # of the run changed the generator: the markers are empty.
        rows = [line.split(",") for line in lines]
        self.assertEqual([r.pop() for r in rows], [""] * len(rows))
        self.assertEqual(len(rows), 2, lines)
        self.assertEqual([[e[n] for n in names] for e in map(json.loads, run.out.splitlines())],
                         [[r[0]] + [float(v) for v in r[1:]] for r in rows])
        # Each column holds what the simulator sent in that cycle (sim/application.cpp).
        text = b"".join(sim.replies()).decode("latin-1")
        sent = [re.findall(p + r" (\S+) ", text) for p in ("VOLT:", "ISNS:", "VINF:", "IANT",
                                                            "Power:", "temp:")]
        for k, row in enumerate(rows):
            self.assertRegex(row[0], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d$")
            self.assertEqual([float(v) for v in row[1:]], [float(c[k]) for c in sent], k)
        self.assertEqual(sim.received()[:len(START_UP_READS) + 24],
                         START_UP_READS + b"cr Wi\rcr Wt\rcr Wu\rcr Pi\r")

    def test_dump(self):
        image = bytes((i * 7 + (i >> 8)) & 0xFF for i in range(0x7000))
        sim = self.device(*FAST, "--flash", self.write("image.bin", image))
        out = self.write("dump.bin", b"an older dump, longer than nothing" * 2000)
        run = self.lumrax("--port", sim.link, *FAST, "dump", "--out", out)
        self.assertEqual((run.rc, run.err, run.out), (0, "", f"32768 bytes into {out}\n".encode()))
        # The whole flash of the ATmega328P: the loaded application section, then the boot
        # section that the simulator fills itself.
        with open(out, "rb") as f:
            self.assertEqual(f.read(), sim.sent())
        self.assertEqual(sim.sent()[:0x7000], image)
        # A part of it to standard output (a pipe), started by a read of the user's text.
        before = len(sim.received())
        run = self.lumrax("--port", sim.link, *FAST, "dump", "--reg", "Mr 100 40")
        self.assertEqual((run.rc, run.err, run.out), (0, "", image[0x100:0x140]))
        self.assertEqual(sim.received()[before:], b"cr Mr 100 40\r")

    def test_failures(self):
        """Each failure is one line on standard error and an exit code."""
        missing, small = os.path.join(self.dir, "nothere"), self.write("small.hex", SMALL_HEX)
        records = harness.records(SMALL_HEX)
        good = SMALL_HEX.split("\r\n")
        crc = self.write("crc.hex", "\r\n".join(good[:2] + [good[2][:-2] + "00"] + good[3:]))
        too_long = os.path.join(FIXTURES, "atmega1284p_app.hex")
        # The application section of a device whose flash differs from the small image twice:
        # inside it, and in the erased flash behind it.
        altered = bytearray(SMALL_IMAGE + b"\xff" * (0x7000 - len(SMALL_IMAGE)))
        altered[0x10] ^= 0x01
        altered[0x6FFF] = 0x00
        flash = self.write("altered.bin", bytes(altered))
        refused = os.path.join(self.dir, "refused")
        os.makedirs(refused)
        same = self.write("same.bin", SMALL_IMAGE)
        check = "refused by the check for ATmega328P: "
        time_out = 'device time-out: no answer to "cr {}" within 5 s'
        flash_small = ["flash", small, "--yes"]
        rows = [
            # simulator options (None: no device), command line, exit code, standard output,
            # the one failure line, what the device got
            (None, ["--port", missing, "info"], 4, b"",
             f"port {missing}: cannot open: No such file or directory", b""),
            (None, ["--port", "/dev/null", "read", "Wo"], 4, b"",
             "port /dev/null: not a serial port: Inappropriate ioctl for device", b""),
            ((), ["flash", small], 2, b"",
             "flash asks before it starts: give --yes, or run it on a terminal", b""),
            ((), ["write", "Wo1\rcw Fe"], 2, b"", "register text with a control character: "
             "refused", b""),
            ((), ["dump", "--reg", "Wr", "--out", "d.bin"], 2, b"", "--reg Wr: must begin with Mr",
             b""),
            ((), ["read", "Wo", "--log", os.path.join(self.dir, "no", "log.txt")], 1, b"",
             f"cannot create log file {self.dir}/no/log.txt: No such file or directory", b""),
            (("--firmware", "boot"), ["monitor", "--seconds", "5"], 6, b"",
             "the device runs its bootloader: no measurements", b"cr Wo\rcr Sv\r"),
            # AutoRead goes on with the start-up reads; the first one is the one not answered.
            (("--no-reply", "*"), ["info"], 5, b"", time_out.format("Wo"), START_UP_READS),
            (("--no-reply", "Pt"), ["read", "Wo", "Pt", "--json"], 5,
             b'{"event":"reply","command":"cr Wo","reply":"PWM_active = 1"}\n'
             b'{"event":"error","exit_code":5,'
             b'"message":"device time-out: no answer to \\"cr Pt\\" within 5 s"}\n',
             time_out.format("Pt"), b"cr Wo\rcr Pt\r"),
            # A file the check refuses: nothing is sent, no images are written.
            (None, ["check", crc, "--out", refused], 3, b"",
             f"{crc}: {check}line 3: checksum error", b""),
            (None, ["check", too_long, "--out", refused], 3, b"",
             f"{too_long}: {check}5798 lines: an ATmega328P application has at most 1793", b""),
            ((), ["flash", crc, "--yes", "--json"], 3,
             ('{"event":"error","exit_code":3,"message":"' + f"{crc}: {check}line 3: checksum "
              'error","line":3,"finding":"checksum"}\n').encode(),
             f"{crc}: {check}line 3: checksum error", b""),
            # The firmware update's steps failing on the device.
            ((), flash_small, 6, b"",
             "the device runs its application: --switch puts it in its bootloader", b"cr Sv\r"),
            (BOOT + ("--record-letter", "3:e"), flash_small, 6, b"",
             "the device reported error 'e' at line 4", b"cr Sv\r" + b"".join(records[:4])),
            (BOOT + ("--record-letter", "2:W"), flash_small, 6, b"",
             "the device answered line 3 with the unknown letter 'W'",
             b"cr Sv\r" + b"".join(records[:3])),
            (BOOT + ("--record-letter", "5:n"), flash_small, 7, b"",
             f"the device reported the end after 6 of {len(records)} lines",
             b"cr Sv\r" + b"".join(records[:6])),
            (BOOT + ("--disconnect-after-records", "3"), flash_small, 5, b"",
             "the device did not answer line 4 within 5 s", b"cr Sv\r" + b"".join(records[:4])),
            (BOOT, ["verify", small], 6, b"",
             "the device runs its bootloader: only the application reads the flash back",
             b"cr Sv\r"),
            (("--flash", flash), ["verify", small], 8, b"", "verify: 2 of 28672 bytes differ, the "
             f"first at 0x00010 (device 0x{altered[0x10]:02X}, image 0x{SMALL_IMAGE[0x10]:02X})",
             b"cr Sv\rcr Mr\r"),
            # A read-back that ends before the application section does.
            (("--flash", same, "--stream-limit", "256"), ["verify", small], 8, b"",
             "verify: 28416 of 28672 bytes differ, the first at 0x00100 (the device sent only 256 "
             "bytes)", b"cr Sv\rcr Mr\r"),
        ]
        for options, args, rc, out, line, wire in rows:
            with self.subTest(options=options, args=args):
                sim = self.device(*options, *FAST) if options is not None else None
                run = self.lumrax(*(FAST if sim else ()), *args, env_port=sim and sim.link)
                self.assertEqual((run.rc, run.out, run.err.splitlines()[-1]),
                                 (rc, out, f"lumrax: {line}"))
                self.assertEqual(sim.received() if sim else b"", wire)
                self.assertEqual(os.listdir(refused), [])  # no images of a refused file
                if rc == 5:  # 5 s from the first unanswered command, or the last byte heard; 2 s
                    # for the process start, the first read 150 ms after COM Start, a busy machine
                    self.assertTrue(5 <= run.seconds < 7, run.seconds)
        # Images that cannot be written: the folder is made one level deep only.
        deep = os.path.join(self.dir, "no", "sub")
        run = self.lumrax("check", small, "--out", deep)
        self.assertEqual((run.rc, run.out, run.err), (1, b"", "lumrax: cannot write the page "
                         f"images into {deep}: {deep}/small.bin cannot be created\n"))
        # The same image on the device, asked for JSON.
        sim = self.device("--flash", same, *FAST)
        run = self.lumrax("--port", sim.link, *FAST, "verify", small, "--json")
        self.assertEqual((run.rc, run.err), (0, ""))
        self.assertEqual(json.loads(run.out), {"event": "result", "command": "verify",
                                               "bytes": 0x7000, "differ": 0})

    def test_lost_line_and_ctrl_c(self):
        """The rows of a run that measured replace the CSV file however the run ends."""
        for ending, rc, err in (("lost", 4, r"lumrax: port {}: (read failed|the line was hung "
                                           r"up): Input/output error\n"), ("interrupt", 0, "")):
            with self.subTest(ending=ending):
                sim = self.device()
                csv = self.write("m.csv", "an older file")
                proc = subprocess.Popen([self.program, "--port", sim.link, "monitor", "--csv", csv],
                                        cwd=self.dir, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                self.addCleanup(proc.kill)
                # The first measurement read: the start-up reads have been answered.
                harness.wait_until(lambda: b"cr Wi\r" in sim.received(), 20, "a measurement")
                self.assertEqual(self.read("m.csv"), b"an older file")
                if ending == "lost":
                    sim.stop()  # the pty goes away, as an adapter pulled out
                else:
                    proc.send_signal(2)
                got, said = proc.communicate(timeout=10)
                self.assertEqual((proc.returncode, got), (rc, b""))
                self.assertRegex(said.decode(), "^" + err.format(re.escape(sim.link)) + "$")
                self.assertEqual(self.read("m.csv"), b"time,vpeak_V,ipeak_A,vsupply_V,iavg_A,"
                                                     b"pavg_W,pcb_temp_C,marker\n")
                self.assertEqual(self.leftovers(), [])

    def test_monitor_reconnects(self):
        """monitor --reconnect across a restart of the device: a line for the loss and one for
        the return, rows before and after, none in the gap."""
        sim = self.device()
        csv, err = os.path.join(self.dir, "r.csv"), os.path.join(self.dir, "err.txt")
        with open(err, "wb") as said:
            proc = subprocess.Popen([self.program, "--port", sim.link, "monitor", "--reconnect",
                                     "--seconds", "12", "--csv", csv], cwd=self.dir,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=said)
        self.addCleanup(proc.kill)
        harness.wait_until(lambda: sim.received().count(b"cr Wi\r") >= 2, 20, "two cycles")
        sim.stop()  # the pty goes, and comes back once lumrax has seen it go
        harness.wait_until(lambda: b" lost at " in self.read("err.txt"), 10, "the loss told")
        sim = self.device_on(sim.link)
        harness.wait_until(lambda: sim.received().count(b"cr Wi\r") >= 2, 20, "two cycles after")
        self.assertEqual(proc.wait(timeout=30), 0)
        times = re.fullmatch(rf"lumrax: port {re.escape(sim.link)} lost at (\S+), waiting for it "
                             rf"to come back\nlumrax: port {re.escape(sim.link)} back at (\S+)\n",
                             self.read("err.txt").decode())
        self.assertIsNotNone(times, self.read("err.txt"))
        lost, back = times.groups()
        rows = [r.split(",")[0][11:] for r in self.read("r.csv").decode().splitlines()[1:]]
        self.assertTrue(any(t <= lost for t in rows) and any(t >= back for t in rows), rows)
        self.assertEqual([t for t in rows if lost < t < back], [], "rows in the gap")

    def test_monitor_marks_its_writes_and_plot_draws_them(self):
        """monitor --write-at sends its commands during the run; each is a marker row of the CSV
        (the chart's label), which plot draws."""
        sim = self.device()
        csv, svg = os.path.join(self.dir, "w.csv"), os.path.join(self.dir, "w.svg")
        run = self.lumrax("--port", sim.link, "monitor", "--seconds", "9", "--csv", csv,
                          "--write-at", "4:Pt 70", "--write-at", "2:Wo0")
        self.assertEqual((run.rc, run.err), (0, ""))
        sent = sim.received()
        self.assertLess(sent.index(b"cw Wo0\r"), sent.index(b"cw Pt 70\r"))
        self.assertGreater(sent.index(b"cw Wo0\r"), sent.index(b"cr Wi\r"))  # measuring by then
        header, *lines = self.read("w.csv").decode().splitlines()
        self.assertEqual(header, "time,vpeak_V,ipeak_A,vsupply_V,iavg_A,pavg_W,pcb_temp_C,marker")
        marks = [line for line in lines if line.split(",")[-1]]
        self.assertEqual([m.split(",", 1)[1] for m in marks], [",,,,,,PWM off", ",,,,,,Temp limit 70"])
        self.assertEqual(sorted(lines, key=lambda r: r[:19]), lines)  # in time order
        self.assertGreaterEqual(len(lines) - len(marks), 1)
        run = self.lumrax("plot", csv, "--out", svg)
        self.assertEqual((run.rc, run.err), (0, ""))
        self.assertEqual([label for _, label in read_svg(svg)["markers"]],
                         ["PWM off", "Temp limit 70"])

    def test_plot(self):
        """The SVG's lines hold the CSV's values on the scales it states, broken where rows are
        more than 5 s apart; the markers are drawn; an older file without the marker column is
        drawn the same; --from and --to cut the span; many rows are reduced per pixel column."""
        t0 = datetime.datetime(2024, 3, 5, 23, 59, 30)
        rows = []
        for i in range(30):
            t = t0 + datetime.timedelta(seconds=2 * i + (10 if i >= 20 else 0))
            values = [f"{10 + (i % 7) * 0.5:.2f}", f"{1 + (i % 3) * 0.25:.2f}", "24.00",
                      f"{0.5 + i * 0.001:.3f}", f"{12 - i * 0.1:.2f}",
                      "" if i % 3 == 1 else f"{35 + i * 0.1:.1f}"]
            rows.append((t, values))
        marks = {4: "Vlim 25.5", 12: 'Reg a,"b"'}
        def text(with_marker):
            out = "time,vpeak_V,ipeak_A,vsupply_V,iavg_A,pavg_W,pcb_temp_C" + (
                ",marker" if with_marker else "") + "\n"
            for i, (t, values) in enumerate(rows):
                out += t.isoformat() + "," + ",".join(values) + ("," if with_marker else "") + "\n"
                if with_marker and i in marks:
                    label = marks[i]
                    quoted = '"' + label.replace('"', '""') + '"' if "," in label else label
                    out += t.isoformat() + ",,,,,,," + quoted + "\n"
            return out
        new, old = self.write("new.csv", text(True)), self.write("old.csv", text(False))
        pictures = {}
        for name, path, span in (("new", new, []), ("old", old, []),
                                 ("cut", new, ["--from", rows[5][0].isoformat(),
                                               "--to", rows[15][0].isoformat()])):
            with self.subTest(name=name):
                out = os.path.join(self.dir, name + ".svg")
                run = self.lumrax("plot", path, "--out", out, *span)
                self.assertEqual((run.rc, run.err), (0, ""))
                pictures[name] = picture = read_svg(out)
                drawn = rows[5:16] if span else rows
                self.assertEqual(picture["t0"], ms(drawn[0][0]))
                self.assertEqual(picture["t1"], ms(drawn[-1][0]))
                for k, series in enumerate(SERIES):
                    strip = picture["strips"][series]
                    # The points of each run of samples not more than 5 s apart.
                    want, last = [], None
                    for t, values in drawn:
                        if not values[k]:
                            continue
                        if last is None or ms(t) - last > 5000:
                            want.append([])
                        want[-1].append((picture["x"](ms(t)), strip["y"](float(values[k]))))
                        last = ms(t)
                    got = strip["lines"]
                    self.assertEqual([len(r) for r in got], [len(r) for r in want], series)
                    for run_got, run_want in zip(got, want):
                        for (gx, gy), (wx, wy) in zip(run_got, run_want):
                            self.assertAlmostEqual(gx, wx, delta=0.06)
                            self.assertAlmostEqual(gy, wy, delta=0.06)
                    # Round ticks from the scale's low end to its high end.
                    ticks = strip["ticks"]
                    self.assertEqual((ticks[0], ticks[-1]), (strip["lo"], strip["hi"]))
                    step = ticks[1] - ticks[0]
                    self.assertIn(round(step / 10 ** math.floor(math.log10(step) + 1e-9), 6),
                                  (1, 2, 5))
                    self.assertTrue(all(abs(b - a - step) < 1e-9 for a, b in zip(ticks, ticks[1:])))
                    self.assertEqual(strip["latest"], [v[k] for _, v in drawn if v[k]][-1])
        for name, shown in (("new", sorted(marks)), ("old", []), ("cut", [12])):
            picture = pictures[name]
            self.assertEqual([label for _, label in picture["markers"]], [marks[i] for i in shown])
            for (x, _), i in zip(picture["markers"], shown):
                self.assertAlmostEqual(x, picture["x"](ms(rows[i][0])), delta=0.06)
        drawn = [{k: v for k, v in s.items() if k != "y"} for s in pictures["old"]["strips"].values()]
        self.assertEqual(drawn, [{k: v for k, v in s.items() if k != "y"}
                                 for s in pictures["new"]["strips"].values()])
        # A day of one row a second: a point or a few per pixel column, the extremes kept.
        lines = ["time,vpeak_V,ipeak_A,vsupply_V,iavg_A,pavg_W,pcb_temp_C"]
        for i in range(3000):
            t = (t0 + datetime.timedelta(seconds=i)).isoformat()
            lines.append(f"{t},{20 + 5 * math.sin(i / 40):.2f},1.00,24.00,0.500,12.00,35.0")
        big = self.write("big.csv", "\n".join(lines) + "\n")
        run = self.lumrax("plot", big, "--out", os.path.join(self.dir, "big.svg"))
        self.assertEqual((run.rc, run.err), (0, ""))
        strip = read_svg(os.path.join(self.dir, "big.svg"))["strips"]["vpeak_V"]
        (points,) = strip["lines"]
        values = [float(line.split(",")[1]) for line in lines[1:]]
        self.assertLessEqual(len(points), 4 * 960)
        self.assertEqual(sorted({round(y, 1) for _, y in points})[0],
                         round(strip["y"](max(values)), 1))
        self.assertEqual(sorted({round(y, 1) for _, y in points})[-1],
                         round(strip["y"](min(values)), 1))
        self.assertEqual([x for x, _ in points], sorted(x for x, _ in points))

    def test_plot_refuses_bad_input(self):
        """Each bad input is one line with the line number and exit 3; the SVG there stays as
        it was and no temporary file is left."""
        head = "time,vpeak_V,ipeak_A,vsupply_V,iavg_A,pavg_W,pcb_temp_C,marker\n"
        row = "2024-03-05T14:00:{:02d},12.50,1.25,24.00,0.500,12.00,35.0,\n"
        good = head + "".join(row.format(s) for s in range(0, 10, 2))
        huge = os.path.join(self.dir, "huge.csv")
        with open(huge, "wb") as f:
            f.truncate(513 << 20)  # sparse: nothing of it is read
        rows = [
            # the file's text (or a path), the span, the failure line after "FILE: "
            (head.replace("pavg_W,", "") + row.format(0), [],
             "line 1: no column pavg_W in the header (" + head.strip() + ", marker optional)"),
            (good + row.format(12).replace("12.50", "12,5"), [],
             "line 7: 9 fields, the header has 8"),
            (good + row.format(12).replace("1.25", "abc"), [], 'line 7: ipeak_A "abc" is not a '
             "number"),
            (good + row.format(12).replace("35.0", "inf"), [], 'line 7: pcb_temp_C "inf" is not a '
             "number"),
            (good + row.format(5), [], "line 7: time 2024-03-05T14:00:05 is before the line above "
             "(2024-03-05T14:00:08): the rows are not in time order"),
            (good.replace("T14:00:04", "T14:00:4"), [], 'line 4: time "2024-03-05T14:00:4" is not a '
             "local time like 2024-03-05T14:07:09"),
            (good + '2024-03-05T14:00:12,,,,,,,"open\n', [], "line 7: a quoted field has no "
             "closing quote"),
            (head, [], "line 1: no rows after the header"),
            (good, ["--from", "2024-03-05T15:00:00"],
             "no rows from 2024-03-05T15:00:00 to the end (line 6 is the last)"),
            (huge, [], f"{513 << 20} bytes, more than the 512 MiB taken"),
        ]
        svg = self.write("run.svg", "an older picture")
        for k, (data, span, line) in enumerate(rows):
            with self.subTest(line=line):
                path = data if data == huge else self.write(f"bad{k}.csv", data)
                run = self.lumrax("plot", path, "--out", svg, *span)
                self.assertEqual((run.rc, run.out, run.err), (3, b"", f"lumrax: {path}: {line}\n"))
                self.assertEqual(self.read("run.svg"), b"an older picture")
                self.assertEqual(self.leftovers(), [])
        good_csv = self.write("good.csv", good)
        for args, rc, line in (
                (["--from", "2024-03-05T14:00:08", "--to", "2024-03-05T14:00:02"], 3,
                 "--from 2024-03-05T14:00:08 is after --to 2024-03-05T14:00:02: an empty span"),
                (["--from", "2024-02-30T00:00:00"], 2,
                 "--from 2024-02-30T00:00:00: not a local time like 2024-03-05T14:07:09"),
                ([], 2, "plot needs --out FILE.svg")):
            with self.subTest(args=args):
                out = [] if rc == 2 and not args else ["--out", svg]
                run = self.lumrax("plot", good_csv, *out, *args)
                self.assertEqual((run.rc, run.err), (rc, f"lumrax: {line}\n"))
                self.assertEqual(self.read("run.svg"), b"an older picture")

    def device_on(self, link):
        """A simulated generator on the port of one that has gone."""
        sim = harness.Simulator(self.dir, link, ())
        self.addCleanup(sim.stop)
        return sim

    def test_flash_with_a_device_that_says_little(self):
        """Either identification row names the application; cw Sboot is confirmed by reading Sv;
        the erase takes its answer, or without one is given its time before the first line."""
        small = self.write("small.hex", SMALL_HEX)
        lines = b"".join(harness.records(SMALL_HEX))
        switch_erase = b"cr Sv\rcw Sboot\rcr Sv\rcw Fe\r" + lines
        rows = [
            # simulator options, flash options, exit code, the last line on standard error
            # (None: done), what the device got
            (("--sv", "hw"), ["--switch", "--erase"], 0, None, switch_erase),
            (("--sv", "apart"), ["--switch", "--erase", "--verify"], 0, None,
             switch_erase + b"cw Sboot\rcr Sv\rcr Mr\r"),
            # Silent on both, and deaf for 1 s while erasing: the ATmega328P's 1.6 s cover it.
            (("--no-reply", "Sboot,Fe", "--erase-ms", "1000"), ["--switch", "--erase"], 0, None,
             switch_erase),
            (BOOT + ("--no-reply", "Fe", "--erase-ms", "1000"),
             ["--erase", "--erase-settle-ms", "0"], 5, "the device did not answer line 1 within 5 s",
             b"cr Sv\rcw Fe\r" + harness.records(SMALL_HEX)[0]),
            (BOOT + ("--erase-fails",), ["--erase"], 6, 'the erase failed: the device answered '
             '"cw Fe" with "flash erase failed"; no line is sent', b"cr Sv\rcw Fe\r"),
            (("--no-switch",), ["--switch"], 6, 'the device still runs its application after "cw '
             'Sboot" (it answered "Lum_Rax, HW Rev 3, 16MHz / Lum_Rax_Gen FW V2.07")',
             b"cr Sv\rcw Sboot\r" + b"cr Sv\r" * 5),
        ]
        for options, steps, rc, line, wire in rows:
            with self.subTest(options=options, steps=steps):
                sim = self.device(*options, *FAST)
                run = self.lumrax("--port", sim.link, *FAST, "flash", small, "--yes", *steps)
                self.assertEqual(run.rc, rc, run.err)
                if line is None:
                    self.assertRegex(run.out, rb"^flashed: 21 lines ")
                else:
                    self.assertEqual(run.err.splitlines()[-1], "lumrax: " + line)
                self.assertEqual(sim.received(), wire)
                if "--erase-ms" in options and rc == 0:
                    self.assertIn('lumrax: no answer to "cw Fe": the erase was given 1600 ms\n',
                                  run.err)
                    sent = [t for t, way, d in sim.traffic() if way == "PC>dev"]
                    erase = next(t for t, way, d in sim.traffic() if b"cw Fe" in d)
                    self.assertGreaterEqual(min(t for t in sent if t > erase) - erase, 1.6)

    def test_output_files_and_the_port_lock(self):
        """Output files replace their target only at the end of a run that keeps them; what is
        no regular file is refused; standard output is checked; a locked port is busy."""
        sim = self.device(*FAST)
        old, fifo = self.write("old", "an older file"), os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        missing = os.path.join(self.dir, "nothere")
        no_port = f"port {missing}: cannot open: No such file or directory"
        rows = [
            # command line, the port, exit code, the failure line
            (["dump", "--out", old], missing, 4, no_port),
            (["monitor", "--csv", old], missing, 4, no_port),
            (["read", "Sv", "--log", old], missing, 4, no_port),
            (["dump", "--out", fifo], sim.link, 1, f"cannot create {fifo}: not a regular file"),
            (["monitor", "--csv", fifo], sim.link, 1, f"cannot create {fifo}: not a regular file"),
            (["read", "Sv", "--log", fifo], sim.link, 1,
             f"cannot create log file {fifo}: not a regular file"),
        ]
        for args, port, rc, line in rows:
            with self.subTest(args=args):
                run = self.lumrax("--port", port, *FAST, *args)
                self.assertEqual((run.rc, run.err), (rc, f"lumrax: {line}\n"))
                self.assertEqual(self.read("old"), b"an older file")
                self.assertTrue(stat.S_ISFIFO(os.stat(fifo).st_mode))
                self.assertEqual(self.leftovers(), [])
        with open("/dev/full", "wb") as full:
            run = self.lumrax("--port", sim.link, *FAST, "read", "Sv", stdout=full)
        self.assertEqual((run.rc, run.err),
                         (1, "lumrax: cannot write standard output: No space left on device\n"))
        # The advisory lock binds every program, root too (the exclusive open does not).
        fd = os.open(sim.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            run = self.lumrax("--port", sim.link, *FAST, "read", "Sv")
        finally:
            os.close(fd)
        self.assertEqual((run.rc, run.err), (4, f"lumrax: port {sim.link}: busy: another "
                                                "program has locked the port\n"))

    def test_check(self):
        # The .avr and .bin of the fixture: whole pages from address 0 up to the one after
        # the last byte, 0xFF behind it; each .bin record numbered, with its checksum.
        page, path = 128, os.path.join(FIXTURES, "atmega1284p_app.hex")
        with open(os.path.join(FIXTURES, "atmega1284p_app.ref"), "rb") as f:
            image = f.read()
        pages = min(len(image) // page + 1, 960)
        avr = image + b"\xff" * (pages * page - len(image))
        binary = b"".join(struct.pack("<HH", p, pages - 1) + avr[p * page:][:page]
                          + bytes([-sum(avr[p * page:][:page]) & 0xFF]) + b"\r\n"
                          for p in range(pages))
        for out, options in (("imgs", ["--json", "--out", "imgs"]), (".", [])):
            run = self.lumrax("check", path, "--chip", "1284P", *options)
            self.assertEqual((run.rc, run.err), (0, ""))
            result = {"file": path, "chip": "ATmega1284P", "lines": 5798, "pages": pages,
                      "page_size": page, "bin": f"{out}/atmega1284p_app.bin",
                      "avr": f"{out}/atmega1284p_app.avr"}
            self.assertEqual(json.loads(run.out) if options else run.out.decode(),
                             dict(result, event="result", command="check", chip="1284P")
                             if options else "file: {file}\nchip: {chip}\nlines: {lines}\n"
                             "pages: {pages} of {page_size} bytes\nbin: {bin}\navr: {avr}\n"
                             .format(**result))
            for ext, want in ((".avr", avr), (".bin", binary)):
                with open(os.path.join(self.dir, out, "atmega1284p_app" + ext), "rb") as f:
                    self.assertEqual(f.read(), want, ext)

    def flash_fixture(self, fixture, chip, name, app, size):
        """flash with every step onto a device that runs its application: the device's flash
        (size bytes, the application section app bytes) ends up as the reference image, and
        --verify agrees."""
        sim = self.device("--chip", chip, *FAST)
        path = os.path.join(FIXTURES, fixture + ".hex")
        run = self.lumrax("--port", sim.link, *FAST, "flash", path, "--chip", chip, "--switch",
                          "--erase", "--verify", "--yes", timeout=600)
        self.assertEqual(run.rc, 0, run.err)
        with open(path) as f:
            records = harness.records(f.read())
        n = len(records)
        self.assertRegex(run.out.decode(), rf"^flashed: {n} lines in \d+\.\d\d s \(\d+\.\d\d "
                         rf"lines/s\)\nverified: {app} bytes \(0x{app:04X}\) match the image\n$")
        switch = re.escape("lumrax: Switch between Bootloader / Application? -> OK (--yes)")
        self.assertRegex(run.err, "^" + "\n".join([switch] + [re.escape(w) for w in (
            "lumrax: Erase Lum_Rax Flash? -> OK (--yes)",
            "lumrax: Flash erased? Start Bootloader? -> OK (--yes)",
            "lumrax: Bootloading started!: Do NOT remove power or connection to device!!!")] + [
            rf"lumrax: {5 * k} % \({(k * n + 19) // 20} / {n} lines\), \d+\.\d lines/s"
            for k in range(1, 21)] + [re.escape("lumrax: Bootloading finished: AVR reports "
                                                "bootloading is finished!"), switch]) + "\n$")
        self.assertEqual(sim.received(), b"cr Sv\rcw Sboot\rcr Sv\rcw Fe\r" + b"".join(records)
                         + b"cw Sboot\rcr Sv\rcr Mr\r")
        # The device's answer to cr Mr, the last it sent: its whole flash.
        with open(os.path.join(FIXTURES, fixture + ".ref"), "rb") as f:
            ref = f.read()
        self.assertEqual(sim.sent()[-size:][:app], ref + b"\xff" * (app - len(ref)))
        self.assertIn(f"Bootloader for {name} V1.3".encode(), sim.sent())

    def test_flash_atmega328p(self):
        self.flash_fixture("atmega328p_app", "328P", "ATmega328P", 0x7000, 0x8000)

    def test_flash_atmega1284p(self):
        self.flash_fixture("atmega1284p_app", "1284P", "ATmega1284P", 0x1E000, 0x20000)

    def test_flash_on_a_terminal(self):
        """Without --yes the terminal is asked; the progress is a bar redrawn in place."""
        small = self.write("small.hex", SMALL_HEX)
        question = "lumrax: Flash erased? Start Bootloader? [y/N] "
        for answer, rc, said in (
                ("n", 2, re.escape(question + "n\nlumrax: cancelled: nothing more is sent\n")),
                (None, 130, re.escape(question + "\nlumrax: interrupted\n")),  # Ctrl-C
                ("y", 0, re.escape(question + "y\nlumrax: Bootloading started!: Do NOT remove "
                                   "power or connection to device!!!\n")
                 + r"(\r\[[#.]{24}\] \d+ / 21 lines .*\x1b\[K)+\r\[#{24}\] 21 / 21 lines  100 %  "
                 r"\d+\.\d lines/s  0:00 left\x1b\[K\nlumrax: Bootloading finished: AVR reports "
                 r"bootloading is finished!\n")):
            with self.subTest(answer=answer):
                sim = self.device(*BOOT, *FAST)
                master, slave = pty.openpty()
                proc = subprocess.Popen([self.program, "--port", sim.link, *FAST, "flash", small],
                                        cwd=self.dir, stdin=slave, stdout=subprocess.PIPE,
                                        stderr=slave)
                self.addCleanup(proc.kill)
                os.close(slave)
                screen, deadline = b"", time.monotonic() + 60
                while select.select([master], [], [], max(deadline - time.monotonic(), 0))[0]:
                    try:
                        screen += os.read(master, 4096)
                    except OSError:  # the program has closed its side
                        break
                    if screen.endswith(b"[y/N] ") and answer is None:
                        proc.send_signal(signal.SIGINT)
                    elif screen.endswith(b"[y/N] "):
                        os.write(master, answer.encode() + b"\n")
                out, _ = proc.communicate(timeout=30)
                os.close(master)
                # The terminal turns each line end into CR LF and echoes the answer.
                self.assertRegex(screen.decode("latin-1").replace("\r\n", "\n"), f"^{said}$")
                self.assertEqual(proc.returncode, rc, screen)
                self.assertEqual(sim.received(), b"cr Sv\r" + (b"".join(harness.records(
                    SMALL_HEX)) if rc == 0 else b""))
                self.assertRegex(out.decode(), r"^flashed: 21 lines in " if rc == 0 else "^$")

    def test_ports(self):
        ports = json.loads(self.lumrax("ports", "--json").out)["ports"]
        plain = self.lumrax("ports")
        self.assertTrue(all(re.match(r"/dev/(tty|rfcomm)", p) for p in ports), ports)
        self.assertEqual((plain.rc, plain.err, plain.out.decode().split()), (0, "", ports))


if __name__ == "__main__":
    unittest.main()
