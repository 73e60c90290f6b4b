#!/usr/bin/env python3
"""Draws the application icon: a brown parcel with a green arrow pointing
down into it, 32x32 in the 16-colour VGA palette. Writes pelmora.ico."""
import struct
import sys

# The standard Windows 16-colour palette, as (R, G, B).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_YELLOW, GREEN, LIGHT_GREEN, WHITE, GREY = 0, 3, 2, 10, 15, 8
CLEAR = None


def draw():
    px = [[CLEAR] * 32 for _ in range(32)]

    def fill(x0, y0, x1, y1, colour):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                px[y][x] = colour

    # Parcel with a tape stripe, outlined in black.
    fill(4, 14, 27, 30, BLACK)
    fill(5, 15, 26, 29, DARK_YELLOW)
    fill(14, 15, 17, 29, GREY)
    fill(5, 19, 26, 19, BLACK)
    # Arrow: a shaft and a head pointing into the parcel.
    fill(13, 1, 18, 9, BLACK)
    fill(14, 2, 17, 9, LIGHT_GREEN)
    for row in range(7):
        y = 10 + row
        fill(8 + row, y, 23 - row, y, BLACK)
        if 9 + row <= 22 - row:
            fill(9 + row, y, 22 - row, y, GREEN if row > 3 else LIGHT_GREEN)
    return px


def icon_bytes(px):
    rows_xor, rows_and = [], []
    for y in range(31, -1, -1):  # bitmaps are stored bottom-up
        row = px[y]
        nibbles = [0 if c is CLEAR else c for c in row]
        rows_xor.append(bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, 32, 2)))
        mask = 0
        for x, c in enumerate(row):
            if c is CLEAR:
                mask |= 1 << (31 - x)
        rows_and.append(struct.pack(">I", mask))
    header = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    image = header + palette + b"".join(rows_xor) + b"".join(rows_and)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", 32, 32, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "pelmora.ico"
    with open(out, "wb") as f:
        f.write(icon_bytes(draw()))
