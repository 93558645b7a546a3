"""The pace of a traced firmware update: lines per second from the first record on the wire to
the device's end, against the protocol's bound of three 10 ms ticks a line (33.3 lines/s), and
how far apart the records went out (30 ms is three ticks), with the device's reply time (from a
record to its letter) in each group: a letter that comes later than the next tick costs its
line a fourth tick. A line that took longer although its letter came early had a late tick.

The device's own time is split out: per line, from the record to its letter (the record on the
wire at the rate, the device's processing and page write, the letter on the wire). The
program's bound gives each line the ticks that time leaves it: the letter is read on the first
tick after it came, the next tick, silent, ends the reply and sends the next line; three ticks
when the letter comes within one tick. The last line ends with its letter."""

import math

BOUND = 100 / 3
TICK_MS = 10
# A record goes out on a tick; a letter within this time is surely read on the next one (the
# trace's times are the simulator's, to the millisecond).
EARLY_LETTER_MS = 8
# The window program echoes every line after the first 1001 on its console.
ECHO_FROM = 1001


def summarize(traffic):
    """traffic: (seconds, "PC>dev" or "dev>PC", bytes) per traced chunk; None when the trace
    holds no whole transfer."""
    records = [t for t in traffic if t[1] == "PC>dev" and t[2][:1] == b":"]
    letters = [t for t in traffic if t[1] == "dev>PC" and t[2] in (b"w", b"n")]
    if not records or not letters or letters[-1][2] != b"n" or len(letters) != len(records):
        return None
    seconds = letters[-1][0] - records[0][0]
    lines = len(records)
    groups = {}
    slow = {"late_letter": 0, "late_tick": 0}
    late_ticks = [0, 0]  # after a line of the first ECHO_FROM, after a later one
    device_ms = (letters[-1][0] - records[-1][0]) * 1000
    bound_ms = device_ms
    for k in range(1, lines):
        gap_ms = round((records[k][0] - records[k - 1][0]) * 1000 / 10) * 10
        reply_ms = (letters[k - 1][0] - records[k - 1][0]) * 1000
        device_ms += reply_ms
        bound_ms += TICK_MS * (max(1, math.ceil(reply_ms / TICK_MS)) + 2)
        groups.setdefault(gap_ms, []).append(reply_ms)
        if gap_ms > 30:
            late = reply_ms <= EARLY_LETTER_MS
            slow["late_tick" if late else "late_letter"] += 1
            late_ticks[k > ECHO_FROM] += late
    return {
        "lines": lines, "seconds": round(seconds, 3), "lines_per_s": round(lines / seconds, 2),
        "percent_of_bound": round(lines / seconds / BOUND * 100, 1), **slow,
        # The device's time from records to letters, and the program's bound with it.
        "device_seconds": round(device_ms / 1000, 3),
        "program_bound_seconds": round(bound_ms / 1000, 3),
        "percent_of_program_bound": round(bound_ms / 1000 / seconds * 100, 1),
        # The share of late ticks among the first ECHO_FROM lines and among the rest.
        "late_tick_percent": [round(late_ticks[0] / min(lines - 1, ECHO_FROM) * 100, 1),
                              round(late_ticks[1] / (lines - 1 - ECHO_FROM) * 100, 1)
                              if lines - 1 > ECHO_FROM else None],
        "gaps": {f"{gap} ms": {"lines": len(r), "reply_ms_min": round(min(r), 2),
                               "reply_ms_max": round(max(r), 2)}
                 for gap, r in sorted(groups.items())},
    }


def gap_lines(r):
    """The gap groups and the slow lines as text lines."""
    return [f"    the device's own time {r['device_seconds']:.2f} s; the program's bound with it "
            f"{r['program_bound_seconds']:.2f} s: {r['percent_of_program_bound']:.1f} % of it"] + [f"    {g['lines']:5d} lines {gap} apart, device reply "
            f"{g['reply_ms_min']:.1f}..{g['reply_ms_max']:.1f} ms after the record"
            for gap, g in r["gaps"].items()] + [
        f"    slower than three ticks: {r['late_letter']} lines after a letter later than "
        f"{EARLY_LETTER_MS} ms, {r['late_tick']} after an earlier one (a late tick)"]
