#!/usr/bin/env python3
"""Draws the program icon and writes resources/lum_rax.ico.

One drawing (a blue tile with a white wave and a yellow bolt) is rendered at every
size the icon holds: 8-bit colour at 64, 48, 32, 24 and 16 pixels and 32-bit colour
at 256, 64, 48, 32 and 24 pixels. The 256-pixel image is stored as PNG, the others
as BMP with an AND mask. Only the standard library is used and the output is the
same on every run.

    python3 tools/make_icons.py [output.ico]
"""

import math
import os
import struct
import sys
import zlib

SIZES_8BIT = (64, 48, 32, 24, 16)
SIZES_32BIT = (256, 64, 48, 32, 24)

BLUE_TOP = (45, 108, 223)
BLUE_BOTTOM = (20, 52, 120)
WHITE = (255, 255, 255)
YELLOW = (255, 210, 31)

# The bolt, in unit coordinates (0,0 top left, 1,1 bottom right).
BOLT = ((0.58, 0.08), (0.26, 0.56), (0.47, 0.56), (0.38, 0.92), (0.74, 0.40), (0.53, 0.40),
        (0.66, 0.08))


def inside_tile(x, y):
    """A rounded square with a small margin."""
    margin, radius = 0.04, 0.18
    lo, hi = margin + radius, 1.0 - margin - radius
    dx = max(lo - x, 0.0, x - hi)
    dy = max(lo - y, 0.0, y - hi)
    return dx * dx + dy * dy <= radius * radius


def on_wave(x, y):
    """A sine stroke across the tile, its width measured across the curve."""
    k = 2.0 * math.pi * 1.5
    f = 0.5 + 0.16 * math.sin(k * (x - 0.1))
    slope = 0.16 * k * math.cos(k * (x - 0.1))
    return abs(y - f) / math.sqrt(1.0 + slope * slope) <= 0.045


def inside_bolt(x, y):
    inside = False
    n = len(BOLT)
    for i in range(n):
        x1, y1 = BOLT[i]
        x2, y2 = BOLT[(i + 1) % n]
        if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
            inside = not inside
    return inside


def sample(x, y):
    """The drawing at one point: (r, g, b, a) with a in 0..1."""
    if inside_bolt(x, y):
        return YELLOW + (1.0,)
    if not inside_tile(x, y):
        return (0, 0, 0, 0.0)
    if on_wave(x, y):
        return WHITE + (1.0,)
    t = y
    return tuple(round(a + (b - a) * t) for a, b in zip(BLUE_TOP, BLUE_BOTTOM)) + (1.0,)


def render(size):
    """Rows of (r, g, b, a) bytes, top row first, antialiased by supersampling."""
    grid = 4 if size <= 64 else 3
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(grid):
                for sx in range(grid):
                    r, g, b, a = sample((px + (sx + 0.5) / grid) / size,
                                        (py + (sy + 0.5) / grid) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            n = grid * grid
            alpha = acc[3] / n
            if acc[3] > 0:
                rgb = [round(c / acc[3]) for c in acc[:3]]
            else:
                rgb = [0, 0, 0]
            row.append((rgb[0], rgb[1], rgb[2], round(alpha * 255)))
        rows.append(row)
    return rows


def palette():
    """A 6x6x6 colour cube, a ramp of the tile's blues and a grey ramp: 256 colours."""
    colours = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    for i in range(24):
        t = i / 23.0
        colours.append(tuple(round(a + (b - a) * t) for a, b in zip(BLUE_TOP, BLUE_BOTTOM)))
    for i in range(16):
        v = round(17 + i * 238 / 15)
        colours.append((v, v, v))
    assert len(colours) == 256
    return colours


def mask_rows(rows):
    """The AND mask, bottom row first: 1 where the image is transparent."""
    size = len(rows)
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bits
    return bytes(out)


def bmp_header(size, bits, image_bytes, colours):
    return struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, image_bytes, 0, 0,
                       colours, 0)


def bmp_8bit(rows):
    pal = palette()
    size = len(rows)
    stride = (size + 3) & ~3
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, (r, g, b, a) in enumerate(row):
            if a >= 128:
                line[x] = min(range(256), key=lambda i: (pal[i][0] - r) ** 2 +
                              (pal[i][1] - g) ** 2 + (pal[i][2] - b) ** 2)
        pixels += line
    mask = mask_rows(rows)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in pal)
    return bmp_header(size, 8, len(pixels) + len(mask), 256) + table + bytes(pixels) + mask


def bmp_32bit(rows):
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask = mask_rows(rows)
    return bmp_header(len(rows), 32, len(pixels) + len(mask), 0) + bytes(pixels) + mask


def png(rows):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    size = len(rows)
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def build_ico():
    images = []  # (size, bits, data)
    cache = {}
    for size in SIZES_8BIT:
        cache.setdefault(size, render(size))
        images.append((size, 8, bmp_8bit(cache[size])))
    for size in SIZES_32BIT:
        cache.setdefault(size, render(size))
        data = png(cache[size]) if size >= 256 else bmp_32bit(cache[size])
        images.append((size, 32, data))

    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, bits, data in images:
        edge = 0 if size >= 256 else size  # 0 stands for 256
        out += struct.pack("<BBBBHHII", edge, edge, 0, 0, 1, bits, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    return bytes(out)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "resources", "lum_rax.ico")
    with open(target, "wb") as f:
        f.write(build_ico())


if __name__ == "__main__":
    main()
