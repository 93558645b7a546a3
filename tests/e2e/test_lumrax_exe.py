"""lumrax.exe, the command line program from the Windows build, under Wine on COM15.

Run:  LRX_WIN_BUILD_DIR=... LRX_E2E_SIM=.../lumrax-sim python3 test_lumrax_exe.py
"""

import os
import re
import shutil
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures")


def lumrax_exe():
    path = os.path.join(harness._build_dir() or "", "lumrax.exe")
    if not os.path.isfile(path):
        raise harness.HarnessError(f"lumrax.exe not found: {path!r} (set LRX_WIN_BUILD_DIR)")
    return path


class LumraxExeTest(harness.SandboxTest):
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
             b'{"event":"reply","command":"cr Wo","reply":"PWM_active = 1"}\n', b"",
             b"cr Wo\r"),
            (["--port", "COM41", "info"], 2, b"",
             b"lumrax: not a port: COM41 (COM1 to COM40)\n", b""),
        ]
        for args, rc, out, err, wire in rows:
            with self.subTest(args=args):
                before = len(sim.received())
                done = subprocess.run([harness.wine(), lumrax_exe(), *args], cwd=s.work,
                                      env=s.env, stdin=subprocess.DEVNULL, capture_output=True,
                                      timeout=60, check=False)
                self.assertEqual((done.returncode, done.stdout, done.stderr), (rc, out, err))
                self.assertEqual(sim.received()[before:], wire)

        # A port that Wine does not have: the system's reason in the one line.
        done = subprocess.run([harness.wine(), lumrax_exe(), "--port", "COM3", "info"],
                              cwd=s.work, env=s.env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=60, check=False)
        self.assertEqual(done.returncode, 4)
        self.assertRegex(done.stderr, rb"^lumrax: port COM3: cannot open: .+\n$")

    def test_flash_on_com15(self):
        """A whole update with the read-back: the device's flash becomes the reference image."""
        s = self.sandbox()
        sim = s.simulator("--firmware", "boot", "--flash", "blank", "--baud", "115200")
        shutil.copy(os.path.join(FIXTURES, "atmega328p_app.hex"), s.work)
        done = subprocess.run([harness.wine(), lumrax_exe(), "--port", "COM15", "--baud", "115200",
                               "flash", "atmega328p_app.hex", "--verify", "--yes"], cwd=s.work,
                              env=s.env, stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=300, check=False)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertRegex(done.stdout, rb"^flashed: 1269 lines in \d+\.\d\d s \(\d+\.\d\d "
                         rb"lines/s\)\nverified: 28672 bytes \(0x7000\) match the image\n$")
        err = done.stderr.decode("latin-1").splitlines()
        self.assertEqual(err[:2], ["lumrax: Flash erased? Start Bootloader? -> OK (--yes)",
                                   "lumrax: Bootloading started!: Do NOT remove power or "
                                   "connection to device!!!"])
        self.assertEqual(len([e for e in err if re.match(r"lumrax: \d+ % ", e)]), 20)
        self.assertEqual(err[-2:], ["lumrax: Bootloading finished: AVR reports bootloading is "
                                    "finished!",
                                    "lumrax: Switch between Bootloader / Application? -> OK "
                                    "(--yes)"])
        with open(os.path.join(FIXTURES, "atmega328p_app.hex")) as f:
            records = [b":" + bytes.fromhex(line[1:]) + b"\r\n" for line in f.read().split()]
        self.assertEqual(sim.received(),
                         b"cr Sv\r" + b"".join(records) + b"cw Sboot\rcr Sv\rcr Mr\r")
        traffic = sim.traffic()
        start = max(i for i, (_, way, d) in enumerate(traffic)
                    if way == "PC>dev" and b"cr Mr\r" in d)
        flash = b"".join(d for _, way, d in traffic[start + 1:] if way == "dev>PC")
        with open(os.path.join(FIXTURES, "atmega328p_app.ref"), "rb") as f:
            ref = f.read()
        self.assertEqual(flash[:0x7000], ref + b"\xff" * (0x7000 - len(ref)))


if __name__ == "__main__":
    unittest.main()
