"""End-to-end tests with a device: LUM_RAX_COM.exe under Wine talks to lumrax-sim on COM15.

Run one:  LRX_WIN_BUILD_DIR=... LRX_E2E_SIM=.../lumrax-sim python3 test_device.py \\
              DeviceTest.test_technician_session
"""

import datetime
import os
import re
import shutil
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402

show = harness.show
wait_until = harness.wait_until

ID_COM_START, ID_BAUD, ID_LOG, ID_REG_EDIT, ID_REG_READ = 1036, 1035, 1041, 1038, 1039
ID_PWM, ID_CTL, ID_PWM_READ, ID_FREQ_UP, ID_SEARCH_ALWAYS = 1084, 1104, 1085, 1087, 1108
ID_LIMITS_READ, ID_VMIN_READ, ID_MEAS_READ, ID_AUTOREAD, ID_THRESH_READ = (1090, 1096, 1094,
                                                                           1095, 1124)
ID_FILE_OPEN, ID_GO, ID_SWITCH, ID_ERASE = 1064, 1066, 1070, 1071
# Controls without an id of their own, by their place among the page's children.
CHECK_LABEL, PROGRESS, STATUS_RIGHT = "#18", "#21", "#23"
FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures")

STARTUP_READS = b"cr Wo\rcr Sv\rcr Wc\rcr Ww\r"
MEASUREMENT_READS = b"cr Wi\rcr Wt\rcr Wu\rcr Pi\r"

# Read-out boxes, found by the label that stands beside them (a measurement box is created
# just before its label, the other boxes just after theirs), what the device prints for
# each, and the program's display format.
BOXES = {
    "freq": ("Frequency", 1, rb"frequency (\S+) kHz", "{:.2f}kHz"),
    "duty": ("Duty Cycle", 1, rb"duty (\S+) %", "{:.1f}%"),
    "fmax": ("fmax", 1, rb"fmax: (\S+) kHz", "{:.2f}kHz"),
    "fmin": ("fmin", 1, rb"fmin: (\S+) kHz", "{:.2f}kHz"),
    "vmin": ("Voltage minimum for AutoSearch", 1, rb"pwm_search_Vmin: (\S+) V", "{:.2f} V"),
    "vpeak": ("Ant. peak Volt", -1, rb"VOLT: (\S+) Vp", "{:.2f}Vp"),
    "ipeak": ("Ant. peak Current", -1, rb"ISNS: (\S+) Ap", "{:.2f}Ap"),
    "vsupply": ("Voltage Supply", -1, rb"VINF: (\S+) V", "{:.2f}V"),
    "iavg": ("Ant. avg Current", -1, rb"ADC2, IANT (\S+) A", "{:.3f}A"),
    "pavg": ("Ant. avg Power", -1, rb"Power: (\S+) W", "{:.2f}W"),
    "temp": ("PCB Temperature", -1, rb"TMP101 temp: (\S+) C", "{:.1f}\u00b0C"),
    "thresh": ("Temperature Threshold - ALARM", 1, rb"threshold (\S+) C", "{:.0f} \u00b0C"),
    "hw": ("Hardware Version", 1, None, None),
    "fw": ("Firmware Version", 1, None, None),
}
MEASUREMENTS = ("vpeak", "ipeak", "vsupply", "iavg", "pavg", "temp")


def single(text):
    """A number as the program holds it after scanning with %f (single precision)."""
    return struct.unpack("<f", struct.pack("<f", float(text)))[0]


def displayed(reply):
    """A reply as the program shows it: LF CR turned into CR LF, STX and ETX into LF."""
    return re.sub(rb"[\x02\x03]", b"\n", reply.replace(b"\n\r", b"\r\n"))


class DeviceTest(harness.SandboxTest):

    def boxes(self, s):
        """Handles ("#N") of the read-out boxes, checked against their labels."""
        texts = [rec[10] for rec in s.call("list")]
        return {name: "#" + str(texts.index(label) + offset)
                for name, (label, offset, _, _) in BOXES.items()}

    def expected(self, sim, names):
        """The texts the boxes must show: the device's latest report of each value."""
        out = {}
        for name in names:
            values = re.findall(BOXES[name][2], b"".join(sim.replies()))
            out[name] = BOXES[name][3].format(single(values[-1])) if values else "-"
        return out

    def wait_received(self, sim, data, since):
        """Waits for the device to have received exactly data since byte `since`."""
        wait_until(lambda: len(sim.received()) >= since + len(data), 20, f"{data!r} on the wire",
                   lambda: f"; it got {sim.received()[since:]!r}")
        self.assertEqual(sim.received()[since:], data, "bytes the device received")

    def wait_shown(self, s, sim, reply):
        """Waits for the program to print a reply the device sent (it then has been parsed)."""
        wait_until(lambda: s.console().count(displayed(reply)) >= sim.replies().count(reply),
                   20, f"the program to show the reply {reply!r}",
                   lambda: f"; the console holds:\n{show(s.console())}")

    def click_and_send(self, s, sim, ctrl, command):
        """Clicks a button that sends one command; waits for it, its answer and its display,
        as a technician does before the next click."""
        since, replies = len(sim.received()), len(sim.replies())
        s.call("click", ctrl)
        self.wait_received(sim, command, since)
        wait_until(lambda: len(sim.replies()) > replies, 20, f"the answer to {command!r}")
        reply = sim.replies()[replies]
        self.wait_shown(s, sim, reply)
        return reply

    def open_port(self, s, sim):
        """COM Start; waits until the four state reads are answered and shown."""
        since, replies = len(sim.received()), len(sim.replies())
        s.call("click", ID_COM_START)
        self.wait_received(sim, STARTUP_READS, since)
        wait_until(lambda: len(sim.replies()) >= replies + 4, 20, "four replies")
        for reply in sim.replies()[replies:]:
            self.wait_shown(s, sim, reply)
        self.assertEqual(s.text(ID_COM_START), "COM Stop")
        wait_until(lambda: s.text(STATUS_RIGHT) == "Reading: auto search", 10, "the status line")
        return sim.replies()[replies:]

    def test_technician_session(self):
        s = self.sandbox()
        sim = s.simulator()
        s.start().wait_ready()
        box = self.boxes(s)
        self.assertEqual(sim.holders(), [], "nobody has the port open before COM Start")
        # Captions nobody would set: only the device's replies can put the real ones back.
        for ctrl in (ID_PWM, ID_CTL, ID_SEARCH_ALWAYS):
            s.call("set-text", ctrl, "?")
        replies = self.open_port(s, sim)
        self.assertEqual(sim.received(), STARTUP_READS, "the first bytes the device received")
        self.assertNotEqual(sim.holders(), [], "the open port holds the device's line")
        state = b"".join(replies)
        for ctrl, pattern, on, off in ((ID_PWM, rb"PWM_active = (\d)", "PWM OFF", "PWM ON"),
                                       (ID_CTL, rb"pwm_ctl_active = (\d)", "CTL OFF", "CTL ON"),
                                       (ID_SEARCH_ALWAYS, rb"pwm_search_always = (\w+)",
                                        "AS alw. OFF", "AS alw. ON")):
            (value,) = re.findall(pattern, state)
            self.assertEqual(s.text(ctrl), on if value in (b"1", b"A5") else off, value)
        (ident,) = [displayed(r) for r in replies if b"HW Rev" in r]
        hw = ident[ident.index(b"Lum_Rax, HW Rev"): ident.index(b"MHz") + 3]
        fw = ident[ident.index(b"Lum_Rax_"):]
        self.assertEqual(s.text(box["hw"]).encode("latin-1"), hw, "Hardware Version")
        self.assertEqual(s.text(box["fw"]).encode("latin-1"), fw, "Firmware Version")
        self.assert_console_in_order(s, [
            b"Opening COM15\n", b"Com port open (handle ", b")\nCOM 15, 38400 bps\n",
            b"cr Wo\r\n", b"cr Sv\r\n", b"firmware info:\n" + fw + b"\n",
            b"uCisBootloader = 0\nhardware info:\n" + hw + b"\n\n", b"cr Wc\r\n", b"cr Ww\r\n"])

        s.call("click", ID_LOG)
        s.wait_console(b"pCOMLogFile = 0x")
        folder = os.path.join(s.work, "COMlog")
        (name,) = os.listdir(folder)
        self.assertEqual(s.text(ID_LOG), "log STOP")
        self.assert_console_in_order(s, [
            b"Starting COM log file creation... \nCreated log file: "
            + (s.windows_path(folder) + "\\" + name).encode() + b"\npCOMLogFile = 0x"])
        logged_from = len(sim.replies())

        # PWM off and on again; one frequency step up, read before and after; the limits,
        # the minimum voltage and the temperature threshold read.
        self.assertIn(b"output off", self.click_and_send(s, sim, ID_PWM, b"cw Wo0\r"))
        self.assertEqual(s.text(ID_PWM), "PWM ON")
        self.assertIn(b"output on", self.click_and_send(s, sim, ID_PWM, b"cw Wo1\r"))
        self.assertEqual(s.text(ID_PWM), "PWM OFF")
        frequencies = []
        for ctrl, command in ((ID_PWM_READ, b"cr Wf\r"), (ID_FREQ_UP, b"cw Wf+\r"),
                              (ID_PWM_READ, b"cr Wf\r"), (ID_LIMITS_READ, b"cr Wl\r"),
                              (ID_VMIN_READ, b"cr Wk\r"), (ID_THRESH_READ, b"cr Pt\r")):
            self.click_and_send(s, sim, ctrl, command)
            frequencies.append(s.text(box["freq"]))
            names = ("freq", "duty", "fmax", "fmin", "vmin", "thresh")
            self.assertEqual({n: s.text(box[n]) for n in names}, self.expected(sim, names))
        self.assertGreater(float(frequencies[2][:-3]), float(frequencies[0][:-3]), "f++")
        self.assert_console_in_order(s, [
            b"cw Wo0\r\n", b"cw Wo1\r\n", b"cr Wf\r\nPWM settings read!\n",
            b"cw Wf+\r\nPWM setting done!\n", b"cr Wf\r\nPWM settings read!\n"])

        # AutoRead until every measurement has been read once, then off; the measurement
        # Read runs one cycle at once. Each time the line falls silent with the boxes
        # showing the device's latest values.
        self.assertEqual([s.text(box[m]) for m in MEASUREMENTS], ["-"] * 6)
        sent_before = len(sim.received())
        s.call("click", ID_AUTOREAD)
        wait_until(lambda: "-" not in [s.text(box[m]) for m in MEASUREMENTS], 30,
                   "all six measurement boxes")
        self.assertEqual(s.text(ID_AUTOREAD), "AutoRead OFF")
        s.call("click", ID_AUTOREAD)
        state = {}

        def settled():
            n = len(sim.traffic())
            if n != state.get("n"):
                state.update(n=n, since=time.monotonic())
            return (time.monotonic() - state["since"] >= 0.5 and {m: s.text(box[m]) for m in
                    MEASUREMENTS} == self.expected(sim, MEASUREMENTS))

        wait_until(settled, 20, "a silent line and the latest values shown")
        self.assertEqual(s.text(ID_AUTOREAD), "AutoRead ON")
        # The idle cycle went on while AutoRead was off, so the reads may begin with any of
        # the four; they follow each other in their fixed order.
        reads = sim.received()[sent_before:]
        self.assertEqual(len(reads) % 6, 0, f"whole commands: {reads!r}")
        self.assertIn(reads, MEASUREMENT_READS * (len(reads) // 6 + 2), "reads in turn")
        since = len(sim.received())
        s.call("click", ID_MEAS_READ)
        self.wait_received(sim, MEASUREMENT_READS, since)
        state.clear()
        wait_until(settled, 20, "a silent line and the latest values shown")
        temp = s.text(box["temp"]).encode("cp1252")
        self.assertIn(b"temperature: " + temp + b"\n", s.console(), "degree sign on the console")
        self.assertEqual([n for n in BOXES if s.text(box[n]) in ("-", "...", "")], [],
                         "read-out boxes still without a value")
        s.screenshot(os.path.join(s.dir, "session.png"), "LRX_E2E_SESSION_SCREENSHOT")

        # Typed and ended with Enter, as a technician does: the polled read of the line.
        s.click_control(ID_REG_EDIT)
        wait_until(lambda: s.call("focus")[0][1] == str(ID_REG_EDIT), 10, "the field's focus")
        since, shown = len(sim.received()), s.console().count(b"known string found: PWM_active")
        s.xdotool("type", "--delay", "50", "Wo")
        s.xdotool("key", "Return")
        self.wait_received(sim, b"cr Wo\r\r", since)
        s.wait_console(b"known string found: PWM_active", count=shown + 1)
        self.assertEqual(s.text(ID_REG_EDIT), "", "the field after the read")
        # Alt+? with the focus still in the field: the About box.
        s.xdotool("key", "alt+question")
        caption, text, buttons = s.box()
        self.assertEqual((caption, buttons), ("Help", "1:OK"), "About box")
        self.assertIn(" - internal use only! -", text)

        s.call("click", ID_LOG)
        s.call("click", ID_COM_START)
        wait_until(lambda: sim.holders() == [], 20, "the port to be closed")
        self.assertEqual(s.leave(), 0, "exit code of the program")
        self.assertEqual(s.console().count(b"Closing com port\n"), 1,
                         "a port closed by COM Stop is not closed again at exit")

        with open(os.path.join(folder, name), "rb") as f:
            log = f.read()
        m = re.fullmatch(r"COM_log_(\d{4})-(\d\d)-(\d\d)_(\d\d)h(\d\d)m(\d\d)\.txt", name)
        self.assertIsNotNone(m, f"log file name {name!r}")
        year, month, day, hour, minute, second = m.groups()
        header = f"COM Port log file\nStarted: {hour}:{minute}:{second}, {day}.{month}.{year}\n"
        started = datetime.datetime(*map(int, m.groups()))
        self.assertLess(abs((datetime.datetime.now() - started).total_seconds()), 600,
                        "the log's time stamp is the local time")
        # The header, then every reply since LOG Start, byte for byte as the device sent it,
        # and the register reads that the console sent, each with a line feed.
        body = re.sub(rb"cr Wo\r\r\n", b"", log[len(header):])
        self.assertEqual(log[: len(header)], header.encode(), "log file header")
        self.assertEqual(show(body), show(b"".join(sim.replies()[logged_from:])), "log body")

    def test_firmware_update(self):
        s = self.sandbox()
        # The fastest rate: each line is answered well within the tick that follows it.
        sim = s.simulator("--baud", "115200")
        shutil.copy(os.path.join(FIXTURES, "atmega328p_app.hex"), s.work)
        s.start().wait_ready()
        s.call("select", ID_BAUD, 8)
        s.wait_console(b"Selected baud rate: 115200 bps")
        self.open_port(s, sim)
        s.call("click", ID_LOG)

        def switch(to):
            since = len(sim.received())
            s.call("click", ID_SWITCH)
            self.assertEqual(s.box()[1], "Switch between Bootloader / Application?")
            self.wait_received(sim, b"cw Sboot\r", since)
            wait_until(lambda: any(b"starting " + to in r for r in sim.replies()[-2:]), 20, to)
            since = len(sim.received())
            s.call("set-text", ID_REG_EDIT, "Sv")
            s.call("click", ID_REG_READ)
            self.wait_received(sim, b"cr Sv\r", since)

        switch(b"bootloader")
        s.wait_console(b"uCisBootloader = 1\n")
        since = len(sim.received())
        s.call("click", ID_ERASE)
        self.assertEqual(s.box()[1], "Erase Lum_Rax Flash?")
        self.wait_received(sim, b"cw Fe\r", since)
        wait_until(lambda: b"flash erased" in sim.sent(), 20, "the erase")

        s.call("click", ID_FILE_OPEN)
        s.call("open-file", s.windows_path(os.path.join(s.work, "atmega328p_app.hex")), 20000)
        s.wait_console(b"\nHex File Check: Okay!\nNumber of lines - app: 1269\n")
        self.assertEqual(s.text(CHECK_LABEL), "Check: OK")
        self.assertEqual(s.text(PROGRESS), "lines: 0 / 1269")
        with open(os.path.join(s.work, "LUMRAXbin", "atmega328p_app.avr"), "rb") as f:
            avr = f.read()

        s.call("click", ID_GO)
        self.assertEqual(s.box()[1], "Flash erased?\nStart Bootloader?")
        self.assertEqual(s.box()[1], "Do NOT remove power or connection to device!!!")
        self.assertEqual(s.box(timeout=120)[1], "AVR reports bootloading is finished!")
        self.assertEqual(s.text(PROGRESS), "lines: 1269 / 1269")

        # Back in the application, the device streams its flash: the image is there.
        switch(b"application")
        s.call("set-text", ID_REG_EDIT, "Mr")
        s.call("click", ID_REG_READ)
        s.wait_console(b"Flash streaming finished\r\nRead 32768 / 0x8000 bytes from device",
                       timeout=60)
        s.call("click", ID_LOG)
        self.assertEqual(s.leave(), 0, "exit code of the program")

        (name,) = os.listdir(os.path.join(s.work, "COMlog"))
        with open(os.path.join(s.work, "COMlog", name), "rb") as f:
            log = f.read()
        body = log[log.rindex(b"Flash stream (hex):\r\n"):]
        body = body[: body.index(b"\r\n\r\nFlash streaming finished")]
        flash = bytes.fromhex(" ".join(m.group(1).decode() for m in re.finditer(
            rb"\r\n0x[0-9A-F]{5}: ((?:[0-9A-F]{2} )*)", body)))
        self.assertEqual(len(flash), 32768)
        self.assertEqual(flash[: len(avr)], avr, "the device's flash holds the image")
        self.assertEqual(flash[len(avr): 0x7000], b"\xff" * (0x7000 - len(avr)),
                         "erased flash behind the image")
        for chunk in (b"cw Sboot\r\n", b"cw Fe\r\n", b"Bootloader - AVR replies line 1 written\n",
                      b"Bootloader, uC reports writing flash finished, wrote 1269 of 1269 lines\n",
                      b"Read 32768 / 0x08000 bytes from device\r\n"):
            self.assertIn(chunk, log)


if __name__ == "__main__":
    unittest.main()
