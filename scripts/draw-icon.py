#!/usr/bin/env python3
"""Draws resources/Calmlane.ico: a blue shield carrying a white five-pointed star.

Pure Python (no imaging library): each size is rasterised with 4x4 supersampling and stored as a
32-bit image (BMP entries for the small sizes, PNG for 256). Run it again after changing the drawing."""
import math
import os
import struct
import zlib

SIZES = (16, 20, 24, 32, 40, 48, 64, 256)
SAMPLES = 4


def shield(x, y):
    """Unit-square shield: flat top with rounded corners, sides curving to a point at the bottom."""
    if y < 0.06 or y > 0.96:
        return False
    half = 0.40
    if y < 0.55:
        w = half
    else:
        w = 0.5 - side_x(y)
    if abs(x - 0.5) > w:
        return False
    r = 0.10  # rounded top corners
    cx = 0.5 - half + r if x < 0.5 else 0.5 + half - r
    if y < 0.06 + r and abs(x - 0.5) > half - r:
        return (x - cx) ** 2 + (y - 0.06 - r) ** 2 <= r * r
    return True


def side_x(y):
    """Left side of the lower shield: a quadratic curve from (0.10, 0.55) bending down to the point (0.5, 0.96)."""
    lo, hi = 0.0, 1.0
    for _ in range(30):
        s = (lo + hi) / 2
        ys = (1 - s) ** 2 * 0.55 + 2 * s * (1 - s) * 0.88 + s * s * 0.96
        if ys < y:
            lo = s
        else:
            hi = s
    s = (lo + hi) / 2
    return (1 - s) ** 2 * 0.10 + 2 * s * (1 - s) * 0.10 + s * s * 0.5


def star_polygon(cx, cy, outer, inner):
    pts = []
    for i in range(10):
        radius = outer if i % 2 == 0 else inner
        a = -math.pi / 2 + i * math.pi / 5
        pts.append((cx + radius * math.cos(a), cy + radius * math.sin(a)))
    return pts


STAR = star_polygon(0.5, 0.47, 0.25, 0.10)


def inside(poly, x, y):
    hit = False
    j = len(poly) - 1
    for i in range(len(poly)):
        xi, yi = poly[i]
        xj, yj = poly[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            hit = not hit
        j = i
    return hit


def render(size):
    """Rows of (b, g, r, a) top to bottom."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            cover = star = 0
            shade = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) / size
                    y = (py + (sy + 0.5) / SAMPLES) / size
                    if shield(x, y):
                        cover += 1
                        shade += y
                        if inside(STAR, x, y):
                            star += 1
            n = SAMPLES * SAMPLES
            if cover == 0:
                row.append((0, 0, 0, 0))
                continue
            depth = shade / cover  # darker towards the point
            base = (int(200 - 90 * depth), int(110 - 60 * depth), int(30 - 10 * depth))
            f = star / cover
            b = round(base[0] * (1 - f) + 255 * f)
            g = round(base[1] * (1 - f) + 244 * f)
            r = round(base[2] * (1 - f) + 214 * f)
            row.append((b, g, r, round(255 * cover / n)))
        rows.append(row)
    return rows


def bmp_entry(size, rows):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes(p) for row in reversed(rows) for p in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytes(mask_stride * size)  # alpha channel carries transparency
    return header + pixels + mask


def png_entry(size, rows):
    raw = b"".join(b"\x00" + b"".join(bytes((r, g, b, a)) for (b, g, r, a) in row) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def main():
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, png_entry(size, rows) if size >= 256 else bmp_entry(size, rows)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    directory = b""
    for size, data in images:
        dim = 0 if size >= 256 else size
        directory += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += directory + b"".join(data for _, data in images)
    target = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources", "Calmlane.ico")
    with open(target, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
