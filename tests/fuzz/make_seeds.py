#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into seeds/NAME/ (run it after changing a
target's input format). Each seed is a case worth starting from, named for what it holds."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
STX, ETX = b"\x02", b"\x03"

# ---- receive pump: baud row, then ops (see fuzz_receive_pump.cpp)
ROW_38400, ROW_1200, ROW_115200, ROW_NONE = 6, 0, 8, 9


def chunk(data):
    out = b""
    for i in range(0, len(data), 255):
        part = data[i:i + 255]
        out += bytes([0, len(part)]) + part
    return out if data else bytes([0, 0])


def pause(ticks):
    out = b""
    while ticks > 0:
        n = min(ticks, 256)
        out += bytes([1, n - 1])
        ticks -= n
    return out


def bulk(count, fill, etx):
    words = (count - 1) // 8
    return bytes([6 | (8 if etx else 0), words >> 8, words & 0xFF, fill])


def reply(*lines):
    return STX + b"".join(l.encode("latin-1") + b"\n\r" for l in lines) + ETX


REPLIES = {
    "firmware": reply("Lum_Rax_Gen FW V2.07"),
    "bootloader": reply("Bootloader for ATmega328P"),
    "identity": reply("Lum_Rax, HW Rev 3, 16MHz", "Lum_Rax_Gen FW V2.07"),
    "pwm_active": reply("PWM_active = 1"),
    "pwm_ctl": reply("pwm_ctl_active = 0"),
    "frequency": reply("frequency 125.00 kHz period 8.00 us duty 50.0 %"),
    "volt": reply("VOLT: 45.1 Vp ISNS: 1.25 Ap"),
    "search_always": reply("pwm_search_always = A5"),
    "limits": reply("fmax: 250 kHz", "fmin: 100 kHz"),
    "vmin": reply("pwm_search_Vmin: 24.00 V"),
    "temperature": reply("TMP101 temp: 31.5 C"),
    "supply": reply("VINF: 24.10 V"),
    "current_power": reply("ADC2, IANT 0.417 A", "Power: 10.05 W"),
    "threshold": reply("alarm threshold 75 C"),
    "only_pcb": reply("only PCB"),
    "huge_numbers": reply("VOLT: 1e999 Vp ISNS: -1e999 Ap", "PWM_active = 99999999999999"),
    "degree": reply("threshold \xb0C 1e38"),
}


def pump_seeds():
    seeds = {}
    for name, r in REPLIES.items():
        seeds["reply_" + name] = bytes([ROW_38400]) + chunk(r) + pause(12)
    # One reply in pieces with pauses below the time-out, at both ends of the baud table.
    r = REPLIES["current_power"]
    for row, timeout in ((ROW_1200, 50), (ROW_115200, 10)):
        pieces = chunk(r[:7]) + pause(timeout - 1) + chunk(r[7:20]) + pause(3) + chunk(r[20:])
        seeds["split_reply_row%d" % row] = bytes([row]) + pieces + pause(timeout + 1)
    seeds["no_etx_then_reply"] = (bytes([ROW_38400]) + chunk(b"\x02VINF: 1") + pause(20) +
                                  chunk(REPLIES["supply"]) + pause(12))
    # The next reply starts on the very tick the first one is due.
    seeds["back_to_back"] = (bytes([ROW_38400]) + chunk(REPLIES["volt"]) + pause(10) +
                             chunk(REPLIES["temperature"]) + pause(12))
    seeds["a_replies"] = bytes([ROW_38400]) + b"".join(
        chunk(b"A%d" % i + ETX) + pause(12) for i in range(9))
    seeds["startup_timeout"] = bytes([ROW_NONE]) + chunk(REPLIES["pwm_active"]) + pause(6)
    seeds["reply_over_32k"] = bytes([ROW_38400]) + bulk(32769, ord("x"), True) + pause(12) + chunk(
        REPLIES["supply"]) + pause(12)
    flash = bytes(range(256)) + b"\xff" * 64
    seeds["flash_stream"] = bytes([ROW_38400, 2]) + chunk(flash) + pause(12) + chunk(
        REPLIES["supply"]) + pause(12)
    seeds["flash_stream_over_128k"] = bytes([ROW_38400, 2]) + bulk(131201, 0xFF, False) + pause(12)
    seeds["flash_stream_then_read"] = bytes([ROW_38400, 2]) + chunk(flash) + bytes([3]) + chunk(
        REPLIES["pwm_active"]) + pause(12)
    seeds["bootloader_letters"] = bytes([ROW_38400, 4]) + b"".join(
        chunk(l) + pause(1) for l in (b"w", b"n", b"c", b"wn", b"e")) + pause(501) + bytes([4])
    seeds["bootloader_over_32k"] = bytes([ROW_38400, 4]) + bulk(40001, ord("w"), False) + pause(2) + bytes([4])
    seeds["log_on"] = bytes([ROW_38400, 5]) + chunk(REPLIES["identity"]) + pause(12)
    seeds["com_stop_start"] = bytes([ROW_38400]) + chunk(REPLIES["firmware"][:5]) + bytes([7]) + chunk(
        REPLIES["supply"]) + bytes([7]) + pause(12) + chunk(REPLIES["volt"]) + pause(12)
    seeds["stx_etx_only"] = bytes([ROW_38400]) + chunk(STX + ETX) + pause(12) + chunk(ETX) + pause(12)
    seeds["nul_in_reply"] = bytes([ROW_38400]) + chunk(b"\x02VINF: 2\x00Power: 3 W\n\r\x03") + pause(12)
    return seeds


# ---- settings file: the file's bytes
def settings_seeds():
    cases = {
        "saved": b"COM15\nbaudrate 38400\n",
        "com3_115200": b"COM3\nbaudrate 115200\n",
        "com40_1200": b"COM40\nbaudrate 1200",
        "com0": b"COM0\nbaudrate 38400\n",
        "com41": b"COM41\nbaudrate 38400\n",
        "baud_100": b"COM7\nbaudrate 100\n",
        "baud_not_a_row": b"COM7\nbaudrate 50000\n",
        "crlf": b"COM15\r\nbaudrate 38400\r\n",
        "one_line": b"COM1 baudrate 14400",
        "blanks": b"COM 5\n\n\tbaudrate   9600\n",
        "signs": b"COM+2\nbaudrate +4800\n",
        "negative": b"COM-1\nbaudrate -38400\n",
        "overflow_com": b"COM4294967297\nbaudrate 38400\n",
        "overflow_baud": b"COM5\nbaudrate 99999999999999999999\n",
        "empty": b"",
        "swapped": b"baudrate 38400\nCOM5\n",
        "only_com": b"COM5\n",
        "wrong_word": b"COM5\nbaud 38400\n",
        "lower_case": b"com5\nbaudrate 9600\n",
        "hex": b"COM0x10\nbaudrate 0x9600\n",
        "float": b"COM15\nbaudrate 3.84e4\n",
        "nul_first": b"\x00COM5\nbaudrate 9600\n",
        "nul_inside": b"COM5\x00\nbaudrate 9600\n",
        "trailing": b"COM12\nbaudrate 19200\nextra line\n",
        "long_file": b"COM9\nbaudrate 57600\n" + b"#" * 700,
        "late_value": b" " * 505 + b"COM9\nbaudrate 57600\n",
    }
    return cases


# ---- register console: ops (see fuzz_reg_console.cpp)
def typed(text):
    return bytes([0, len(text)]) + text


POLL, READ, WRITE, COM, LOG = b"\x01", b"\x02", b"\x03", b"\x04", b"\x05"


def reg_seeds():
    return {
        "read": COM + typed(b"Wo") + READ,
        "read_empty": COM + typed(b"") + READ,
        "write": COM + typed(b"Wk 24.5") + WRITE,
        "poll_line": COM + typed(b"Wo\r") + POLL,
        "poll_lf_and_more": COM + typed(b"Wo\nWc\r") + POLL,
        "poll_break_first": COM + typed(b"\rWo") + POLL,
        "poll_unfinished": COM + typed(b"Wo") + POLL,
        "poll_blank_first": COM + typed(b" Wo\r") + POLL,
        "poll_brace_first": COM + typed(b"{x\r") + POLL,
        "poll_high_byte": COM + typed(b"\x80Wo\r") + POLL,
        "flash_read": COM + typed(b"Mr") + READ + typed(b"Wr") + READ,
        "flash_poll": COM + typed(b"Mr 0 100\r") + POLL,
        "read_59": COM + typed(b"W" * 59) + READ,
        "read_60": COM + typed(b"W" * 60) + READ,
        "read_63": COM + typed(b"W" * 63) + READ,
        "write_123": COM + typed(b"W" * 123) + WRITE,
        "write_124": COM + typed(b"W" * 124) + WRITE,
        "write_200": COM + typed(b"W" * 200) + WRITE,
        "poll_too_long": COM + typed(b"W" * 58 + b"\r" + b"x" * 3) + POLL + POLL,
        "closed": typed(b"Wo\r") + READ + WRITE + POLL,
        "log": LOG + COM + typed(b"Wo") + READ + WRITE + typed(b"Sv\r") + POLL,
        "log_off_again": LOG + COM + typed(b"Wo") + READ + LOG + READ,
        "reopen": COM + typed(b"Wo") + READ + COM + READ + COM + READ,
        "percent": COM + typed(b"%s%n%x\r") + POLL + typed(b"%s%n") + READ + WRITE,
    }


def write(name, seeds):
    folder = os.path.join(HERE, "seeds", name)
    os.makedirs(folder, exist_ok=True)
    for old in os.listdir(folder):
        os.remove(os.path.join(folder, old))
    for seed, data in seeds.items():
        with open(os.path.join(folder, seed), "wb") as f:
            f.write(data)


def main():
    write("receive_pump", pump_seeds())
    write("settings", settings_seeds())
    write("reg_console", reg_seeds())
    return 0


if __name__ == "__main__":
    sys.exit(main())
