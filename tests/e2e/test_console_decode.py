"""Decoding of Wine's console rendering back to the program's bytes (no Wine needed)."""

import os
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import ConsoleDecodeError, decode_console  # noqa: E402

HIDE, SHOW = "\x1b[?25l", "\x1b[?25h"


def drawn(text):
    """Characters as Wine draws them: each between cursor hide and show."""
    return "".join(HIDE + c + SHOW for c in text)


def blank(n=1):
    return HIDE + f"\x1b[K\x1b[{n}C" + SHOW


# Byte sequences as Wine 8 wrote them to a 1000-column terminal, and what the program wrote.
CASES = [
    ("LF", drawn("FOPEN") + "\r\r\n", b"FOPEN\n"),
    ("CR LF", drawn("Title") + "\r\r\r\n", b"Title\r\n"),
    ("empty lines", "\r\r\n\r\r\n", b"\n\n"),
    ("CR inside a line", drawn("A") + "\r" + drawn("B") + "\r\r\n", b"A\rB\n"),
    ("blank", drawn("a") + blank() + drawn("b") + "\r\r\n", b"a b\n"),
    ("tab as blanks", drawn("tab") + blank(5) + drawn("x"), b"tab     x"),
    ("trailing blanks", drawn("save") + blank() + blank() + "\r\r\n", b"save  \n"),
    ("code page 437", drawn("\u2591\u00c7\u00fc\u0398\u00a0"), b"\xb0\x80\x81\xe9\xff"),
    ("break at the width", "a" * 1000 + "\r\r\n" + "bc\r\r\n", b"a" * 1000 + b"bc\n"),
    ("short line is no break", "a" * 999 + "\r\r\n" + "b", b"a" * 999 + b"\nb"),
    ("script header and trailer",
     'Script started on 2026-01-01 [COMMAND="x"]\n' + drawn("ok") + "\r\r\n"
     + "\nScript done on 2026-01-01 [COMMAND_EXIT_CODE=\"0\"]\n", b"ok\n"),
]


class ConsoleDecodeTest(unittest.TestCase):
    def test_cases(self):
        for name, raw, program in CASES:
            with self.subTest(name):
                self.assertEqual(decode_console(raw.encode("utf-8")), program)

    def test_unknown_escape_sequence_is_refused(self):
        with self.assertRaises(ConsoleDecodeError):
            decode_console(b"\x1b[2J")
        with self.assertRaises(ConsoleDecodeError):
            decode_console(b"abc\x1b")


if __name__ == "__main__":
    unittest.main()
