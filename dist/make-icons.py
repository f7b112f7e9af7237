#!/usr/bin/env python3
"""Draws the application icon, a small smiling computer, as PNGs at the sizes the desktop
asks for: dist/make-icons.py [OUT_DIR] writes OUT_DIR/glimmet-bridge-N.png (default dist/icons).
Standard library only: shapes are signed distances, sampled 4 x 4 per pixel."""
import math
import os
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 128, 256)
INK = (46, 48, 62, 255)
CASE = (236, 230, 212, 255)
FOOT = (214, 206, 184, 255)
SCREEN = (36, 72, 92, 255)
GLOW = (178, 244, 214, 255)
LED = (96, 206, 120, 255)


def rounded_box(x0, y0, x1, y1, r):
    cx, cy, hx, hy = (x0 + x1) / 2, (y0 + y1) / 2, (x1 - x0) / 2, (y1 - y0) / 2

    def distance(x, y):
        qx, qy = abs(x - cx) - hx + r, abs(y - cy) - hy + r
        return math.hypot(max(qx, 0), max(qy, 0)) + min(max(qx, qy), 0) - r

    return distance


def smile(cx, cy, radius, width, start, end):
    def distance(x, y):
        angle = math.degrees(math.atan2(y - cy, x - cx))
        if start <= angle <= end:
            return abs(math.hypot(x - cx, y - cy) - radius) - width / 2
        ends = [(cx + radius * math.cos(math.radians(a)), cy + radius * math.sin(math.radians(a))) for a in (start, end)]
        return min(math.hypot(x - ex, y - ey) for ex, ey in ends) - width / 2

    return distance


def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


# Painted in order on a 1 x 1 canvas, y pointing down; each outlined part is its ink shape
# with the fill inset by the outline's width.
LINE = 0.035
SHAPES = [
    (rounded_box(0.22, 0.80, 0.78, 0.95, 0.04), INK),
    (rounded_box(0.22 + LINE, 0.80, 0.78 - LINE, 0.95 - LINE, 0.02), FOOT),
    (rounded_box(0.16, 0.04, 0.84, 0.86, 0.08), INK),
    (rounded_box(0.16 + LINE, 0.04 + LINE, 0.84 - LINE, 0.86 - LINE, 0.06), CASE),
    (rounded_box(0.26, 0.13, 0.74, 0.55, 0.06), INK),
    (rounded_box(0.28, 0.15, 0.72, 0.53, 0.05), SCREEN),
    (rounded_box(0.37, 0.24, 0.42, 0.34, 0.02), GLOW),
    (rounded_box(0.58, 0.24, 0.63, 0.34, 0.02), GLOW),
    (smile(0.5, 0.33, 0.12, 0.045, 30, 150), GLOW),
    (rounded_box(0.50, 0.66, 0.74, 0.70, 0.015), INK),
    (circle(0.30, 0.68, 0.025), LED),
]


def render(size, samples=4):
    rows = []
    for py in range(size):
        row = bytearray([0])  # PNG filter type "none"
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(samples):
                for sx in range(samples):
                    x, y = (px + (sx + 0.5) / samples) / size, (py + (sy + 0.5) / samples) / size
                    colour = None
                    for distance, fill in SHAPES:
                        if distance(x, y) <= 0:
                            colour = fill
                    if colour:
                        a = colour[3] / 255
                        for i in range(3):
                            acc[i] += colour[i] * a
                        acc[3] += a
            n = samples * samples
            alpha = acc[3] / n
            rgb = [round(acc[i] / acc[3]) if acc[3] else 0 for i in range(3)]
            row += bytes(rgb + [round(alpha * 255)])
        rows.append(bytes(row))
    return b"".join(rows)


def png(size, pixels):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(pixels, 9)) + chunk(b"IEND", b"")


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "icons")
    os.makedirs(out, exist_ok=True)
    for size in SIZES:
        with open(os.path.join(out, f"glimmet-bridge-{size}.png"), "wb") as f:
            f.write(png(size, render(size)))


if __name__ == "__main__":
    main()
