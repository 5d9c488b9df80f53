#!/usr/bin/env python3
"""Draws the Velunor VPN icon (a shield with a V) into velunor.ico: 16, 32 and 48 px
as 32-bit bitmaps, 256 px as PNG; and that PNG alone into velunor.png beside it (the
Linux desktop's icon). Standard library only; run it after changing the art."""
import math
import struct
import sys
import zlib

BLUE_TOP = (0x3a, 0xa6, 0xff)
BLUE_BOTTOM = (0x10, 0x5c, 0xc4)
EDGE = (0x0b, 0x3d, 0x85)


def half_width(y):
    if y < 0.45:
        return 0.40
    t = min(1.0, (y - 0.45) / 0.49)
    return 0.40 * math.sqrt(max(0.0, 1.0 - t ** 1.6)) * (1.0 - t) ** 0.35


def top_of(x):
    return 0.07 + 0.07 * (x / 0.40) ** 2


def inside_shield(x, y, inset=0.0):
    if y > 0.94 - inset:
        return False
    return y >= top_of(x) + inset and abs(x) <= half_width(y) - inset


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def in_v(x, y):
    d = min(segment_distance(x, y, -0.19, 0.30, 0.0, 0.70), segment_distance(x, y, 0.19, 0.30, 0.0, 0.70))
    return d < 0.065


def pixel(size, px, py, samples=4):
    """RGBA of one pixel, supersampled."""
    acc = [0.0, 0.0, 0.0, 0.0]
    for sy in range(samples):
        for sx in range(samples):
            x = (px + (sx + 0.5) / samples) / size - 0.5
            y = (py + (sy + 0.5) / samples) / size
            if not inside_shield(x, y):
                continue
            if in_v(x, y):
                colour = (255, 255, 255)
            elif inside_shield(x, y, inset=0.045):
                t = y
                colour = tuple(int(a + (b - a) * t) for a, b in zip(BLUE_TOP, BLUE_BOTTOM))
            else:
                colour = EDGE
            for i in range(3):
                acc[i] += colour[i]
            acc[3] += 255
    n = samples * samples
    alpha = acc[3] / n
    if alpha == 0:
        return (0, 0, 0, 0)
    covered = acc[3] / 255
    return tuple(int(c / covered) for c in acc[:3]) + (int(round(alpha)),)


def render(size):
    return [[pixel(size, x, y) for x in range(size)] for y in range(size)]


def bmp_entry(size, rows):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def png_entry(size, rows):
    raw = b"".join(b"\x00" + b"".join(bytes(p) for p in row) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main(path):
    images = []
    for size in (16, 32, 48, 256):
        rows = render(size)
        images.append((size, png_entry(size, rows) if size == 256 else bmp_entry(size, rows)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size == 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(path, "wb") as f:
        f.write(out)
    with open(path[: -len(".ico")] + ".png", "wb") as f:
        f.write(images[-1][1])


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "velunor.ico")
