"""End-to-end tests with a device: LUM_RAX_COM.exe under Wine talks to lumrax-sim on COM15.

Run one:  LRX_WIN_BUILD_DIR=... LRX_E2E_SIM=.../lumrax-sim python3 test_device.py \\
              DeviceTest.test_technician_session
Run all:  LRX_WIN_BUILD_DIR=... LRX_E2E_SIM=.../lumrax-sim python3 test_device.py
"""

import datetime
import os
import re
import shutil
import struct
import sys
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402

show = harness.show

ID_COM_START, ID_BAUD, ID_LOG, ID_REG_EDIT, ID_REG_READ = 1036, 1035, 1041, 1038, 1039
ID_PWM, ID_CTL, ID_PWM_READ, ID_FREQ_UP = 1084, 1104, 1085, 1087
ID_LIMITS_READ, ID_VMIN_READ, ID_MEAS_READ, ID_AUTOREAD, ID_THRESH_READ = (1090, 1096, 1094,
                                                                           1095, 1124)
ID_SEARCH_ALWAYS = 1108
STATUS_RIGHT = "#23"  # the right-hand status line, the last control of the communication area
ID_REG_EDIT, ID_REG_READ = 1038, 1039
ID_FILE_OPEN, ID_GO, ID_SWITCH, ID_ERASE = 1064, 1066, 1070, 1071
CHECK_LABEL, PROGRESS = "#18", "#21"
FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures")

STARTUP_READS = b"cr Wo\rcr Sv\rcr Wc\rcr Ww\r"
MEASUREMENT_READS = b"cr Wi\rcr Wt\rcr Wu\rcr Pi\r"

# Read-out boxes, found by the label that stands beside them: (label, offset to the box).
# A measurement box is created just before its label, the other boxes just after theirs.
BOXES = {
    "freq": ("Frequency", 1),
    "duty": ("Duty Cycle", 1),
    "fmax": ("fmax", 1),
    "fmin": ("fmin", 1),
    "vmin": ("Voltage minimum for AutoSearch", 1),
    "vpeak": ("Ant. peak Volt", -1),
    "ipeak": ("Ant. peak Current", -1),
    "vsupply": ("Voltage Supply", -1),
    "iavg": ("Ant. avg Current", -1),
    "pavg": ("Ant. avg Power", -1),
    "temp": ("PCB Temperature", -1),
    "thresh": ("Temperature Threshold - ALARM", 1),
    "hw": ("Hardware Version", 1),
    "fw": ("Firmware Version", 1),
}
MEASUREMENTS = ("vpeak", "ipeak", "vsupply", "iavg", "pavg", "temp")

# What the device prints for each measurement: the box, the pattern of its reply text and
# the display format of the number.
MEASUREMENT_REPLIES = [
    ("vpeak", rb"VOLT: (\S+) Vp", "{:.2f}Vp"),
    ("ipeak", rb"ISNS: (\S+) Ap", "{:.2f}Ap"),
    ("vsupply", rb"VINF: (\S+) V", "{:.2f}V"),
    ("iavg", rb"ADC2, IANT (\S+) A", "{:.3f}A"),
    ("pavg", rb"Power: (\S+) W", "{:.2f}W"),
    ("temp", rb"TMP101 temp: (\S+) C", "{:.1f}\u00b0C"),
]


def single(text):
    """A number as the program holds it after scanning with %f (single precision)."""
    return struct.unpack("<f", struct.pack("<f", float(text)))[0]


def displayed(reply):
    """A reply as the program shows it: LF CR turned into CR LF, STX and ETX into LF."""
    b = bytearray(reply)
    i = 0
    while i < len(b):
        if b[i] == 0x0A and i + 1 < len(b) and b[i + 1] == 0x0D:
            b[i], b[i + 1] = 0x0D, 0x0A
            i += 1
        if b[i] in (0x02, 0x03):
            b[i] = 0x0A
        i += 1
    return bytes(b)



class DeviceTest(harness.SandboxTest):

    # -- reading the window --

    def boxes(self, s):
        """Handles ("#N") of the read-out boxes, checked against their labels."""
        texts = [rec[12] for rec in s.call("list")]
        found = {}
        for name, (label, offset) in BOXES.items():
            self.assertIn(label, texts, "label of a read-out box")
            found[name] = "#" + str(texts.index(label) + offset)
        return found

    def text(self, s, ctrl):
        return s.call("text", ctrl)[0][1]

    def wait_text(self, s, ctrl, check, what, timeout=20):
        """Polls a control's text until check(text) holds; returns that text."""
        last = []

        def ready():
            last[:] = [self.text(s, ctrl)]
            return check(last[0])

        try:
            harness.wait_until(ready, timeout, what)
        except harness.HarnessError as e:
            self.fail(f"{e}; the text is {last[0]!r}\n(run folder {s.dir})")
        return last[0]

    def wait_caption(self, s, ctrl, caption):
        self.wait_text(s, ctrl, lambda t: t == caption, f"caption {caption!r} of control {ctrl}")

    def wait_received(self, sim, data, since=0, timeout=20):
        """Waits for the device to have received exactly data since byte `since`."""
        try:
            harness.wait_until(lambda: len(sim.received()) >= since + len(data), timeout,
                               f"{data!r} on the wire")
        except harness.HarnessError:
            pass
        self.assertEqual(sim.received()[since:], data, "bytes the device received")

    def wait_reply(self, sim, needle, count=1, timeout=20):
        """Waits for the device to have sent `count` complete replies holding needle."""
        try:
            harness.wait_until(lambda: sum(needle in r for r in sim.replies()) >= count, timeout,
                               f"reply {count} with {needle!r}")
        except harness.HarnessError as e:
            self.fail(f"{e}; the device sent:\n{show(sim.sent())}")
        return [r for r in sim.replies() if needle in r][count - 1]

    def wait_console(self, s, needle, count=1, timeout=20):
        try:
            harness.wait_until(lambda: s.console().count(needle) >= count, timeout,
                               f"{needle!r} on the console")
        except harness.HarnessError as e:
            self.fail(f"{e}; it holds:\n{show(s.console())}")


    # -- steps of a session --

    def open_port(self, s, sim, box, opened=1):
        """COM Start; waits until the four state reads are answered and shown."""
        since = len(sim.received())
        replies = len(sim.replies())
        s.call("click", ID_COM_START)
        self.wait_caption(s, ID_COM_START, "COM Stop")
        self.wait_received(sim, STARTUP_READS, since)
        # The last of the four replies has been parsed once its known string is on the console.
        harness.wait_until(lambda: len(sim.replies()) >= replies + 4, 20, "four replies")
        self.wait_console(s, b"known string found: pwm_search_always", opened)
        self.wait_text(s, STATUS_RIGHT, lambda t: t == "Reading: auto search", "status line")
        self.wait_text(s, box["hw"], lambda t: t != "...", "the hardware version")
        return sim.replies()[replies : replies + 4]

    def check_state_captions(self, s, replies):
        """The PWM and CTL captions name what a click will do, as the device reports."""
        (pwm,) = re.findall(rb"PWM_active = (\d)", b"".join(replies))
        (ctl,) = re.findall(rb"pwm_ctl_active = (\d)", b"".join(replies))
        self.assertEqual(self.text(s, ID_PWM), "PWM OFF" if pwm == b"1" else "PWM ON",
                         f"PWM caption after the device reported PWM_active = {pwm.decode()}")
        self.assertEqual(self.text(s, ID_CTL), "CTL OFF" if ctl == b"1" else "CTL ON",
                         f"CTL caption after the device reported pwm_ctl_active = {ctl.decode()}")

    def click_and_send(self, s, sim, ctrl, command, caption=None):
        """Clicks a button that sends one command; waits for the command and its answer."""
        since = len(sim.received())
        replies = len(sim.replies())
        s.call("click", ctrl)
        if caption is not None:
            self.wait_caption(s, ctrl, caption)
        self.wait_received(sim, command, since)
        harness.wait_until(lambda: len(sim.replies()) > replies, 20, f"the answer to {command!r}")
        reply = sim.replies()[replies]
        self.wait_shown(s, sim, reply)
        return reply

    def wait_shown(self, s, sim, reply, timeout=20):
        """Waits for the program to print a reply the device sent (it then has been parsed);
        the next command goes out at a technician's pace, after the answer was shown."""
        text = displayed(reply)
        try:
            harness.wait_until(lambda: s.console().count(text) >= sim.replies().count(reply),
                               timeout, f"the program to show the reply {reply!r}")
        except harness.HarnessError as e:
            self.fail(f"{e}; the console holds:\n{show(s.console())}\n(run folder {s.dir})")

    def wait_measurements(self, s, box, timeout=30):
        """Waits until all six measurement boxes show a value."""
        try:
            harness.wait_until(lambda: all(self.text(s, box[m]) != "-" for m in MEASUREMENTS),
                               timeout, "all six measurement boxes")
        except harness.HarnessError as e:
            self.fail(f"{e}: {[self.text(s, box[m]) for m in MEASUREMENTS]}")

    def expected_measurements(self, sim):
        """The six texts the boxes must show: the device's latest report of each value."""
        expected = {}
        for name, pattern, fmt in MEASUREMENT_REPLIES:
            values = [m.group(1) for r in sim.replies() for m in re.finditer(pattern, r)]
            if values:
                expected[name] = fmt.format(single(values[-1]))
        return expected

    def shown_measurements(self, s, box):
        return {m: self.text(s, box[m]) for m in MEASUREMENTS}

    def wait_quiet(self, s, sim, box, quiet=0.5, timeout=20):
        """Waits until the line has been silent for a while and the boxes show the latest."""
        state = {"n": -1, "since": time.monotonic()}

        def settled():
            n = len(sim.traffic())
            if n != state["n"]:
                state.update(n=n, since=time.monotonic())
                return False
            return (time.monotonic() - state["since"] >= quiet
                    and self.shown_measurements(s, box) == self.expected_measurements(sim))

        try:
            harness.wait_until(settled, timeout, "a silent line")
        except harness.HarnessError as e:
            self.fail(f"{e}: boxes {self.shown_measurements(s, box)}, device "
                      f"{self.expected_measurements(sim)}")

    def answer(self, s, text, answer="IDOK", timeout=10):
        """Answers the next message box, which must say text."""
        records = s.call("answer-box", answer, int(timeout * 1000), timeout=timeout + 30)
        self.assertEqual(records[0][3], text, f"message box {records[0]!r}")

    def switch_firmware(self, s, sim, to):
        since = len(sim.received())
        s.call("click", ID_SWITCH)
        self.answer(s, "Switch between Bootloader / Application?")
        self.wait_received(sim, b"cw Sboot\r", since)
        self.wait_reply(sim, b"starting " + to)

    def read_register(self, s, sim, text):
        since = len(sim.received())
        s.call("set-text", ID_REG_EDIT, text)
        s.call("click", ID_REG_READ)
        self.wait_received(sim, b"cr " + text.encode() + b"\r", since)

    def dumped_flash(self, log):
        """The bytes of the last flash dump in a COM log: every line, in hex."""
        body = log[log.rindex(b"Flash stream (hex):\r\n") :]
        body = body[: body.index(b"\r\n\r\nFlash streaming finished")]
        return bytes.fromhex(" ".join(m.group(1).decode() for m in
                                      re.finditer(rb"\r\n0x[0-9A-F]{5}: ((?:[0-9A-F]{2} )*)", body)))

    # -- tests --

    def test_com_start_reads_state_and_stop_closes_port(self):
        s = self.sandbox()
        sim = s.simulator()
        s.start().wait_ready()
        box = self.boxes(s)
        self.assertEqual(sim.holders(), [], "nobody has the port open before COM Start")
        # Captions nobody would set: only the device's replies can put the real ones back.
        s.call("set-text", ID_PWM, "?")
        s.call("set-text", ID_CTL, "?")

        replies = self.open_port(s, sim, box)
        self.assertEqual(sim.received(), STARTUP_READS, "the first bytes the device received")
        self.assertNotEqual(sim.holders(), [], "the open port holds the device's line")
        self.check_state_captions(s, replies)

        (ident,) = [r for r in replies if b"HW Rev" in r]
        text = displayed(ident)
        hw = text[text.index(b"Lum_Rax, HW Rev") : text.index(b"MHz") + 3]
        self.assertTrue(hw.endswith(b"16MHz"), f"the device's identification: {hw!r}")
        self.assertEqual(self.text(s, box["hw"]).encode("latin-1"), hw, "Hardware Version")
        self.assertEqual(self.text(s, box["fw"]).encode("latin-1"),
                         text[text.index(b"Lum_Rax_") :], "Firmware Version")
        self.assert_console_in_order(s, [
            b"Opening COM15\n", b"Com port open (handle ", b")\nCOM 15, 38400 bps\n",
            b"cr Wo\r\n", b"cr Sv\r\n", b"firmware info:\n" + text[text.index(b"Lum_Rax_") :]
            + b"\n", b"uCisBootloader = 0\nhardware info:\n" + hw + b"\n\n", b"cr Wc\r\n",
            b"cr Ww\r\n"])

        # The program's idea of the device's state, then a device that has forgotten it.
        self.click_and_send(s, sim, ID_PWM, b"cw Wo0\r", "PWM ON")
        self.click_and_send(s, sim, ID_CTL, b"cw Wc1\r", "CTL OFF")
        s.call("click", ID_COM_START)
        self.wait_caption(s, ID_COM_START, "COM Start")
        self.wait_console(s, b"Closing com port\n")
        harness.wait_until(lambda: sim.holders() == [], 20, "the port to be closed")
        closed_at = len(sim.received())
        sim.power_cycle()
        self.assertEqual((self.text(s, ID_PWM), self.text(s, ID_CTL)), ("PWM ON", "CTL OFF"),
                         "captions while the port is closed")

        # Opening again reads the state afresh and the captions follow the device.
        replies = self.open_port(s, sim, box, opened=2)
        self.assertEqual(sim.received()[closed_at:], STARTUP_READS,
                         "bytes after the second COM Start")
        self.check_state_captions(s, replies)
        self.assertEqual((self.text(s, ID_PWM), self.text(s, ID_CTL)), ("PWM OFF", "CTL ON"),
                         "captions after the device's power cycle")

        s.call("click", ID_COM_START)
        self.wait_caption(s, ID_COM_START, "COM Start")
        harness.wait_until(lambda: sim.holders() == [], 20, "the port to be closed again")
        s.call("close")
        self.assertEqual(s.wait_exit(), 0, "exit code of the program")
        self.assertEqual(s.console().count(b"Closing com port\n"), 2,
                         "a port closed by COM Stop is not closed again at exit")

    def test_technician_session(self):
        s = self.sandbox()
        sim = s.simulator()
        s.start().wait_ready()
        box = self.boxes(s)
        self.open_port(s, sim, box)
        logged_from = len(sim.replies())

        s.call("click", ID_LOG)
        self.wait_caption(s, ID_LOG, "log STOP")
        self.wait_console(s, b"pCOMLogFile = 0x")
        folder = os.path.join(s.work, "COMlog")
        (name,) = os.listdir(folder)
        self.assert_console_in_order(s, [
            b"Starting COM log file creation... \nCreated log file: "
            + (s.windows_path(folder) + "\\" + name).encode() + b"\npCOMLogFile = 0x"])

        # PWM off and on again.
        self.assertEqual(self.text(s, ID_PWM), "PWM OFF")
        ack = self.click_and_send(s, sim, ID_PWM, b"cw Wo0\r", "PWM ON")
        self.assertIn(b"output off", ack)
        ack = self.click_and_send(s, sim, ID_PWM, b"cw Wo1\r", "PWM OFF")
        self.assertIn(b"output on", ack)

        # One frequency step up, read before and after.
        def read_settings(previous):
            reply = self.click_and_send(s, sim, ID_PWM_READ, b"cr Wf\r")
            freq, duty = re.search(rb"frequency (\S+) kHz .* duty (\S+) %", reply).groups()
            shown = self.wait_text(s, box["freq"], lambda t: t != previous, "the frequency box")
            self.assertEqual(shown, f"{single(freq):.2f}kHz", f"frequency box after {reply!r}")
            self.assertEqual(self.text(s, box["duty"]), f"{single(duty):.1f}%", "duty box")
            return float(freq), shown

        before, shown_before = read_settings("-")
        ack = self.click_and_send(s, sim, ID_FREQ_UP, b"cw Wf+\r")
        self.assertIn(b"step done", ack)
        after, shown_after = read_settings(shown_before)
        self.assertGreater(after, before, "f++ raises the device's frequency")
        self.assertGreater(float(shown_after[:-3]), float(shown_before[:-3]), "frequency box")
        self.assert_console_in_order(s, [
            b"cw Wo0\r\n", b"cw Wo1\r\n", b"cr Wf\r\nPWM settings read!\n",
            b"cw Wf+\r\nPWM setting done!\n", b"cr Wf\r\nPWM settings read!\n"])

        # AutoRead until every measurement has been read once.
        self.assertEqual([self.text(s, box[m]) for m in MEASUREMENTS], ["-"] * 6)
        sent_before = len(sim.received())
        s.call("click", ID_AUTOREAD)
        self.wait_caption(s, ID_AUTOREAD, "AutoRead OFF")
        self.wait_measurements(s, box)
        s.call("click", ID_AUTOREAD)
        self.wait_caption(s, ID_AUTOREAD, "AutoRead ON")
        self.wait_quiet(s, sim, box)
        # The idle cycle went on while AutoRead was off, so the reads may begin with any of
        # the four; they follow each other in their fixed order.
        reads = sim.received()[sent_before:]
        self.assertGreaterEqual(len(reads), len(MEASUREMENT_READS))
        self.assertEqual(len(reads) % 6, 0, f"whole commands: {reads!r}")
        self.assertIn(reads, MEASUREMENT_READS * (len(reads) // 6 + 2),
                      "AutoRead reads the four measurements in turn")
        self.assertEqual(self.shown_measurements(s, box), self.expected_measurements(sim),
                         "measurement boxes and the device's latest values")
        temp = self.text(s, box["temp"]).encode("cp1252")
        self.assertIn(b"temperature: " + temp + b"\n", s.console(), "degree sign on the console")

        s.call("click", ID_LOG)
        self.wait_caption(s, ID_LOG, "LOG Start")
        s.call("close")
        self.assertEqual(s.wait_exit(), 0, "exit code of the program")

        with open(os.path.join(folder, name), "rb") as f:
            log = f.read()
        m = re.fullmatch(r"COM_log_(\d{4})-(\d\d)-(\d\d)_(\d\d)h(\d\d)m(\d\d)\.txt", name)
        self.assertIsNotNone(m, f"log file name {name!r}")
        year, month, day, hour, minute, second = m.groups()
        header = (f"COM Port log file\nStarted: {hour}:{minute}:{second}, {day}.{month}.{year}\n"
                  .encode())
        self.assertEqual(log[: len(header)], header, "log file header")
        started = datetime.datetime(*map(int, m.groups()))
        self.assertLess(abs((datetime.datetime.now() - started).total_seconds()), 600,
                        "the log's time stamp is the local time")
        # Every reply since LOG Start, byte for byte as the device sent it, and nothing else.
        expected = sim.replies()[logged_from:]
        self.assertIn(b"output off", expected[0])
        # Two PWM acks, two settings reads, the step ack, at least four measurement replies.
        self.assertGreaterEqual(len(expected), 5 + 4)
        self.assertEqual(show(log[len(header) :]), show(b"".join(expected)),
                         "log body: the replies as received")

    def test_session_screenshot(self):
        s = self.sandbox()
        sim = s.simulator()
        s.start().wait_ready()
        box = self.boxes(s)
        self.open_port(s, sim, box)

        reply = self.click_and_send(s, sim, ID_PWM_READ, b"cr Wf\r")
        self.wait_text(s, box["freq"], lambda t: t != "-", "the frequency box")
        reply = self.click_and_send(s, sim, ID_LIMITS_READ, b"cr Wl\r")
        fmax, fmin = re.search(rb"fmax: (\S+) kHz\n\rfmin: (\S+) kHz", reply).groups()
        self.wait_text(s, box["fmin"], lambda t: t == f"{single(fmin):.2f}kHz", "fmin box")
        self.assertEqual(self.text(s, box["fmax"]), f"{single(fmax):.2f}kHz", "fmax box")
        reply = self.click_and_send(s, sim, ID_VMIN_READ, b"cr Wk\r")
        (vmin,) = re.search(rb"pwm_search_Vmin: (\S+) V", reply).groups()
        self.wait_text(s, box["vmin"], lambda t: t == f"{single(vmin):.2f} V", "Vmin box")
        reply = self.click_and_send(s, sim, ID_THRESH_READ, b"cr Pt\r")
        (limit,) = re.search(rb"threshold (\S+) C", reply).groups()
        self.wait_text(s, box["thresh"], lambda t: t == f"{single(limit):.0f} \u00b0C",
                       "temperature threshold box")

        # AutoRead on, and one measurement cycle at once.
        sent_before = len(sim.received())
        s.call("click", ID_AUTOREAD)
        self.wait_caption(s, ID_AUTOREAD, "AutoRead OFF")
        s.call("click", ID_MEAS_READ)
        self.wait_measurements(s, box, timeout=20)
        self.assertEqual(sim.received()[sent_before:][: len(MEASUREMENT_READS)],
                         MEASUREMENT_READS, "the measurement Read runs one cycle at once")
        empty = {name: t for name, t in ((n, self.text(s, c)) for n, c in box.items())
                 if t in ("-", "...", "")}
        self.assertEqual(empty, {}, "read-out boxes still without a value")

        shot = os.path.join(s.dir, "session.png")
        s.screenshot(shot)
        target = os.environ.get("LRX_E2E_SESSION_SCREENSHOT")
        if target:
            os.makedirs(os.path.dirname(os.path.abspath(target)), exist_ok=True)
            shutil.copyfile(shot, target)
        self.assertGreater(os.path.getsize(shot), 0)
        s.call("close")
        self.assertEqual(s.wait_exit(), 0, "exit code of the program")

    def test_firmware_update(self):
        s = self.sandbox()
        # The fastest rate: each line is answered well within the tick that follows it.
        sim = s.simulator("--baud", "115200")
        shutil.copy(os.path.join(FIXTURES, "atmega328p_app.hex"), s.work)
        s.start().wait_ready()
        box = self.boxes(s)
        s.call("select", ID_BAUD, 8)
        self.wait_console(s, b"Selected baud rate: 115200 bps")
        self.open_port(s, sim, box)
        s.call("click", ID_LOG)
        self.wait_caption(s, ID_LOG, "log STOP")

        self.switch_firmware(s, sim, b"bootloader")
        self.read_register(s, sim, "Sv")
        self.wait_console(s, b"uCisBootloader = 1\n")
        since = len(sim.received())
        s.call("click", ID_ERASE)
        self.answer(s, "Erase Lum_Rax Flash?")
        self.wait_received(sim, b"cw Fe\r", since)
        self.wait_reply(sim, b"flash erased")

        s.call("click", ID_FILE_OPEN)
        s.call("open-file", s.windows_path(os.path.join(s.work, "atmega328p_app.hex")))
        self.wait_console(s, b"\nHex File Check: Okay!\nNumber of lines - app: 1269\n")
        self.assertEqual(self.text(s, CHECK_LABEL), "Check: OK")
        self.assertEqual(self.text(s, PROGRESS), "lines: 0 / 1269")
        bin_dir = os.path.join(s.work, "LUMRAXbin")
        with open(os.path.join(bin_dir, "atmega328p_app.avr"), "rb") as f:
            avr = f.read()

        s.call("click", ID_GO)
        self.answer(s, "Flash erased?\nStart Bootloader?")
        self.answer(s, "Do NOT remove power or connection to device!!!")
        self.answer(s, "AVR reports bootloading is finished!", timeout=120)
        self.assertEqual(self.text(s, PROGRESS), "lines: 1269 / 1269")

        # Back in the application, the device streams its flash: the image is there.
        self.switch_firmware(s, sim, b"application")
        self.read_register(s, sim, "Mr")
        self.wait_console(s, b"Flash streaming finished\r\nRead 32768 / 0x8000 bytes from device",
                          timeout=60)
        s.call("click", ID_LOG)
        self.wait_caption(s, ID_LOG, "LOG Start")
        s.call("close")
        self.assertEqual(s.wait_exit(), 0, "exit code of the program")

        (name,) = os.listdir(os.path.join(s.work, "COMlog"))
        with open(os.path.join(s.work, "COMlog", name), "rb") as f:
            log = f.read()
        flash = self.dumped_flash(log)
        self.assertEqual(len(flash), 32768)
        self.assertEqual(flash[: len(avr)], avr, "the device's flash holds the image")
        self.assertEqual(flash[len(avr) : 0x7000], b"\xff" * (0x7000 - len(avr)),
                         "erased flash behind the image")
        for chunk in (b"cw Sboot\r\n", b"cw Fe\r\n", b"Bootloader - AVR replies line 1 written\n",
                      b"Bootloader, uC reports writing flash finished, wrote 1269 of 1269 lines\n",
                      b"Read 32768 / 0x08000 bytes from device\r\n"):
            self.assertIn(chunk, log)


    def test_startup_reads_at_low_rates(self):
        # Below 14400 bps a reply outlasts the 150 ms between the start-up reads; each read
        # must wait for the reply before it, or the replies run into one.
        s = self.sandbox()
        s.start().wait_ready()
        for rate, index in ((9600, 3), (1200, 0)):
            with self.subTest(rate=rate):
                sim = s.simulator("--baud", str(rate))
                box = self.boxes(s)
                s.call("select", ID_BAUD, index)
                self.wait_console(s, f"Selected baud rate: {rate} bps".encode())
                # Captions nobody would set: only the device's replies can put them back.
                for ctrl in (ID_PWM, ID_CTL, ID_SEARCH_ALWAYS):
                    s.call("set-text", ctrl, "?")
                s.call("set-text", box["hw"], "...")
                replies = self.open_port(s, sim, box, opened=1 if rate == 9600 else 2)
                self.assertEqual(sim.received(), STARTUP_READS, "the bytes the device received")
                self.check_state_captions(s, replies)
                (always,) = re.findall(rb"pwm_search_always = (\w+)", b"".join(replies))
                self.assertEqual(self.text(s, ID_SEARCH_ALWAYS),
                                 "AS alw. OFF" if always == b"A5" else "AS alw. ON",
                                 f"AS caption after pwm_search_always = {always.decode()}")
                self.assertTrue(self.text(s, box["hw"]).endswith("16MHz"), "Hardware Version")
                s.call("click", ID_COM_START)
                self.wait_caption(s, ID_COM_START, "COM Start")
                harness.wait_until(lambda: sim.holders() == [], 20, "the port to be closed")
                sim.stop()
        s.call("close")
        self.assertEqual(s.wait_exit(), 0, "exit code of the program")

    def test_flash_read_back_during_autoread(self):
        s = self.sandbox()
        sim = s.simulator()
        s.start().wait_ready()
        box = self.boxes(s)
        self.open_port(s, sim, box)
        s.call("click", ID_AUTOREAD)
        self.wait_caption(s, ID_AUTOREAD, "AutoRead OFF")
        self.wait_measurements(s, box)
        s.call("set-text", ID_REG_EDIT, "Mr")
        s.call("click", ID_REG_READ)
        self.wait_console(s, b"\r\nRead 32768 / 0x8000 bytes from device\r\n", timeout=60)
        # From the read-back's command to the stream's last byte, the device heard nothing.
        traffic = sim.traffic()
        start = next(i for i, (_, way, data) in enumerate(traffic)
                     if way == "PC>dev" and b"cr Mr\r" in data)
        streamed, end = 0, start + 1
        while streamed < 32768:
            _, way, data = traffic[end]
            self.assertEqual(way, "dev>PC", f"the program sent {data!r} into the stream")
            streamed += len(data)
            end += 1
        self.assertEqual(streamed, 32768, "the device streamed exactly its flash")
        self.wait_console(s, b"Flash streaming finished\r\nRead 32768 / 0x8000 bytes from device\r\n",
                          timeout=120)
        # AutoRead goes on after the dump.
        sent = len(sim.received())
        harness.wait_until(lambda: len(sim.received()) > sent, 20, "AutoRead to go on")
        s.call("click", ID_AUTOREAD)
        s.call("close")
        self.assertEqual(s.wait_exit(), 0, "exit code of the program")

    def test_enter_in_reg_field_and_alt_question(self):
        s = self.sandbox()
        sim = s.simulator()
        s.start().wait_ready()
        box = self.boxes(s)
        self.open_port(s, sim, box)

        # Typed and ended with Enter, as a technician does: the polled read of the line.
        s.click_control(ID_REG_EDIT)
        harness.wait_until(lambda: s.call("focus")[0][3] == str(ID_REG_EDIT), 10,
                           "the Reg: field to have the focus")
        since = len(sim.received())
        shown = s.console().count(b"known string found: PWM_active")
        s.xdotool("type", "--delay", "50", "Wo")
        s.xdotool("key", "Return")
        self.wait_received(sim, b"cr Wo\r\r", since)
        self.wait_console(s, b"known string found: PWM_active", shown + 1)
        self.assertEqual(self.text(s, ID_REG_EDIT), "", "the field after the read")

        # Alt+? with the focus still in the field: the About box.
        s.xdotool("key", "alt+question")
        (about,) = s.call("wait-box", 10000)
        self.assertEqual((about[2], about[4]), ("Help", "1:OK"), "About box")
        self.assertIn(" - internal use only! -", about[3])
        s.call("answer-box", "IDOK", 10000)
        self.wait_console(s, b"IDM_ABOUT\n")
        s.call("close")
        self.assertEqual(s.wait_exit(), 0, "exit code of the program")


if __name__ == "__main__":
    unittest.main()
