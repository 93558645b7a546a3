"""End to end with a device: LUM_RAX_COM.exe and lumrax.exe under Wine talk to lumrax-sim on
COM15, which may fail them. Run one:  LRX_WIN_BUILD_DIR=... LRX_E2E_SIM=.../lumrax-sim \\
    python3 test_device.py DeviceTest.test_technician_session
"""

import datetime
import os
import re
import shutil
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from test_shell import BANNER, PAGE  # noqa: E402

show, wait_until = harness.show, harness.wait_until

ID_COM_START, ID_BAUD, ID_LOG, ID_REG_EDIT, ID_REG_READ = 1036, 1035, 1041, 1038, 1039
ID_PWM, ID_CTL, ID_PWM_READ, ID_FREQ_UP, ID_SEARCH_ALWAYS = 1084, 1104, 1085, 1087, 1108
ID_AUTOREAD, ID_FILE_OPEN, ID_GO, ID_SWITCH, ID_ERASE = 1095, 1064, 1066, 1070, 1071
ID_FILE_CHECK = 1065
WM_COMMAND, IDM_RECONNECT = 0x0111, 109


def child(label, offset):
    """A control without an id of its own, by its place beside a label on the page."""
    return "#" + str([row[1] for row in PAGE].index(label) + offset)


# A measurement box stands just before its label, the other boxes just after theirs.
CHECK_LABEL, PROGRESS = child("File Check", 1), child("Progress:", 1)
STATUS_RIGHT, FREQ = child(BANNER, 1), child("Frequency", 1)
HW, FW = child("Hardware Version", 1), child("Firmware Version", 1)
MEASUREMENTS = [child(label, -1) for label in ("Ant. peak Volt", "Ant. peak Current",
                "Voltage Supply", "Ant. avg Current", "Ant. avg Power", "PCB Temperature")]
FIXTURE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures",
                       "atmega328p_app.hex")
STARTUP_READS = b"cr Wo\rcr Sv\rcr Wc\rcr Ww\r"
RECORDS = b"".join(harness.records(harness._read(FIXTURE).decode()))


def displayed(reply):
    """A reply as the program shows it: LF CR turned into CR LF, STX and ETX into LF."""
    return re.sub(rb"[\x02\x03]", b"\n", reply.replace(b"\n\r", b"\r\n"))


def latest(sim, pattern, form):
    """The device's latest report of a value, as the program shows it: scanned with %f (single
    precision), printed in form."""
    values = re.findall(pattern, b"".join(sim.replies()))
    return form.format(struct.unpack("<f", struct.pack("<f", float(values[-1])))[0])


class DeviceTest(harness.SandboxTest):

    def wait_received(self, sim, data, since):
        """Waits for the device to have received exactly data since byte `since`."""
        wait_until(lambda: len(sim.received()) >= since + len(data), 20, f"{data!r} on the wire",
                   lambda: f"; it got {sim.received()[since:]!r}")
        self.assertEqual(sim.received()[since:], data, "bytes the device received")

    def wait_shown(self, s, sim, reply):
        """Waits for the program to print a reply the device sent (it then has been parsed)."""
        shown = harness.console_text(displayed(reply))
        wait_until(lambda: s.console().count(shown) >= sim.replies().count(reply), 20,
                   f"the program to show the reply {reply!r}",
                   lambda: f"; the console holds:\n{show(s.console())}")

    def click_and_send(self, s, sim, ctrl, command, answers=1):
        """Clicks a button; waits for the command it sends, the device's answers and their
        display, as a technician does before the next click. Returns the answers."""
        since, before = len(sim.received()), len(sim.replies())
        s.call("click", ctrl)
        self.wait_received(sim, command, since)
        replies = wait_until(lambda: len(new := sim.replies()[before:]) >= answers and new, 20,
                             f"the answers to {command!r}")
        for reply in replies:
            self.wait_shown(s, sim, reply)
        return replies

    def open_port(self, s, sim):
        """COM Start; waits until the four state reads are answered and shown."""
        replies = self.click_and_send(s, sim, ID_COM_START, STARTUP_READS, 4)
        self.assertEqual(s.text(ID_COM_START), "COM Stop")
        wait_until(lambda: s.text(STATUS_RIGHT) == "Reading: auto search", 10, "the status line")
        return replies

    def test_technician_session(self):
        s = self.sandbox()
        sim = s.simulator()
        s.start().wait_ready()
        self.assertEqual(sim.holders(), [], "nobody has the port open before COM Start")
        # Captions nobody would set: only the device's replies can put the real ones back.
        for ctrl in (ID_PWM, ID_CTL, ID_SEARCH_ALWAYS):
            s.call("set-text", ctrl, "?")
        replies = self.open_port(s, sim)
        self.assertEqual(sim.received(), STARTUP_READS, "the first bytes the device received")
        self.assertNotEqual(sim.holders(), [], "the open port holds the device's line")
        for ctrl, pattern, on, off in ((ID_PWM, rb"PWM_active = (\d)", "PWM OFF", "PWM ON"),
                                       (ID_CTL, rb"pwm_ctl_active = (\d)", "CTL OFF", "CTL ON"),
                                       (ID_SEARCH_ALWAYS, rb"pwm_search_always = (\w+)",
                                        "AS alw. OFF", "AS alw. ON")):
            (value,) = re.findall(pattern, b"".join(replies))
            self.assertEqual(s.text(ctrl), on if value in (b"1", b"A5") else off, value)
        (ident,) = [displayed(r) for r in replies if b"HW Rev" in r]
        hw, fw = re.search(rb"Lum_Rax, HW Rev.*?MHz", ident)[0], ident[ident.index(b"Lum_Rax_"):]
        self.assertEqual((s.text(HW).encode("latin-1"), s.text(FW).encode("latin-1")), (hw, fw))
        self.assert_console_in_order(s, [
            b"Opening COM15\n", b"Com port open (handle ", b")\nCOM 15, 38400 bps\n",
            b"firmware info:\n" + fw + b"\n", b"uCisBootloader = 0\nhardware info:\n" + hw])

        s.call("click", ID_LOG)
        s.wait_console(b"pCOMLogFile = 0x")
        folder = os.path.join(s.work, "COMlog")
        (name,) = os.listdir(folder)
        self.assertEqual(s.text(ID_LOG), "log STOP")
        self.assertIn(b"\nCreated log file: " + s.windows_path(os.path.join(folder, name))
                      .encode() + b"\npCOMLogFile = 0x", s.console())
        logged_from = len(sim.replies())

        # PWM off and on again; one frequency step up, read before and after.
        for command, said, caption in ((b"cw Wo0\r", b"output off", "PWM ON"),
                                       (b"cw Wo1\r", b"output on", "PWM OFF")):
            self.assertIn(said, self.click_and_send(s, sim, ID_PWM, command)[0])
            self.assertEqual(s.text(ID_PWM), caption)
        frequencies = []
        for ctrl, command in ((ID_PWM_READ, b"cr Wf\r"), (ID_FREQ_UP, b"cw Wf+\r"),
                              (ID_PWM_READ, b"cr Wf\r")):
            self.click_and_send(s, sim, ctrl, command)
            frequencies.append(s.text(FREQ))
            self.assertEqual(frequencies[-1], latest(sim, rb"frequency (\S+) kHz", "{:.2f}kHz"))
        self.assertGreater(float(frequencies[2][:-3]), float(frequencies[0][:-3]), "f++")

        # AutoRead on until every measurement has been read, then off: the boxes settle on the
        # device's latest values.
        self.assertEqual([s.text(box) for box in MEASUREMENTS], ["-"] * 6)
        s.call("click", ID_AUTOREAD)
        wait_until(lambda: "-" not in [s.text(box) for box in MEASUREMENTS], 30,
                   "all six measurement boxes")
        self.assertEqual(s.text(ID_AUTOREAD), "AutoRead OFF")
        s.call("click", ID_AUTOREAD)
        wait_until(lambda: s.text(ID_AUTOREAD) == "AutoRead ON", 10, "AutoRead off")
        temp = wait_until(lambda: s.text(MEASUREMENTS[5]) == latest(
            sim, rb"TMP101 temp: (\S+) C", "{:.1f}\u00b0C") and s.text(MEASUREMENTS[5]), 20,
            "the latest temperature")
        self.assertIn(b"temperature: " + temp.encode("cp1252") + b"\n", s.console(),
                      "degree sign on the console")

        # Typed and ended with Enter, as a technician does: the polled read of the line.
        s.click_control(ID_REG_EDIT)
        wait_until(lambda: s.call("focus")[0][0] == str(ID_REG_EDIT), 10, "the field's focus")
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
        started = datetime.datetime.strptime(name, "COM_log_%Y-%m-%d_%Hh%Mm%S.txt")
        self.assertEqual(started.strftime("COM_log_%Y-%m-%d_%Hh%Mm%S.txt"), name)
        self.assertLess(abs((datetime.datetime.now() - started).total_seconds()), 600,
                        "the log's time stamp is the local time")
        # The header, then every reply since LOG Start, byte for byte as the device sent it,
        # and the register read that the field sent, with a line feed.
        self.assertEqual(show(log.replace(b"cr Wo\r\r\n", b"")), show(started.strftime(
            "COM Port log file - LUM_RAX_COM " + harness.app_version() +
            "\nStarted: %H:%M:%S, %d.%m.%Y\n").encode() + b"".join(
            sim.replies()[logged_from:])), "log file")

    def test_firmware_update(self):
        """At the fastest rate, where each line is answered well within the tick that follows
        it. The line goes dead as the 21st record arrives; the device, power cycled into its
        bootloader, then takes the whole file."""
        s = self.sandbox()
        sim = s.simulator("--baud", "115200", "--disconnect-after-records", "20")
        shutil.copy(FIXTURE, s.work)
        s.start().wait_ready()
        s.call("select", ID_BAUD, 8)
        s.wait_console(b"Selected baud rate: 115200 bps")
        self.open_port(s, sim)
        s.call("click", ID_LOG)
        for ctrl, question, command, done in (
                (ID_SWITCH, "Switch between Bootloader / Application?", b"cw Sboot\r",
                 b"starting bootloader"), (ID_ERASE, "Erase Lum_Rax Flash?", b"cw Fe\r",
                                           b"flash erased")):
            since = len(sim.received())
            s.call("click", ctrl)
            self.assertEqual(s.box()[1], question)
            self.wait_received(sim, command, since)
            wait_until(lambda: done in sim.sent(), 20, done)
        s.call("set-text", ID_REG_EDIT, "Sv")
        s.call("click", ID_REG_READ)
        s.wait_console(b"uCisBootloader = 1\n")

        s.call("click", ID_FILE_OPEN)
        s.call("open-file", s.windows_path(os.path.join(s.work, os.path.basename(FIXTURE))),
               20000)
        s.wait_console(b"\nHex File Check: Okay!\nNumber of lines - app: 1269\n")
        self.assertEqual((s.text(CHECK_LABEL), s.text(PROGRESS)), ("Check: OK", "lines: 0 / 1269"))
        for end, progress in (("AVR bootloader Timeout!", "lines: 21 / 1269"),
                              ("AVR reports bootloading is finished!", "lines: 1269 / 1269")):
            since = len(sim.received())
            s.call("click", ID_GO)
            self.assertEqual(s.box()[1], "Flash erased?\nStart Bootloader?")
            self.assertEqual(s.box()[1], "Do NOT remove power or connection to device!!!")
            self.assertEqual(s.box(timeout=120)[1], end)
            self.assertEqual(s.text(PROGRESS), progress)
            if end == "AVR bootloader Timeout!":
                self.assertIn(b"Bootloader - AVR replies line 20 written\nlines_sent: 20\n"
                              b"AVR bootloader Timeout! Line: 21\n", s.console())
                s.call("click", ID_COM_START)
                wait_until(lambda: s.text(ID_COM_START) == "COM Start", 20, "COM Stop")
                sim.stop()
                sim = s.simulator("--baud", "115200", "--firmware", "boot", "--flash", "blank")
                s.call("click", ID_COM_START)
                s.wait_console(b"uCisBootloader = 1\n", count=2)
        self.assertEqual(sim.received()[since:], RECORDS, "the file's records, in order")

        # Back in the application, the device streams its flash: the image is there.
        s.call("click", ID_SWITCH)
        s.box()
        wait_until(lambda: b"starting application" in sim.sent(), 20, "the application")
        s.call("set-text", ID_REG_EDIT, "Mr")
        s.call("click", ID_REG_READ)
        s.wait_console(b"Flash streaming finished\r\nRead 32768 / 0x8000 bytes from device",
                       timeout=60)
        s.call("click", ID_LOG)
        self.assertEqual(s.leave(), 0, "exit code of the program")
        (log,) = [harness._read(os.path.join(s.work, "COMlog", n))
                  for n in os.listdir(os.path.join(s.work, "COMlog"))]
        dump = log[log.rindex(b"Flash stream (hex):\r\n"):log.rindex(b"Flash streaming finished")]
        flash = bytes.fromhex(" ".join(m.decode() for m in re.findall(
            rb"\r\n0x[0-9A-F]{5}: ((?:[0-9A-F]{2} )*)", dump)))
        avr = harness._read(os.path.join(s.work, "LUMRAXbin", "atmega328p_app.avr"))
        self.assertEqual((len(flash), flash[:0x7000]), (32768, avr + b"\xff" * (0x7000 - len(avr))),
                         "the device's flash: the image, erased behind it")
        for chunk in (b"cw Sboot\r\n", b"cw Fe\r\n", b"Bootloader - AVR replies line 1 written\n",
                      b"Bootloader, uC reports writing flash finished, wrote 1269 of 1269 lines\n"):
            self.assertIn(chunk, log)

    def test_port_vanishes_and_comes_back(self):
        """The pty goes during AutoRead with the log on and comes back 3 s later: one box, the
        port reopened by itself, the measurements read and parsed again, the log going on with
        its gap. With the option off the port stays closed until COM Start."""
        for reconnect in (True, False):
            with self.subTest(reconnect=reconnect):
                s = self.sandbox()
                sim = s.simulator()
                s.start().wait_ready()
                if not reconnect:
                    s.call("post", WM_COMMAND, IDM_RECONNECT, 0)
                    s.wait_console(b"IDM_RECONNECT\nreconnect = 0\n")
                self.open_port(s, sim)
                s.call("click", ID_LOG)
                s.call("click", ID_AUTOREAD)
                wait_until(lambda: b"cr Wi\r" in sim.received(), 20, "a measurement read")
                sim.stop()  # the pty goes, as a USB adapter pulled out
                self.assertEqual(s.box("-")[:2], ["Error", "COM15 lost!\nThe port has been "
                                                  "closed; " + ("it is opened again once it is "
                                                                "back." if reconnect else
                                                                "click COM Start once it is back.")])
                # While the port is away (3 s), with the box open: the program waits quietly.
                pids = [s.app_pid(), s.wineserver_pid()]
                waiting = harness.cpu_share(pids, 3)
                self.assertLess(max(waiting.values()), 10, f"CPU while the port is away: {waiting}")
                before = s.console().count(b"VOLT: ")
                sim = s.simulator()
                if reconnect:
                    s.wait_console(b"WIN info: COM15 back, reopened at ", timeout=20)
                    wait_until(lambda: sim.received().startswith(STARTUP_READS + b"cr Wi\r"), 20,
                               "the state reads and AutoRead on the port opened again")
                    s.wait_console(b"VOLT: ", count=before + 1)
                else:
                    harness.cpu_share(pids, 2)  # two tries' worth of time
                    self.assertEqual((sim.received(), s.text(ID_COM_START)), (b"", "COM Start"))
                s.box()
                self.assertEqual(s.console().count(b"COM15 lost"), 1, "the loss is told once")
                s.call("click", ID_LOG)
                self.assertEqual(s.leave(), 0, "exit code of the program")
                (log,) = [harness._read(os.path.join(s.work, "COMlog", n))
                          for n in os.listdir(os.path.join(s.work, "COMlog"))]
                gap = re.search(rb"Port lost at \d\d:\d\d:\d\d, back at \d\d:\d\d:\d\d: (\d+) s "
                                rb"without the port\n", log)
                self.assertEqual(gap is not None, reconnect, "the gap line in the log")
                if reconnect:
                    self.assertGreaterEqual(int(gap.group(1)), 2)
                    self.assertIn(b"VOLT: ", log[gap.end():], "measurements logged after the gap")
                    print(f"CPU while waiting for the port: {waiting}", file=sys.stderr)

    def read_only(self, path):
        """Makes path unwritable (for root too: immutable) until the returned call or the end."""
        mode, root = os.stat(path).st_mode, os.geteuid() == 0
        os.chmod(path, mode & ~0o222)

        def undo():
            if root:
                subprocess.run(["chattr", "-i", path])
            os.chmod(path, mode)
        self.addCleanup(undo)
        if root and subprocess.run(["chattr", "+i", path]).returncode != 0:
            self.skipTest("root writes anywhere, and chattr +i is refused here")
        return undo

    def test_file_faults(self):
        """A log folder that cannot be written, a hex file changed after File Open and a
        settings file that cannot be written at exit: each is told, and the program goes on."""
        s = self.sandbox()
        settings = os.path.join(s.work, "Settings", "Lum_Rax.setup")
        os.makedirs(os.path.dirname(settings))
        with open(settings, "wb") as f:
            f.write(b"COM15\nbaudrate 38400\n")
        self.read_only(settings)
        hexfile = os.path.join(s.work, "app.hex")
        shutil.copy(FIXTURE, hexfile)
        sim = s.simulator()
        s.start().wait_ready()
        self.open_port(s, sim)
        folder = os.path.join(s.work, "COMlog")
        writable = self.read_only(folder)
        s.call("click", ID_LOG)
        self.assertEqual(s.box()[1], "Log File Creation Error!\nlog path available?")
        self.assertEqual((s.text(ID_LOG), os.listdir(folder)), ("LOG Start", []))
        writable()
        s.call("click", ID_LOG)
        wait_until(lambda: s.text(ID_LOG) == "log STOP" and os.listdir(folder), 20, "the log")

        s.call("click", ID_FILE_OPEN)
        s.call("open-file", s.windows_path(hexfile), 20000)
        s.wait_console(b"\nHex File Check: Okay!\n")
        with open(hexfile, "r+b") as f:  # a data digit: the line's checksum fails
            f.seek(10)
            f.write(b"F")
        s.call("click", ID_FILE_CHECK)
        self.assertEqual(s.box()[1], "*.hex file changed since File Open!\n" +
                         s.windows_path(hexfile) + "\nOpen it again to read and check it.")
        self.assertEqual(s.text(CHECK_LABEL), "Check: ERR!")
        s.call("click", ID_GO)
        self.assertEqual(s.box()[1], "Open valid *.hex File!")
        s.call("select", ID_BAUD, 8)  # a choice that cannot be kept
        self.assertEqual(s.leave(), 0, "exit code of the program")
        self.assert_console_in_order(s, [b"save settings to file... \nsettings file fopen error!\n",
                                         b"Closing com port\n"])
        self.assertEqual(harness._read(settings), b"COM15\nbaudrate 38400\n")
        self.assertNotIn(b":", sim.received(), "no record went out")

    def test_lumrax_exe_on_com15(self):
        """lumrax.exe, the command line program of the same build."""
        s = self.sandbox()
        sim = s.simulator()

        def lumrax(*args):
            return subprocess.run([harness.wine(), harness.build_path("lumrax.exe"), *args],
                                  cwd=s.work, env=s.env, stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=300, check=False)

        rows = [
            # command line, exit code, standard output, standard error, bytes on the line
            (["--port", "COM15", "info"], 0,
             b"firmware: Lum_Rax_Gen FW V2.07\nhardware: Lum_Rax, HW Rev 3, 16MHz\n"
             b"running: application\npwm: on\nctl: off\nsearch_always: off\n", b"", STARTUP_READS),
            (["read", "Wo", "--json", "--port", "com15"], 0,
             b'{"event":"reply","command":"cr Wo","reply":"PWM_active = 1"}\n', b"", b"cr Wo\r"),
            (["--port", "COM41", "info"], 2, b"",
             re.escape(b"lumrax: not a port: COM41 (COM1 to COM40)\n"), b""),
            # A port that Wine does not have: the system's reason in the one line.
            (["--port", "COM3", "info"], 4, b"", rb"lumrax: port COM3: cannot open: .+\n", b""),
        ]
        for args, rc, out, err, wire in rows:
            with self.subTest(args=args):
                before = len(sim.received())
                done = lumrax(*args)
                self.assertEqual((done.returncode, done.stdout), (rc, out))
                self.assertRegex(done.stderr, b"^" + err + b"$")
                self.assertEqual(sim.received()[before:], wire)

        # A whole update with the read-back: the device's flash becomes the reference image.
        sim.stop()
        sim = s.simulator("--firmware", "boot", "--flash", "blank", "--baud", "115200")
        shutil.copy(FIXTURE, s.work)
        done = lumrax("--port", "COM15", "--baud", "115200", "flash", os.path.basename(FIXTURE),
                      "--verify", "--yes")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertRegex(done.stdout, rb"^flashed: 1269 lines in \d+\.\d\d s \(\d+\.\d\d "
                         rb"lines/s\)\nverified: 28672 bytes \(0x7000\) match the image\n$")
        self.assertEqual(sim.received(), b"cr Sv\r" + RECORDS + b"cw Sboot\rcr Sv\rcr Mr\r")


if __name__ == "__main__":
    unittest.main()
