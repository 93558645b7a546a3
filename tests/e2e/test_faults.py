"""Faults end to end: LUM_RAX_COM.exe under Wine meets a device, a port or a file that fails.
Each fault must end in a clear message, and the program must go on working.

Run one:  LRX_WIN_BUILD_DIR=... LRX_E2E_SIM=.../lumrax-sim python3 test_faults.py \\
              FaultTest.test_port_vanishes_during_autoread
"""

import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from test_device import (CHECK_LABEL, FIXTURES, ID_AUTOREAD, ID_BAUD, ID_COM_START,  # noqa: E402
                         ID_FILE_OPEN, ID_GO, ID_LOG, PROGRESS, STARTUP_READS, DeviceTest)

ID_FILE_CHECK = 1065
FIXTURE = "atmega328p_app.hex"


class FaultTest(DeviceTest):
    # Not the device tests again: only the helpers.
    test_technician_session = test_firmware_update = None

    def caption(self, s, ctrl, text):
        harness.wait_until(lambda: s.text(ctrl) == text, 20, f"{text!r} on control {ctrl}")

    def read_only(self, path):
        """Makes path unwritable (for root too: immutable); returns what undoes it, which also
        runs when the test ends."""
        mode = os.stat(path).st_mode
        os.chmod(path, mode & ~0o222)
        root = os.geteuid() == 0

        def undo():
            if root:
                subprocess.run(["chattr", "-i", path], check=False)
            os.chmod(path, mode)

        self.addCleanup(undo)
        if root and subprocess.run(["chattr", "+i", path], check=False).returncode != 0:
            self.skipTest("root writes anywhere, and chattr +i is refused here")
        return undo

    def reopen(self, s, sim, first):
        """COM Start on a closed port; the first commands reach the device."""
        since = len(sim.received())
        s.call("click", ID_COM_START)
        self.caption(s, ID_COM_START, "COM Stop")
        harness.wait_until(lambda: sim.received()[since:].startswith(first), 20,
                           f"{first!r} on the wire")

    def open_hex(self, s, path, outcome=b"Okay!"):
        s.call("click", ID_FILE_OPEN)
        s.call("open-file", s.windows_path(path), 20000)
        s.wait_console(b"\nHex File Check: " + outcome + b"\n")

    def test_device_gone_during_firmware_update(self):
        s = self.sandbox()
        # The line goes dead as the 21st record arrives: 20 lines were written.
        sim = s.simulator("--baud", "115200", "--firmware", "boot", "--flash", "blank",
                          "--disconnect-after-records", "20")
        shutil.copy(os.path.join(FIXTURES, FIXTURE), s.work)
        s.start().wait_ready()
        s.call("select", ID_BAUD, 8)
        s.call("click", ID_COM_START)
        s.wait_console(b"uCisBootloader = 1\n")
        self.open_hex(s, os.path.join(s.work, FIXTURE))
        s.call("click", ID_GO)
        self.assertEqual(s.box()[1], "Flash erased?\nStart Bootloader?")
        self.assertEqual(s.box()[1], "Do NOT remove power or connection to device!!!")
        self.assertEqual(s.box(timeout=20)[1], "AVR bootloader Timeout!")
        self.assertIn(b"Bootloader - AVR replies line 20 written\nlines_sent: 20\n"
                      b"AVR bootloader Timeout! Line: 21\n", s.console())
        self.assertEqual(s.text(PROGRESS), "lines: 21 / 1269")

        # The device is back (power cycled into its application): the port opens again.
        s.call("click", ID_COM_START)
        self.caption(s, ID_COM_START, "COM Start")
        sim.stop()
        self.reopen(s, s.simulator("--baud", "115200"), b"cr Sv\r")
        s.wait_console(b"uCisBootloader = 0\n")
        self.assertEqual(s.leave(), 0, "exit code of the program")

    def test_port_vanishes_during_autoread(self):
        s = self.sandbox()
        sim = s.simulator()
        s.start().wait_ready()
        self.open_port(s, sim)
        s.call("click", ID_AUTOREAD)
        harness.wait_until(lambda: b"cr Wi\r" in sim.received(), 20, "a measurement read")

        sim.stop()  # the pty goes, as a USB adapter pulled out
        self.assertEqual(s.box("-")[:2], ["Error", "COM15 lost!\nThe port has been closed; "
                                          "click COM Start once it is back."])
        pids = [s.app_pid(), s.wineserver_pid()]
        with_box = harness.cpu_share(pids, 3)
        s.box()
        after = harness.cpu_share(pids, 3)
        print("\nCPU after the port vanished, in % of a core (program, Wine server): "
              f"box open {with_box[pids[0]]:.1f}, {with_box[pids[1]]:.1f}; "
              f"box answered {after[pids[0]]:.1f}, {after[pids[1]]:.1f}", file=sys.stderr)
        self.assertLess(max(*with_box.values(), *after.values()), 10, "CPU with the port gone")
        self.assertEqual(s.console().count(b"COM15 lost"), 1, "the loss is told once")
        self.assertIn(b"\nWIN info: COM15 lost (reading failed), port closed\r\nClosing com port\n",
                      s.console())
        self.assertEqual(s.text(ID_COM_START), "COM Start")
        self.reopen(s, s.simulator(), STARTUP_READS + b"cr Wi\r")
        self.assertEqual(s.leave(), 0, "exit code of the program")

    def test_log_folder_read_only(self):
        s = self.sandbox()
        sim = s.simulator()
        s.start().wait_ready()
        self.open_port(s, sim)
        folder = os.path.join(s.work, "COMlog")
        writable = self.read_only(folder)
        s.call("click", ID_LOG)
        self.assertEqual(s.box()[1], "Log File Creation Error!\nlog path available?")
        self.assertEqual(s.text(ID_LOG), "LOG Start")
        self.assertEqual(s.console().count(b"Error: COM Log file creation failed!\n"), 1)
        self.assertEqual(os.listdir(folder), [])

        # Writable again: the log starts and records the next opening and its replies.
        writable()
        s.call("click", ID_LOG)
        self.caption(s, ID_LOG, "log STOP")
        s.call("click", ID_COM_START)
        self.caption(s, ID_COM_START, "COM Start")
        self.reopen(s, sim, STARTUP_READS)
        harness.wait_until(lambda: len(sim.replies()) >= 5, 20, "the replies")
        self.assertEqual(s.leave(), 0, "exit code of the program")
        (name,) = os.listdir(folder)
        with open(os.path.join(folder, name), "rb") as f:
            self.assertIn(b"COM 15, 38400 bps\n--------------------------\n\n" + sim.replies()[4],
                          f.read())

    def test_settings_file_unwritable_at_exit(self):
        s = self.sandbox()
        settings = os.path.join(s.work, "Settings", "Lum_Rax.setup")
        os.makedirs(os.path.dirname(settings))
        with open(settings, "wb") as f:
            f.write(b"COM15\nbaudrate 38400\n")
        self.read_only(settings)
        sim = s.simulator()
        s.start().wait_ready()
        self.open_port(s, sim)
        s.call("select", ID_BAUD, 8)  # a choice that cannot be kept
        self.assertEqual(s.leave(), 0, "exit code of the program")
        self.assert_console_in_order(s, [b"save settings to file... \nsettings file fopen error!\n",
                                         b"Closing com port\n"])
        with open(settings, "rb") as f:
            self.assertEqual(f.read(), b"COM15\nbaudrate 38400\n", "the settings file")

    def test_hex_file_replaced_before_file_check(self):
        s = self.sandbox()
        sim = s.simulator()
        hexfile = os.path.join(s.work, FIXTURE)
        shutil.copy(os.path.join(FIXTURES, FIXTURE), hexfile)
        s.start().wait_ready()
        self.open_port(s, sim)
        self.open_hex(s, hexfile)
        with open(hexfile, "r+b") as f:  # a data digit changed: its line's checksum fails
            f.seek(10)
            f.write(b"F")

        s.call("click", ID_FILE_CHECK)
        self.assertEqual(s.box()[1], "*.hex file changed since File Open!\n"
                         + s.windows_path(hexfile) + "\nOpen it again to read and check it.")
        self.assertEqual(s.text(CHECK_LABEL), "Check: ERR!")
        s.call("click", ID_GO)
        self.assertEqual(s.box()[1], "Open valid *.hex File!")
        # File Open reads the file as it is now, and its check fails.
        self.open_hex(s, hexfile, b"ERROR !!!")
        self.assertNotIn(b":", sim.received(), "no record went out")
        self.assertEqual(s.leave(), 0, "exit code of the program")


if __name__ == "__main__":
    unittest.main()
