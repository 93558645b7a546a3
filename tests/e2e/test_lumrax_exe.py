"""lumrax.exe, the command line program from the Windows build, under Wine on COM15.

Run:  LRX_WIN_BUILD_DIR=... LRX_E2E_SIM=.../lumrax-sim python3 test_lumrax_exe.py
"""

import os
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402


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


if __name__ == "__main__":
    unittest.main()
