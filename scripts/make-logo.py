#!/usr/bin/env python3
"""Draws the window's logo, app/logo.bmp: a 250 x 289, 24-bit bitmap.

A globe with its meridians and parallels, an arrow rising from it (a file going up to the server) and a
blue, white and red band at the foot. Plain Python, no imaging library: the picture is computed pixel
by pixel, so the same script always gives the same bytes.

    scripts/make-logo.py [output]        (default: app/logo.bmp beside this script's project)
"""
import math
import os
import struct
import sys

WIDTH, HEIGHT = 250, 289

WHITE = (255, 255, 255)
NAVY = (20, 40, 110)
SEA = (40, 110, 190)
LINE = (210, 230, 250)
RED = (200, 30, 45)
BLUE = (0, 60, 160)


def colour_at(x, y):
    # Tricolour band at the foot.
    if y >= 249:
        if y < 253 or y >= 285:
            return NAVY
        third = WIDTH / 3
        return BLUE if x < third else WHITE if x < 2 * third else RED

    # The arrow: a shaft and a head above the globe's centre.
    cx, cy, r = 125.0, 150.0, 88.0
    if 113 <= x <= 137 and 40 <= y <= 170:
        return RED
    if 18 <= y < 62 and abs(x - cx) <= (y - 18) * 0.9:
        return RED

    # The globe: a disc with a rim, three parallels and three meridians.
    dx, dy = x - cx, y - cy
    d = math.hypot(dx, dy)
    if d <= r:
        if d >= r - 5:
            return NAVY
        for py in (-45.0, 0.0, 45.0):
            if abs(dy - py) < 1.6:
                return LINE
        half = math.sqrt(max(r * r - dy * dy, 0.0))
        for k in (-0.6, 0.0, 0.6):
            if abs(dx - k * half) < 1.6:
                return LINE
        return SEA
    return WHITE


def bitmap():
    row_size = (WIDTH * 3 + 3) & ~3
    pixels = bytearray()
    for y in range(HEIGHT - 1, -1, -1):  # rows bottom-up
        row = bytearray()
        for x in range(WIDTH):
            r, g, b = colour_at(x, y)
            row += bytes((b, g, r))
        row += b"\0" * (row_size - len(row))
        pixels += row
    header = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 24, 0, len(pixels), 3780, 3780, 0, 0)
    offset = 14 + len(header)
    file_header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return file_header + header + pixels


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "app", "logo.bmp")
    with open(out, "wb") as f:
        f.write(bitmap())


if __name__ == "__main__":
    main()
