"""The application shell end to end: LUM_RAX_COM.exe under Wine, driven from outside.
Run one:  LRX_WIN_BUILD_DIR=... python3 test_shell.py ShellTest.test_page_controls_at_start_up
"""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402

# ---- window styles ----
WS_CHILD_VISIBLE, WS_MAXIMIZE, WS_BORDER = 0x50000000, 0x01000000, 0x00800000
WS_VSCROLL, WS_TABSTOP = 0x00200000, 0x00010000
SS_CENTER, SS_CENTERIMAGE = 0x1, 0x200
BS_DEFPUSHBUTTON, BS_MULTILINE = 0x1, 0x2000
CBS_DROPDOWNLIST, CBS_HASSTRINGS = 0x3, 0x200
ES_CENTER, ES_RIGHT, ES_MULTILINE, ES_AUTOVSCROLL = 0x1, 0x2, 0x4, 0x40
ES_NOHIDESEL, ES_READONLY, ES_WANTRETURN = 0x100, 0x800, 0x1000

STYLES = {
    "L1": SS_CENTER | SS_CENTERIMAGE, "L2": SS_CENTERIMAGE, "B1": BS_DEFPUSHBUTTON,
    "BT": BS_DEFPUSHBUTTON | WS_TABSTOP, "B2": BS_DEFPUSHBUTTON | BS_MULTILINE,
    "DD": CBS_DROPDOWNLIST | CBS_HASSTRINGS | WS_VSCROLL,
    "F": WS_BORDER | WS_TABSTOP | ES_NOHIDESEL | ES_WANTRETURN,
    "TA": WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_NOHIDESEL | ES_WANTRETURN,
    "RO": ES_READONLY | ES_NOHIDESEL,
    "E1": WS_BORDER | WS_TABSTOP | ES_RIGHT | ES_NOHIDESEL,
    "E2": WS_BORDER | WS_TABSTOP | ES_RIGHT | ES_AUTOVSCROLL | ES_WANTRETURN | ES_NOHIDESEL,
    "E3": WS_BORDER | WS_TABSTOP | ES_CENTER | ES_NOHIDESEL,
    "E4": WS_BORDER | WS_TABSTOP | ES_MULTILINE | ES_NOHIDESEL,
}

VERSION = harness.app_version()
BANNER = re.compile(r"\ALUM_RAX_COM.*\n" + re.escape(VERSION) + r", build: (Jan|Feb|Mar|Apr|May|"
                    r"Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123]\d \d{4}, [0-2]\d:[0-5]\d:[0-5]\d\n"
                    r" - internal use only! -\Z")

# Every control of the page in creation order: class, text, x, y, width, height, style, id.
PAGE = [
    ("STATIC", "COM 8N1", 20, 10, 80, 20, "L1", 1024),
    ("BUTTON", "COM Start", 20, 30, 80, 25, "B1", 1036),
    ("COMBOBOX", "COM15", 20, 60, 80, 150, "DD", 1034),
    ("COMBOBOX", "38400 bps", 20, 85, 80, 150, "DD", 1035),
    ("STATIC", "Reg:", 130, 15, 30, 20, "L1", 1024),
    ("EDIT", "", 160, 15, 160, 20, "F", 1038),
    ("BUTTON", "Read", 330, 15, 40, 20, "BT", 1039),
    ("BUTTON", "Write", 380, 15, 40, 20, "BT", 1040),
    ("BUTTON", "LOG Start", 430, 15, 60, 20, "B1", 1041),
    ("BUTTON", "ClearScr", 510, 15, 60, 20, "B1", 1042),
    ("EDIT", "", 130, 40, 450, 450, "TA", 1037),
    ("STATIC", "Bootloader", 20, 220, 80, 20, "L1", 1024),
    ("COMBOBOX", "ATmega328P", 20, 240, 100, 150, "DD", 1069),
    ("BUTTON", "Switch Boot/App", 20, 270, 100, 25, "B1", 1070),
    ("BUTTON", "Flash Erase", 20, 305, 80, 25, "B1", 1071),
    ("BUTTON", "File Open", 20, 345, 80, 25, "B1", 1064),
    ("STATIC", "...", 10, 370, 100, 20, "L1", 1024),
    ("BUTTON", "File Check", 20, 395, 80, 25, "B1", 1065),
    ("STATIC", "Check: -", 15, 420, 90, 20, "L1", 1024),
    ("BUTTON", "Go!", 20, 445, 80, 25, "B1", 1066),
    ("STATIC", "Progress:", 15, 470, 90, 20, "L1", 1024),
    ("EDIT", "lines: - / -", 15, 490, 90, 15, "RO", 1024),
    ("EDIT", BANNER, 15, 555, 580, 16, "RO", 1024),
    ("EDIT", "...", 600, 555, 200, 16, "RO", 1024),
    # the generator's controls
    ("STATIC", "PWM on / off", 600, 5, 80, 20, "L1", 1024),
    ("BUTTON", "PWM OFF", 600, 25, 80, 20, "B1", 1084),
    ("STATIC", "DC CTL on/off", 700, 5, 80, 20, "L1", 1024),
    ("BUTTON", "CTL ON", 700, 25, 80, 20, "B1", 1104),
    ("STATIC", "PWM Settings", 600, 60, 100, 20, "L2", 1024),
    ("BUTTON", "Read", 700, 63, 60, 22, "B1", 1085),
    ("STATIC", "Frequency", 600, 80, 50, 20, "L2", 1024),
    ("EDIT", "-", 600, 100, 70, 20, "E1", 1024),
    ("BUTTON", "f--", 680, 100, 50, 20, "B1", 1086),
    ("BUTTON", "f++", 740, 100, 50, 20, "B1", 1087),
    ("STATIC", "Duty Cycle", 600, 125, 50, 20, "L2", 1024),
    ("EDIT", "-", 600, 145, 70, 20, "E1", 1024),
    ("BUTTON", "d--", 680, 145, 50, 20, "B1", 1088),
    ("BUTTON", "d++", 740, 145, 50, 20, "B1", 1089),
    ("STATIC", "Auto Search", 600, 175, 77, 20, "L2", 1024),
    ("STATIC", "for PWM frequency", 677, 175, 100, 20, "L2", 1024),
    ("BUTTON", "AutoSearch", 600, 195, 90, 20, "B1", 1107),
    ("BUTTON", "AS alw. ON", 700, 195, 90, 20, "B2", 1108),
    ("STATIC", "Auto Search Frequency Limits", 600, 220, 180, 20, "L2", 1024),
    ("STATIC", "fmax", 600, 240, 25, 20, "L2", 1024),
    ("EDIT", "-", 628, 240, 62, 20, "E2", 1024),
    ("STATIC", "fmin", 600, 265, 25, 20, "L2", 1024),
    ("EDIT", "-", 628, 265, 62, 20, "E2", 1024),
    ("BUTTON", "Read", 695, 255, 40, 20, "B1", 1090),
    ("BUTTON", "Wr max", 740, 240, 50, 20, "B1", 1091),
    ("BUTTON", "Wr min", 740, 265, 50, 20, "B1", 1092),
    ("STATIC", "Voltage minimum for AutoSearch", 600, 290, 180, 20, "L2", 1024),
    ("EDIT", "-", 600, 310, 70, 20, "E2", 1024),
    ("BUTTON", "Rd", 675, 310, 50, 20, "B1", 1096),
    ("BUTTON", "Wr", 730, 310, 50, 20, "B1", 1097),
    ("STATIC", "Voltages - Currents - Temperature", 600, 340, 210, 20, "L2", 1024),
    ("BUTTON", "Read", 600, 365, 50, 20, "B2", 1094),
    ("BUTTON", "AutoRead ON", 655, 364, 85, 22, "B2", 1095),
    ("BUTTON", "Chart", 745, 365, 45, 20, "B1", 1098),
    ("EDIT", "-", 600, 395, 60, 20, "E1", 1024),
    ("STATIC", "Ant. peak Volt", 670, 395, 110, 20, "L2", 1024),
    ("EDIT", "-", 600, 420, 60, 20, "E1", 1024),
    ("STATIC", "Ant. peak Current", 670, 420, 110, 20, "L2", 1024),
    ("EDIT", "-", 600, 445, 60, 20, "E1", 1024),
    ("STATIC", "Voltage Supply", 670, 445, 110, 20, "L2", 1024),
    ("EDIT", "-", 600, 470, 60, 20, "E1", 1024),
    ("STATIC", "Ant. avg Current", 670, 470, 110, 20, "L2", 1024),
    ("EDIT", "-", 600, 495, 60, 20, "E1", 1024),
    ("STATIC", "Ant. avg Power", 670, 495, 110, 20, "L2", 1024),
    ("EDIT", "-", 600, 520, 60, 20, "E1", 1024),
    ("STATIC", "PCB Temperature", 670, 520, 110, 20, "L2", 1024),
    ("STATIC", "EEPROM Password", 820, 10, 120, 20, "L1", 1024),
    ("EDIT", "", 820, 35, 120, 20, "E3", 1024),
    ("BUTTON", "EEP WR EN", 820, 60, 120, 20, "B1", 1114),
    ("BUTTON", "Save PWM settings\nto Eeprom", 820, 90, 120, 40, "B2", 1115),
    ("BUTTON", "Recall\nEeprom Defaults", 820, 140, 120, 40, "B2", 1116),
    ("BUTTON", "Enable\nPWM Offline Edit", 820, 200, 120, 40, "B2", 1117),
    ("STATIC", "Temperature Threshold - ALARM", 800, 250, 180, 20, "L2", 1024),
    ("EDIT", "-", 800, 270, 50, 20, "E2", 1024),
    ("BUTTON", "Rd", 860, 270, 45, 20, "B1", 1124),
    ("BUTTON", "Wr", 910, 270, 45, 20, "B1", 1125),
    ("STATIC", "Hardware Version", 820, 380, 120, 20, "L2", 1024),
    ("EDIT", "...", 820, 400, 140, 60, "E4", 1024),
    ("STATIC", "Firmware Version", 820, 465, 120, 20, "L2", 1024),
    ("EDIT", "...", 820, 485, 140, 60, "E4", 1024),
]

# The bottom-left status line, addressed by its place among the page's children.
STATUS_LEFT = "#" + str([row[1] for row in PAGE].index(BANNER))

HELP_TEXT = ("> Select: COM #, Baud Rate => click COM Start\n"
             "> Write register & subregister & further values to 'Reg:'\n"
             "    then click 'Read' or 'Write'\n"
             "> Log serial com if needed: click 'LOG start'\n"
             "    (needs 'log' subfolder in *.exe path)")

WM_SYSCOMMAND, SC_MAXIMIZE, WM_COMMAND, IDM_HELP, IDM_ABOUT = 0x0112, 0xF030, 0x0111, 105, 106
ID_COM_START, ID_COM_SELECT, ID_BAUD_SELECT = 1036, 1034, 1035


def page_rows(records):
    """The page's controls as in PAGE, from the driver's list. Under Wine an edit keeps WS_BORDER
    out of its style and insets its text by the border instead. A combo box hands WS_VSCROLL to
    its list, which shows it only while needed, and reports its closed height: not checked."""
    rows = []
    for cls, cid, x, y, w, h, style, inset, text in records:
        cls, style = cls.upper(), int(style) | (WS_BORDER if int(inset) > 0 else 0)
        rows.append((cls, BANNER if BANNER.match(text) else text, int(x), int(y), int(w),
                     None if cls == "COMBOBOX" else int(h),
                     style | (WS_VSCROLL if cls == "COMBOBOX" else 0), int(cid)))
    return rows


class ShellTest(harness.SandboxTest):

    def test_folders_and_settings_kept_between_runs(self):
        s = self.sandbox()
        path = s.windows_path(s.work).encode()
        settings = os.path.join(s.work, "Settings", "Lum_Rax.setup")
        runs = [
            # settings file before, how to leave, port and rate shown, choices, file after, what
            # the console says of the folders and the settings
            (None, "exit", ("COM15", "38400 bps"), (), b"COM15\nbaudrate 38400\nreconnect 1\n"
             b"chart 0 0 0 0 0 0\n",
             [b"new settings path:\r\n" + path + b"\\Settings\n", b"new LUMRAXbin path:\r\n"
              + path + b"\\LUMRAXbin\n", b"no settings file found - will be created when "
              b"application closes\n", b"IDM_EXIT\n"]),
            (b"COM3\nbaudrate 115200\n", "close", ("COM3", "115200 bps"),
             ((ID_COM_SELECT, 4), (ID_BAUD_SELECT, 0)), b"COM5\nbaudrate 1200\nreconnect 1\n"
             b"chart 0 0 0 0 0 0\n",
             [b"Settings dir creation error - dir might already exist!\r\n" + path
              + b"\\Settings\r\n", b"valid settings found:\nCOM3\nbaudrate 115200\n",
              b"Selected COM 5\n", b"Selected baud rate: 1200 bps"]),
        ]
        for before, how, shown, choices, after, said in runs:
            with self.subTest(how=how):
                if before:
                    with open(settings, "wb") as f:
                        f.write(before)
                s.start().wait_ready()
                self.assertEqual((s.text(ID_COM_SELECT), s.text(ID_BAUD_SELECT)), shown)
                for ctrl, index in choices:
                    s.call("select", ctrl, index)
                self.assertEqual(s.leave(how), 0, "exit code of the program")
                with open(settings, "rb") as f:
                    self.assertEqual(f.read(), after, "settings file written when leaving")
                self.assert_console_in_order(s, [b"Application Title: LUM_RAX_COM "
                                                 + VERSION.encode() + b"\r\n\n\n"
                                                 b"FOPEN_MAX = 20\r\nszExePath: " + path + b"\n"]
                                             + said + [
                    b"save settings to file... \nsettings file created / overwritten:\n" + path
                    + b"\\Settings\\Lum_Rax.setup\n"
                    + re.sub(rb"reconnect 1\nchart .*\n", b"", after.replace(b"baudrate ", b""))])
                self.assertEqual(s.console().count(b"save settings"), 1)
                self.assertEqual(b"IDM_EXIT" in s.console(), how == "exit")
        self.assertEqual(sorted(os.listdir(s.work)), ["COMlog", "LUMRAXbin", "Settings"])

        # A chart left open where no screen is now (a monitor gone) opens on the main
        # window's screen, with its size and span; the next file has its new place.
        with open(settings, "wb") as f:
            f.write(b"COM5\nbaudrate 1200\nreconnect 1\nchart 5000 -4000 700 500 1 1\n")
        s.start().wait_ready()
        s.wait_console(b"chart window opened\n")
        x, y, w, h = map(int, s.call("chart")[0])
        self.assertTrue(0 <= x and x + w <= 1280 and 0 <= y and y + h <= 1024, (x, y, w, h))
        self.assertEqual(s.leave("close"), 0)
        with open(settings, "rb") as f:
            self.assertRegex(f.read(), rb"\nreconnect 1\nchart \d+ \d+ 700 500 1 1\n$")

    def test_page_controls_at_start_up(self):
        """The page as the program starts; COM Start with nothing behind COM15, then Help and
        About from the menu."""
        s = self.sandbox()
        com15 = os.path.join(s.prefix, "dosdevices", "com15")
        if os.path.lexists(com15):  # Wine may map COM15 to a port of its own
            os.unlink(com15)
        s.start().wait_ready()
        main, page = s.call("window")
        self.assertEqual(main[1:2] + main[4:6], ["LUM_RAX_COM", "1000", "660"],
                         "title and outer size of the main window")
        # The right-hand controls end at x = 960 and y = 571: the page must hold them.
        self.assertGreaterEqual((int(page[1]), int(page[2])), (960, 571), "page's client size")
        controls = s.call("list")
        self.assertEqual(page_rows(controls), [
            (cls, text, x, y, w, None if cls == "COMBOBOX" else h, WS_CHILD_VISIBLE
             | STYLES[style], cid) for cls, text, x, y, w, h, style, cid in PAGE])
        self.assertEqual(s.call("focus"), [[str(ID_COM_SELECT)]], "keyboard focus at start-up")

        # Nothing follows the window's size.
        s.call("post", WM_SYSCOMMAND, SC_MAXIMIZE, 0)
        harness.wait_until(lambda: int(s.call("window")[0][6]) & WS_MAXIMIZE, 10,
                           "the main window to be maximized")
        self.assertEqual([r[2:6] for r in s.call("list")], [r[2:6] for r in controls],
                         "control places after maximizing")

        s.call("click", ID_COM_START)
        self.assertEqual(s.box(), ["Error", "No COM Port available!", "1:OK"])
        self.assertEqual(s.text(ID_COM_START), "COM Start")
        s.call("post", WM_COMMAND, IDM_HELP, 0)
        self.assertEqual(s.box(), ["Help", HELP_TEXT, "1:OK"], "Help box")
        s.call("post", WM_COMMAND, IDM_ABOUT, 0)
        caption, text, buttons = s.box()
        self.assertEqual((caption, buttons), ("Help", "1:OK"), "About box")
        self.assertRegex(text, BANNER)
        self.assertEqual(s.text(STATUS_LEFT), text, "About text and status line")
        self.assertEqual(s.leave(), 0)
        self.assert_console_in_order(s, [text.encode() + b"\r\n", b"Opening COM15\n",
                                         b"Error opening COM15\n", b"IDM_HELP\n", b"IDM_ABOUT\n"])
        self.assertNotIn(b"Closing com port", s.console())


if __name__ == "__main__":
    unittest.main()
