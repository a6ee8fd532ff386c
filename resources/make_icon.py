#!/usr/bin/env python3
"""Draws the program icon, install.ico: one 32 x 32 image in 16 colours.

The picture is the front of a 9-pin serial plug: a metal flange with its
two screw holes, the D-shaped shell and the 5 + 4 pins.

    python3 make_icon.py [OUT.ico] [--png PREVIEW.png]

With no argument the icon is written next to this script.  The output
depends on nothing but this file, so running it again gives the same bytes.
"""
import os
import struct
import sys
import zlib

SIZE = 32

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0x80, 0x80, 0x80),
    (0xC0, 0xC0, 0xC0), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, DARK_YELLOW, NAVY, GREY, SILVER, YELLOW, WHITE = 0, 3, 4, 7, 8, 11, 15


def draw():
    """Returns (pixels, opaque): 32 rows of 32 palette indices, top row
    first, and the matching rows of True (drawn) / False (transparent)."""
    px = [[BLACK] * SIZE for _ in range(SIZE)]
    opaque = [[False] * SIZE for _ in range(SIZE)]

    def put(x, y, c):
        px[y][x] = c
        opaque[y][x] = True

    # Flange: a plate with clipped corners and a black edge.
    top, bottom = 6, 25
    for y in range(top, bottom + 1):
        for x in range(SIZE):
            corner = (y in (top, bottom)) and (x in (0, SIZE - 1))
            if corner:
                continue
            edge = y in (top, bottom) or x in (0, SIZE - 1)
            put(x, y, BLACK if edge else SILVER)
    # A highlight along the top and a shadow along the bottom of the plate.
    for x in range(1, SIZE - 1):
        put(x, top + 1, WHITE)
        put(x, bottom - 1, GREY)

    # Screw holes, one on each side.
    for cx in (2, SIZE - 4):
        for dy in range(2):
            for dx in range(2):
                put(cx + dx, 15 + dy, BLACK)

    # D-shaped shell: a trapezoid, wide at the top, narrow at the bottom.
    s_top, s_bottom = 9, 22
    rows = s_bottom - s_top
    for y in range(s_top, s_bottom + 1):
        slant = (y - s_top) * 3 // rows
        left, right = 4 + slant, SIZE - 5 - slant
        for x in range(left, right + 1):
            if y in (s_top, s_bottom) or x in (left, right):
                put(x, y, BLACK)
            elif y == s_top + 1 or x == left + 1:
                put(x, y, GREY)
            else:
                put(x, y, NAVY)

    # Pins: five on the upper row, four on the lower, each 2 x 2 with a
    # darker lower edge.
    def pin(x, y):
        put(x, y, YELLOW)
        put(x + 1, y, YELLOW)
        put(x, y + 1, DARK_YELLOW)
        put(x + 1, y + 1, DARK_YELLOW)

    for x in (7, 11, 15, 19, 23):
        pin(x, 12)
    for x in (9, 13, 17, 21):
        pin(x, 17)
    return px, opaque


def ico_bytes(px, opaque):
    """An .ico file with one 32 x 32, 4-bit image: the icon directory, one
    directory entry, then the image (BITMAPINFOHEADER with doubled height,
    palette, colour rows and mask rows, both bottom-up)."""
    xor = bytearray()
    for row in reversed(px):
        for x in range(0, SIZE, 2):
            xor.append((row[x] << 4) | row[x + 1])
    mask = bytearray()
    for row in reversed(opaque):
        bits = 0
        for x in range(SIZE):
            bits = (bits << 1) | (0 if row[x] else 1)
        mask += struct.pack('>I', bits)
    palette = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack('<IiiHHIIiiII', 40, SIZE, 2 * SIZE, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def png_bytes(px, opaque, scale=8):
    """A scaled RGBA preview, for looking at the drawing."""
    raw = bytearray()
    for y in range(SIZE):
        line = bytearray([0])
        for x in range(SIZE):
            r, g, b = PALETTE[px[y][x]]
            line += bytes((r, g, b, 255 if opaque[y][x] else 0)) * scale
        raw += bytes(line) * scale

    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body))

    ihdr = struct.pack('>IIBBBBB', SIZE * scale, SIZE * scale, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', ihdr) +
            chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + chunk(b'IEND', b''))


def main(argv):
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'install.ico')
    png = None
    args = list(argv)
    while args:
        a = args.pop(0)
        if a == '--png' and args:
            png = args.pop(0)
        elif a.startswith('-'):
            sys.stderr.write(__doc__)
            return 2
        else:
            out = a
    px, opaque = draw()
    with open(out, 'wb') as f:
        f.write(ico_bytes(px, opaque))
    if png:
        with open(png, 'wb') as f:
            f.write(png_bytes(px, opaque))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
