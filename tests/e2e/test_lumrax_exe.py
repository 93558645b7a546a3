"""lumrax.exe, the command line program from the Windows build, under Wine on COM15.

Run:  LRX_WIN_BUILD_DIR=... LRX_E2E_SIM=.../lumrax-sim python3 test_lumrax_exe.py
"""

import os
import re
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures")


class LumraxExeTest(harness.SandboxTest):
    def lumrax(self, s, *args):
        return subprocess.run([harness.wine(), harness.build_path("lumrax.exe"), *args],
                              cwd=s.work, env=s.env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=300, check=False)

    def test_commands_on_com15(self):
        s = self.sandbox()
        sim = s.simulator()
        rows = [
            # command line, exit code, standard output, standard error, bytes on the line
            (["--port", "COM15", "info"], 0,
             b"firmware: Lum_Rax_Gen FW V2.07\nhardware: Lum_Rax, HW Rev 3, 16MHz\n"
             b"running: application\npwm: on\nctl: off\nsearch_always: off\n", b"",
             b"cr Wo\rcr Sv\rcr Wc\rcr Ww\r"),
            (["read", "Wo", "--json", "--port", "com15"], 0,
             b'{"event":"reply","command":"cr Wo","reply":"PWM_active = 1"}\n', b"", b"cr Wo\r"),
            (["--port", "COM41", "info"], 2, b"", b"lumrax: not a port: COM41 (COM1 to COM40)\n",
             b""),
            # A port that Wine does not have: the system's reason in the one line.
            (["--port", "COM3", "info"], 4, b"", rb"lumrax: port COM3: cannot open: .+\n", b""),
        ]
        for args, rc, out, err, wire in rows:
            with self.subTest(args=args):
                before = len(sim.received())
                done = self.lumrax(s, *args)
                self.assertEqual((done.returncode, done.stdout), (rc, out))
                self.assertRegex(done.stderr, b"^" + (err if rc == 4 else re.escape(err)) + b"$")
                self.assertEqual(sim.received()[before:], wire)

    def test_flash_on_com15(self):
        """A whole update with the read-back: the device's flash becomes the reference image."""
        s = self.sandbox()
        sim = s.simulator("--firmware", "boot", "--flash", "blank", "--baud", "115200")
        shutil.copy(os.path.join(FIXTURES, "atmega328p_app.hex"), s.work)
        done = self.lumrax(s, "--port", "COM15", "--baud", "115200", "flash", "atmega328p_app.hex",
                           "--verify", "--yes")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertRegex(done.stdout, rb"^flashed: 1269 lines in \d+\.\d\d s \(\d+\.\d\d "
                         rb"lines/s\)\nverified: 28672 bytes \(0x7000\) match the image\n$")
        err = done.stderr.decode("latin-1").splitlines()
        self.assertEqual(err[:2], ["lumrax: Flash erased? Start Bootloader? -> OK (--yes)",
                                   "lumrax: Bootloading started!: Do NOT remove power or "
                                   "connection to device!!!"])
        self.assertEqual(len([e for e in err if re.match(r"lumrax: \d+ % ", e)]), 20)
        self.assertEqual(err[-2:], ["lumrax: Bootloading finished: AVR reports bootloading is "
                                    "finished!", "lumrax: Switch between Bootloader / "
                                    "Application? -> OK (--yes)"])
        with open(os.path.join(FIXTURES, "atmega328p_app.hex")) as f:
            records = [b":" + bytes.fromhex(line[1:]) + b"\r\n" for line in f.read().split()]
        self.assertEqual(sim.received(),
                         b"cr Sv\r" + b"".join(records) + b"cw Sboot\rcr Sv\rcr Mr\r")


if __name__ == "__main__":
    unittest.main()
