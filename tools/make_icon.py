#!/usr/bin/env python3
"""Draws the program's icon (16, 32 and 48 pixels) and writes it as a .ico file.

The icon is a blue rounded square with a white downward arrow into a tray: "add files".
It is drawn here so that the repository holds its source, not a binary.
"""
import struct
import sys

BLUE = (0x1f, 0x5f, 0xbf, 0xff)
DARK = (0x10, 0x3a, 0x80, 0xff)
WHITE = (0xff, 0xff, 0xff, 0xff)
CLEAR = (0, 0, 0, 0)


def pixel(size, x, y):
    """Colour at (x, y), y from the top, in a size x size icon, drawn in unit coordinates."""
    u, v = (x + 0.5) / size, (y + 0.5) / size
    radius = 0.18
    cu, cv = min(max(u, radius), 1 - radius), min(max(v, radius), 1 - radius)
    if (u - cu) ** 2 + (v - cv) ** 2 > radius ** 2:
        return CLEAR
    edge = 1.5 / size
    if (u - cu) ** 2 + (v - cv) ** 2 > (radius - edge) ** 2 or min(u, v, 1 - u, 1 - v) < edge:
        return DARK
    shaft = abs(u - 0.5) < 0.08 and 0.16 < v < 0.52
    head = 0.46 <= v < 0.68 and abs(u - 0.5) < (0.68 - v) * 1.1
    tray = (0.74 < v < 0.84 and 0.2 < u < 0.8) or (0.6 < v < 0.84 and (0.2 < u < 0.28 or 0.72 < u < 0.8))
    return WHITE if shaft or head or tray else BLUE


def image(size):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    for y in reversed(range(size)):  # bottom-up
        rows.append(b''.join(bytes((b, g, r, a)) for r, g, b, a in (pixel(size, x, y) for x in range(size))))
    mask_row = ((size + 31) // 32) * 4
    mask = bytes(mask_row * size)  # alpha decides; the AND mask stays clear
    return header + b''.join(rows) + mask


def main(path):
    sizes = (16, 32, 48)
    images = [image(s) for s in sizes]
    out = struct.pack('<HHH', 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for size, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, 'wb') as f:
        f.write(out + b''.join(images))


if __name__ == '__main__':
    main(sys.argv[1])
