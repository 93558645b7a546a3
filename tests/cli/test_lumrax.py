"""lumrax against the device simulator on a pseudo-terminal, natively (no Wine).

Each row of a table is a command line and what must come of it: the exit code, standard
output, the one line on standard error of a failure, and the bytes that crossed the line
(from the simulator's trace).

Environment: LRX_LUMRAX (the program), LRX_E2E_SIM (lumrax-sim), LRX_CLI_RUNS (scratch).
"""

import json
import os
import pty
import re
import select
import struct
import shutil
import subprocess
import sys
import time
import types
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402  (the simulator's trace reader)

# The simulator's identification texts (sim/application.h, sim/bootloader.cpp) and its
# state after power-up: PWM on, DC control off, no search at power-up.
APP_INFO = (b"firmware: Lum_Rax_Gen FW V2.07\nhardware: Lum_Rax, HW Rev 3, 16MHz\n"
            b"running: application\npwm: on\nctl: off\nsearch_always: off\n")
BOOT_INFO = b"firmware: Bootloader for ATmega328P V1.3\nrunning: bootloader\n"
# AutoRead's start-up reads after COM Start.
START_UP_READS = b"cr Wo\rcr Sv\rcr Wc\rcr Ww\r"
TIME_OUT_S = 5.0
MARGIN_S = 2.0  # process start, the first read 150 ms after COM Start, a loaded machine

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures")
# name, page size, pages at most, application section (bytes) of each chip
CHIPS = {"328P": ("ATmega328P", 64, 448, 0x7000), "1284P": ("ATmega1284P", 128, 960, 0x1E000)}
# A device in its bootloader with an erased application section.
BOOT = ("--firmware", "boot", "--flash", "blank")
FAST = ("--baud", "115200")


def hex_record(rtype, addr, data):
    body = bytes([len(data), (addr >> 8) & 0xFF, addr & 0xFF, rtype]) + bytes(data)
    return ":" + (body + bytes([-sum(body) & 0xFF])).hex().upper() + "\r\n"


def records_on_the_wire(hex_text):
    """Each line of the file as the program streams it: the colon, the record's bytes, CR LF."""
    return [b":" + bytes.fromhex(line[1:]) + b"\r\n" for line in hex_text.split()]


def page_images(image, page_size, max_pages):
    """The .avr and .bin files of a contiguous image from address 0: whole pages up to the
    one after the last byte, 0xFF behind it; each .bin record numbered, with its checksum."""
    pages = min(len(image) // page_size + 1, max_pages)
    avr = image + b"\xff" * (pages * page_size - len(image))
    binary = b""
    for p in range(pages):
        data = avr[p * page_size:(p + 1) * page_size]
        binary += struct.pack("<HH", p, pages - 1) + data + bytes([-sum(data) & 0xFF]) + b"\r\n"
    return avr, binary


def read_back(sim):
    """The device's answer to the last cr Mr: its flash, as the simulator sent it."""
    traffic = sim.traffic()
    start = max(i for i, (_, way, d) in enumerate(traffic) if way == "PC>dev" and b"cr Mr\r" in d)
    return b"".join(d for _, way, d in traffic[start + 1:] if way == "dev>PC")


def program():
    path = os.environ.get("LRX_LUMRAX")
    if not path or not os.path.isfile(path):
        raise harness.HarnessError(f"lumrax not found: {path!r} (set LRX_LUMRAX)")
    return path


class Run(types.SimpleNamespace):
    """rc, out (bytes), err (text), seconds"""


class LumraxTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        runs = os.environ.get("LRX_CLI_RUNS") or os.path.join(os.getcwd(), "lumrax-runs")
        self.dir = os.path.join(runs, self.id().split(".")[-1])
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.sims = []

    def tearDown(self):
        for sim in self.sims:
            sim.stop()

    def device(self, *options):
        """A simulated generator; its port is sim.link."""
        folder = os.path.join(self.dir, f"sim{len(self.sims) + 1}")
        os.makedirs(os.path.join(folder, "dosdevices"))
        sim = harness.Simulator(types.SimpleNamespace(prefix=folder, dir=folder), options)
        self.sims.append(sim)
        return sim

    def lumrax(self, *args, env_port=None, timeout=60):
        env = dict(os.environ)
        env.pop("LUMRAX_PORT", None)
        if env_port:
            env["LUMRAX_PORT"] = env_port
        started = time.monotonic()
        done = subprocess.run([program(), *args], cwd=self.dir, env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout, check=False)
        return Run(rc=done.returncode, out=done.stdout, err=done.stderr.decode("latin-1"),
                   seconds=time.monotonic() - started)

    def assert_done(self, run, what):
        self.assertEqual((run.rc, run.err), (0, ""), what)

    def test_info(self):
        app = self.device()
        boot = self.device("--firmware", "boot")
        rows = [
            # device, command line, the port by option or by LUMRAX_PORT, standard output
            (app, ["info"], "option", APP_INFO),
            (boot, ["info"], "env", BOOT_INFO),
            (app, ["--json", "info"], "env",
             {"event": "result", "command": "info", "firmware": "Lum_Rax_Gen FW V2.07",
              "hardware": "Lum_Rax, HW Rev 3, 16MHz", "running": "application", "pwm": True,
              "ctl": False, "search_always": False}),
            (boot, ["info", "--json"], "option",
             {"event": "result", "command": "info", "firmware": "Bootloader for ATmega328P V1.3",
              "hardware": None, "running": "bootloader", "pwm": None, "ctl": None,
              "search_always": None}),
        ]
        for sim, args, by, want in rows:
            with self.subTest(args=args, firmware=sim is boot):
                before = len(sim.received())
                if by == "option":
                    run = self.lumrax("--port", sim.link, *args)
                else:
                    run = self.lumrax(*args, env_port=sim.link)
                self.assert_done(run, args)
                if isinstance(want, dict):
                    self.assertEqual(json.loads(run.out), want)
                else:
                    self.assertEqual(run.out, want)
                sent = sim.received()[before:]
                if sim is app:
                    self.assertEqual(sent, START_UP_READS)
                else:
                    # Silent on Wo, named on Sv; from then on AutoRead stays still.
                    self.assertTrue(sent.startswith(b"cr Wo\rcr Sv\r"), sent)

    def test_read_and_write(self):
        sim = self.device()
        slow = self.device("--baud", "14400")  # a rate with no Bnnn constant of its own
        rows = [
            # device, command line, standard output, bytes on the line
            (sim, ["read", "Wo", "Wc"], b"PWM_active = 1\npwm_ctl_active = 0\n",
             b"cr Wo\rcr Wc\r"),
            (sim, ["write", "Wo0", "Pt 70"], b"output off\nalarm limit 70 C\n",
             b"cw Wo0\rcw Pt 70\r"),
            (sim, ["read", "Wo", "Pt"], b"PWM_active = 0\nalarm threshold 70 C\n",
             b"cr Wo\rcr Pt\r"),
            (sim, ["--json", "read", "Sv"],
             b'{"event":"reply","command":"cr Sv",'
             b'"reply":"Lum_Rax, HW Rev 3, 16MHz\\nLum_Rax_Gen FW V2.07"}\n', b"cr Sv\r"),
            (slow, ["--baud", "14400", "read", "Wc"], b"pwm_ctl_active = 0\n", b"cr Wc\r"),
        ]
        for dev, args, out, wire in rows:
            with self.subTest(args=args):
                before = len(dev.received())
                run = self.lumrax(*args, "--port", dev.link)
                self.assert_done(run, args)
                self.assertEqual(run.out, out)
                self.assertEqual(dev.received()[before:], wire)

        # The COM traffic log: the window program's format, the port named by its path.
        log = os.path.join(self.dir, "com.log")
        run = self.lumrax("read", "Wo", "--log", log, "--port", sim.link)
        self.assert_done(run, "log")
        with open(log, "rb") as f:
            logged = f.read()
        head = (rb"COM Port log file\nStarted: \d\d:\d\d:\d\d, \d\d\.\d\d\.\d{4}\n"
                rb"Com port open \(handle \d+\)\n" + re.escape(sim.link.encode()) +
                rb", 38400 bps\n-{26}\n\n")
        self.assertRegex(logged, head + re.escape(b"cr Wo\r\n" + sim.replies()[-1]) + b"$")

    def test_monitor(self):
        sim = self.device()
        csv = os.path.join(self.dir, "m.csv")
        run = self.lumrax("--port", sim.link, "monitor", "--seconds", "9", "--csv", csv, "--json")
        self.assert_done(run, "monitor")
        with open(csv, "rb") as f:
            lines = f.read().decode().splitlines()
        self.assertEqual(lines[0], "time,vpeak_V,ipeak_A,vsupply_V,iavg_A,pavg_W,pcb_temp_C")
        rows = [line.split(",") for line in lines[1:]]
        # One cycle of four reads every 4.1 s, the first after the start-up reads.
        self.assertEqual(len(rows), 2, lines)
        events = [json.loads(line) for line in run.out.splitlines()]
        names = lines[0].split(",")
        self.assertEqual([[str(e[n]) if n == "time" else e[n] for n in names] for e in events],
                         [[r[0]] + [float(v) for v in r[1:]] for r in rows])
        for row in rows:
            self.assertRegex(row[0], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d$")

        # What the simulator sent, cycle by cycle (sim/application.cpp formats).
        text = b"".join(sim.replies()).decode("latin-1")
        volt = re.findall(r"VOLT: (\S+) Vp ISNS: (\S+) Ap", text)
        supply = re.findall(r"VINF: (\S+) V", text)
        current = re.findall(r"ADC2, IANT (\S+) A\n\rPower: (\S+) W", text)
        temp = re.findall(r"TMP101 temp: (\S+) C", text)
        for k, row in enumerate(rows):
            sent = [volt[k][0], volt[k][1], supply[k], current[k][0], current[k][1], temp[k]]
            self.assertEqual([float(v) for v in row[1:]], [float(v) for v in sent], k)
        self.assertEqual(sim.received()[:len(START_UP_READS)], START_UP_READS)
        self.assertEqual(sim.received()[len(START_UP_READS):len(START_UP_READS) + 24],
                         b"cr Wi\rcr Wt\rcr Wu\rcr Pi\r")

    def test_dump(self):
        image = bytes((i * 7 + (i >> 8)) & 0xFF for i in range(0x7000))
        path = os.path.join(self.dir, "image.bin")
        with open(path, "wb") as f:
            f.write(image)
        sim = self.device("--baud", "115200", "--flash", path)
        out = os.path.join(self.dir, "dump.bin")
        run = self.lumrax("--port", sim.link, "--baud", "115200", "dump", "--out", out)
        self.assert_done(run, "dump")
        self.assertEqual(run.out, f"32768 bytes into {out}\n".encode())
        with open(out, "rb") as f:
            flash = f.read()
        # The whole flash of the ATmega328P: the loaded application section, then the boot
        # section that the simulator fills itself.
        self.assertEqual(len(flash), 0x8000)
        self.assertEqual(flash[:0x7000], image)
        self.assertEqual(flash, b"".join(d for _, way, d in sim.traffic() if way == "dev>PC"))

        # A part of it to standard output (a pipe), started by a read of the user's text.
        before = len(sim.received())
        run = self.lumrax("--port", sim.link, "--baud", "115200", "dump", "--reg", "Mr 100 40")
        self.assert_done(run, "dump part")
        self.assertEqual(run.out, image[0x100:0x140])
        self.assertEqual(sim.received()[before:], b"cr Mr 100 40\r")

    def test_failures(self):
        app = self.device()
        boot = self.device("--firmware", "boot")
        silent = self.device("--no-reply", "*")
        no_pt = self.device("--no-reply", "Pt")
        missing = os.path.join(self.dir, "nothere")
        rows = [
            # device (its port), command line, exit code, standard output, the one error line,
            # nothing sent to the device
            (None, ["--port", missing, "info"], 4, b"",
             f"port {missing}: cannot open: No such file or directory", True),
            (None, ["--port", "/dev/null", "read", "Wo"], 4, b"",
             "port /dev/null: not a serial port: Inappropriate ioctl for device", True),
            (None, ["info"], 2, b"", "no port: give --port or set LUMRAX_PORT", True),
            (app, ["info", "--baud", "1000"], 2, b"", "--baud 1000: not one of 1200, 2400, "
             "4800, 9600, 14400, 19200, 38400, 57600, 115200", True),
            (app, ["flash", "fw.hex"], 2, b"",
             "flash asks before it starts: give --yes, or run it on a terminal", True),
            (app, ["write", "Wo1\rcw Fe"], 2, b"",
             "register text with a control character: refused", True),
            (app, ["read", "x" * 60], 2, b"", "Error: Register text too long (max. 59 characters)!",
             True),
            (app, ["dump", "--reg", "Wr", "--out", "d.bin"], 2, b"", "--reg Wr: must begin with Mr",
             True),
            (app, ["read", "Wo", "--log", os.path.join(self.dir, "no", "log.txt")], 1, b"",
             f"cannot create log file {self.dir}/no/log.txt: No such file or directory", True),
            (boot, ["monitor", "--seconds", "5"], 6, b"",
             "the device runs its bootloader: no measurements", False),
            (silent, ["info"], 5, b"", 'device time-out: no answer to "cr Wo" within 5 s', False),
            (no_pt, ["read", "Wo", "Pt", "--json"], 5,
             b'{"event":"reply","command":"cr Wo","reply":"PWM_active = 1"}\n'
             b'{"event":"error","exit_code":5,'
             b'"message":"device time-out: no answer to \\"cr Pt\\" within 5 s"}\n',
             'device time-out: no answer to "cr Pt" within 5 s', False),
        ]
        for sim, args, rc, out, line, nothing_sent in rows:
            with self.subTest(args=args):
                before = len(sim.received()) if sim else 0
                run = self.lumrax(*args, env_port=sim.link if sim else None)
                self.assertEqual((run.rc, run.out, run.err), (rc, out, f"lumrax: {line}\n"))
                if sim and nothing_sent:
                    self.assertEqual(sim.received()[before:], b"")
                if rc == 5:
                    # The 5 s count from the first unanswered command.
                    self.assertGreaterEqual(run.seconds, TIME_OUT_S)
                    self.assertLess(run.seconds, TIME_OUT_S + MARGIN_S)

    def test_lost_line_and_ctrl_c(self):
        for ending in ("lost", "interrupt"):
            with self.subTest(ending=ending):
                sim = self.device()
                proc = subprocess.Popen([program(), "--port", sim.link, "monitor"], cwd=self.dir,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
                try:
                    # The first measurement read: the start-up reads have been answered.
                    harness.wait_until(lambda: b"cr Wi\r" in sim.received(), 20,
                                       "the first measurement read")
                    if ending == "lost":
                        sim.stop()  # the pty goes away, as an adapter pulled out
                    else:
                        proc.send_signal(2)
                    out, err = proc.communicate(timeout=10)
                finally:
                    if proc.poll() is None:
                        proc.kill()
                        proc.wait()
                if ending == "lost":
                    self.assertEqual(proc.returncode, 4)
                    self.assertRegex(err.decode(), rf"^lumrax: port {re.escape(sim.link)}: "
                                     r"(read failed|the line was hung up): Input/output error\n$")
                else:
                    self.assertEqual((proc.returncode, err), (0, b""))
                    self.assertEqual(out, b"time,vpeak_V,ipeak_A,vsupply_V,iavg_A,pavg_W,"
                                          b"pcb_temp_C\n")

    def small_hex(self, name, lines=20):
        """A file of lines x 16 bytes from address 0 and the end record; its path, text and
        image."""
        image = bytes((i * 13 + 7) & 0xFF for i in range(16 * lines))
        text = "".join(hex_record(0, a, image[a:a + 16]) for a in range(0, len(image), 16))
        text += ":00000001FF\r\n"
        path = self.write(name, text)
        return path, text, image

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        if isinstance(data, str):
            data = data.encode("latin-1")
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_check(self):
        rows = [
            # fixture, chip, --out, --json
            ("atmega328p_app", "328P", None, False),
            ("atmega1284p_app", "1284P", "imgs", True),
        ]
        for fixture, chip, out, as_json in rows:
            with self.subTest(fixture=fixture):
                path = os.path.join(FIXTURES, fixture + ".hex")
                args = ["check", path, "--chip", chip] + (["--out", out] if out else [])
                run = self.lumrax(*args, *(["--json"] if as_json else []))
                self.assert_done(run, args)
                name, page_size, max_pages, _ = CHIPS[chip]
                with open(os.path.join(FIXTURES, fixture + ".ref"), "rb") as f:
                    avr, binary = page_images(f.read(), page_size, max_pages)
                with open(path, "rb") as f:
                    lines = f.read().count(b":")
                folder = out or "."
                result = {"file": path, "chip": name, "lines": lines,
                          "pages": len(avr) // page_size, "page_size": page_size,
                          "bin": f"{folder}/{fixture}.bin", "avr": f"{folder}/{fixture}.avr"}
                if as_json:
                    self.assertEqual(json.loads(run.out),
                                     dict(result, event="result", command="check", chip=chip))
                else:
                    self.assertEqual(run.out.decode(), "file: {file}\nchip: {chip}\nlines: {lines}\n"
                                     "pages: {pages} of {page_size} bytes\nbin: {bin}\n"
                                     "avr: {avr}\n".format(**result))
                for ext, want in ((".avr", avr), (".bin", binary)):
                    with open(os.path.join(self.dir, folder, fixture + ext), "rb") as f:
                        self.assertEqual(f.read(), want, ext)

        _, good, _ = self.small_hex("good.hex", lines=3)
        lines = good.split("\r\n")
        crc = "\r\n".join(lines[:1] + [lines[1][:-2] + "00"] + lines[2:])
        rows = [
            # file content (None: no file), chip, what follows "lumrax: PATH: ", exit code
            (crc, "328P", "refused by the check for ATmega328P: ihex line CRC error, line 2", 3),
            (good.replace(":00000001FF", ":00000001ff"), "328P", "refused by the check for "
             "ATmega328P: Error: ihex last line is not ':00000001FF' !!!", 3),
            (good.replace("\r\n", "\n"), "1281",
             "refused by the check for ATmega1281: ihex line end error, line 1", 3),
            (None, "328P", "The file cannot be opened", 3),
            (os.path.join(FIXTURES, "atmega1284p_app.hex"), "328P", "refused by the check for "
             "ATmega328P: Hex File Validity Check: too many lines: 5798 !!!; Max. for ATmega328P "
             "application flash: 1793 lines", 3),
        ]
        out = os.path.join(self.dir, "refused")
        for k, (content, chip, line, rc) in enumerate(rows):
            with self.subTest(row=k):
                if content is None or content.startswith("/"):
                    path = content or os.path.join(self.dir, "nothere.hex")
                else:
                    path = self.write(f"bad{k}.hex", content)
                run = self.lumrax("check", path, "--chip", chip, "--out", out)
                self.assertEqual((run.rc, run.out, run.err), (rc, b"", f"lumrax: {path}: {line}\n"))
                self.assertEqual(os.listdir(out), [])  # no images of a refused file

        # Images that cannot be written: the folder is made one level deep only.
        deep = os.path.join(self.dir, "no", "sub")
        run = self.lumrax("check", os.path.join(self.dir, "good.hex"), "--out", deep)
        self.assertEqual((run.rc, run.out, run.err), (1, b"", f"lumrax: cannot write the page "
                                                             f"images {deep}/good.bin and {deep}/good.avr\n"))

    def flash_fixture(self, fixture, chip):
        """flash with every step onto a device that runs its application: the device's flash
        ends up as the reference image, and --verify agrees."""
        name, _, _, app = CHIPS[chip]
        sim = self.device("--chip", chip, *FAST)
        path = os.path.join(FIXTURES, fixture + ".hex")
        run = self.lumrax("--port", sim.link, *FAST, "flash", path, "--chip", chip, "--switch",
                          "--erase", "--verify", "--yes", timeout=600)
        self.assertEqual(run.rc, 0, run.err)
        with open(path) as f:
            records = records_on_the_wire(f.read())
        n = len(records)
        self.assertRegex(run.out.decode(), rf"^flashed: {n} lines in \d+\.\d\d s \(\d+\.\d\d "
                         rf"lines/s\)\nverified: {app} bytes \(0x{app:04X}\) match the image\n$")
        switch = "lumrax: Switch between Bootloader / Application? -> OK (--yes)"
        steps = [rf"lumrax: {5 * k} % \({(k * n + 19) // 20} / {n} lines\), \d+\.\d lines/s"
                 for k in range(1, 21)]
        want = [switch, "lumrax: Erase Lum_Rax Flash? -> OK (--yes)",
                "lumrax: Flash erased? Start Bootloader? -> OK (--yes)",
                "lumrax: Bootloading started!: Do NOT remove power or connection to device!!!"]
        want = [re.escape(w) for w in want] + steps + [re.escape(w) for w in [
            "lumrax: Bootloading finished: AVR reports bootloading is finished!", switch]]
        self.assertRegex(run.err, "^" + "\n".join(want) + "\n$")
        self.assertEqual(sim.received(), b"cr Sv\rcw Sboot\rcr Sv\rcw Fe\r" + b"".join(records)
                         + b"cw Sboot\rcr Sv\rcr Mr\r")
        with open(os.path.join(FIXTURES, fixture + ".ref"), "rb") as f:
            ref = f.read()
        self.assertEqual(read_back(sim)[:app], ref + b"\xff" * (app - len(ref)))
        boot_text = f"Bootloader for {name} V1.3"
        self.assertIn(boot_text.encode(), sim.sent())

    def test_flash_atmega328p(self):
        self.flash_fixture("atmega328p_app", "328P")

    def test_flash_atmega1284p(self):
        self.flash_fixture("atmega1284p_app", "1284P")

    def test_flash_and_verify_failures(self):
        small, text, image = self.small_hex("small.hex")
        records = records_on_the_wire(text)
        broken = self.write("broken.hex", text.replace(text.split()[2], text.split()[2][:-2] + "00"))
        # The application section of a device whose flash differs from the small image twice:
        # inside it, and in the erased flash behind it.
        altered = bytearray(image + b"\xff" * (0x7000 - len(image)))
        altered[0x10] ^= 0x01
        altered[0x6FFF] = 0x00
        flash = self.write("altered.bin", bytes(altered))
        rows = [
            # simulator options, command line, exit code, the one failure line, what the
            # device got
            ((), ["flash", broken, "--yes"], 3, f"{broken}: refused by the check for ATmega328P: "
             "ihex line CRC error, line 3", b""),
            ((), ["flash", small], 2,
             "flash asks before it starts: give --yes, or run it on a terminal", b""),
            ((), ["flash", small, "--yes"], 6,
             "the device runs its application: --switch puts it in its bootloader", b"cr Sv\r"),
            (BOOT + ("--record-letter", "3:e"), ["flash", small, "--yes"], 6,
             "Error: AVR bootloader error message!", b"cr Sv\r" + b"".join(records[:4])),
            (BOOT + ("--record-letter", "2:W"), ["flash", small, "--yes"], 6,
             "Error: AVR bootloader unknown reply!", b"cr Sv\r" + b"".join(records[:3])),
            (BOOT + ("--record-letter", "5:n"), ["flash", small, "--yes"], 7,
             "ERROR!: AVR reports bootloading is finished, but we don't think so!!! "
             "lines_sent < ihex_line_num_max_app", b"cr Sv\r" + b"".join(records[:6])),
            (BOOT + ("--disconnect-after-records", "3"), ["flash", small, "--yes"], 5,
             "Error: AVR bootloader Timeout!", b"cr Sv\r" + b"".join(records[:4])),
            (BOOT, ["verify", small], 6,
             "the device runs its bootloader: only the application reads the flash back",
             b"cr Sv\r"),
            (("--flash", flash), ["verify", small], 8, "verify: 2 of 28672 bytes differ, the "
             f"first at 0x00010 (device 0x{altered[0x10]:02X}, image 0x{image[0x10]:02X})",
             b"cr Sv\rcr Mr\r"),
        ]
        for options, args, rc, line, wire in rows:
            with self.subTest(options=options, args=args):
                sim = self.device(*options, *FAST)
                run = self.lumrax("--port", sim.link, *FAST, *args)
                self.assertEqual(run.rc, rc, run.err)
                self.assertEqual(run.err.splitlines()[-1], f"lumrax: {line}")
                self.assertEqual(sim.received(), wire)
                if rc == 5:
                    # The core's count of 5 s from the last byte heard.
                    self.assertGreaterEqual(run.seconds, TIME_OUT_S)
                    self.assertLess(run.seconds, TIME_OUT_S + MARGIN_S)

        # The same image on the device, asked for JSON.
        sim = self.device("--flash", self.write("same.bin", image), *FAST)
        run = self.lumrax("--port", sim.link, *FAST, "verify", small, "--json")
        self.assert_done(run, "verify")
        self.assertEqual(json.loads(run.out), {"event": "result", "command": "verify",
                                               "bytes": 0x7000, "differ": 0})

    def test_flash_on_a_terminal(self):
        """Without --yes the terminal is asked; the progress is a bar redrawn in place."""
        small, text, _ = self.small_hex("small.hex")
        for answer, rc in (("n", 2), ("y", 0)):
            with self.subTest(answer=answer):
                sim = self.device(*BOOT, *FAST)
                master, slave = pty.openpty()
                proc = subprocess.Popen([program(), "--port", sim.link, *FAST, "flash", small],
                                        cwd=self.dir, stdin=slave, stdout=subprocess.PIPE,
                                        stderr=slave)
                os.close(slave)
                screen = b""
                try:
                    deadline = time.monotonic() + 60
                    asked = False
                    while time.monotonic() < deadline:
                        ready, _, _ = select.select([master], [], [], 0.5)
                        try:
                            chunk = os.read(master, 4096) if ready else b""
                        except OSError:  # the program closed its side
                            break
                        screen += chunk
                        if not asked and screen.endswith(b"[y/N] "):
                            os.write(master, answer.encode() + b"\n")
                            asked = True
                        if proc.poll() is not None and not ready:
                            break
                    out, _ = proc.communicate(timeout=30)
                finally:
                    os.close(master)
                    if proc.poll() is None:
                        proc.kill()
                        proc.wait()
                self.assertEqual(proc.returncode, rc, screen)
                # The terminal turns each line end into CR LF and echoes the answer.
                text = screen.decode("latin-1").replace("\r\n", "\n")
                question = f"lumrax: Flash erased? Start Bootloader? [y/N] {answer}\n"
                if rc == 2:
                    self.assertEqual(text, question + "lumrax: cancelled: nothing more is sent\n")
                    self.assertEqual(sim.received(), b"cr Sv\r")
                    continue
                self.assertRegex(text, "^" + re.escape(question + "lumrax: Bootloading started!: "
                                 "Do NOT remove power or connection to device!!!\n") +
                                 r"(\r\[[#.]{24}\] \d+ / 21 lines .*\x1b\[K)+"
                                 r"\r\[#{24}\] 21 / 21 lines  100 %  \d+\.\d lines/s  0:00 "
                                 r"left\x1b\[K\nlumrax: Bootloading finished: AVR reports "
                                 r"bootloading is finished!\n$")
                self.assertRegex(out.decode(), r"^flashed: 21 lines in ")

    def test_ports(self):
        run = self.lumrax("ports", "--json")
        self.assert_done(run, "ports")
        result = json.loads(run.out)
        self.assertEqual(result["event"], "result")
        self.assertTrue(all(p.startswith("/dev/tty") or p.startswith("/dev/rfcomm")
                            for p in result["ports"]), result)
        plain = self.lumrax("ports")
        self.assert_done(plain, "ports")
        self.assertEqual(plain.out.decode().split(), result["ports"])


if __name__ == "__main__":
    unittest.main()
