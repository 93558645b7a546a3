"""The pace of a traced firmware update: lines per second from the first record on the wire to
the device's end, against the protocol's bound of three 10 ms ticks a line (33.3 lines/s), and
how far apart the records went out (30 ms is three ticks), with the device's reply time (from a
record to its letter) in each group: a letter that comes later than the next tick costs its
line a fourth tick. A line that took longer although its letter came early had a late tick."""

BOUND = 100 / 3
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
    for k in range(1, lines):
        gap_ms = round((records[k][0] - records[k - 1][0]) * 1000 / 10) * 10
        reply_ms = (letters[k - 1][0] - records[k - 1][0]) * 1000
        groups.setdefault(gap_ms, []).append(reply_ms)
        if gap_ms > 30:
            late = reply_ms <= EARLY_LETTER_MS
            slow["late_tick" if late else "late_letter"] += 1
            late_ticks[k > ECHO_FROM] += late
    return {
        "lines": lines, "seconds": round(seconds, 3), "lines_per_s": round(lines / seconds, 2),
        "percent_of_bound": round(lines / seconds / BOUND * 100, 1), **slow,
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
    return [f"    {g['lines']:5d} lines {gap} apart, device reply "
            f"{g['reply_ms_min']:.1f}..{g['reply_ms_max']:.1f} ms after the record"
            for gap, g in r["gaps"].items()] + [
        f"    slower than three ticks: {r['late_letter']} lines after a letter later than "
        f"{EARLY_LETTER_MS} ms, {r['late_tick']} after an earlier one (a late tick)"]
