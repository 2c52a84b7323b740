#!/usr/bin/env python3
"""Writes MOZ files of real cjpeg tiles for the picture tools' benchmark into
the folder given:
  picture-2k.moz    2048 x 2048, 1,024 tiles: a painted landscape with fine
                    texture, each 64-pixel tile encoded by cjpeg -quality 85
  picture-8k.moz    8192 x 8192, 16,384 tiles: the same tiles, 4 x 4 times over
  picture-32k.moz   32767 x 32767, 262,144 tiles: 16 x 16 times over, the right
                    column and bottom row cut to 63 pixels and encoded as such
In the larger pictures each 2048-pixel stretch of a row of tiles is taken from
further down the landscape than the one before, so a row does not repeat
within a few hundred tiles, as a real picture's would not: the compressor
finds no matches a real picture would not offer.
Needs python3 and cjpeg (Debian: libjpeg-turbo-progs)."""
import math
import os
import struct
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

BLOCK, EDGE = 2048, 64
ACROSS = BLOCK // EDGE


def pixel(x, y):
    # Sky, sun, two ranges of hills and water, with a grain that JPEG keeps.
    grain = ((x * 2654435761 ^ y * 40503) >> 7) % 13 - 6
    ridge = 900 + 220 * math.sin(x / 157.0) + 60 * math.sin(x / 31.0)
    far = 700 + 150 * math.sin(x / 233.0 + 1)
    if math.hypot(x - 1500, y - 380) < 140:
        r, g, b = 255, 214, 96
    elif y > 1650:
        ripple = 18 * math.sin((x + 4 * y) / 23.0)
        r, g, b = 30, int(80 + ripple), int(150 + ripple)
    elif y > ridge:
        r, g, b = 40 + (x * 5 + y) % 50, 110 + int(50 * math.sin(y / 41.0)), 50
    elif y > far:
        r, g, b = 90, 120, 130 + (y - 700) // 8
    else:
        r, g, b = 80 + y // 12, 140 + y // 20, 235
    return (max(0, min(255, r + grain)), max(0, min(255, g + grain)), max(0, min(255, b + grain)))


def tile_jpeg(col, row, width=EDGE, height=EDGE):
    rows = bytes(c for y in range(height) for x in range(width)
                 for c in pixel(col * EDGE + x, row * EDGE + y))
    ppm = b"P6 %d %d 255\n" % (width, height) + rows
    return subprocess.run(["cjpeg", "-quality", "85"], input=ppm, capture_output=True,
                          check=True).stdout


def record(payload):
    return b"TIL" + b"J" + struct.pack(">H", len(payload)) + payload


def write_moz(path, size, tile_at):
    across = -(-size // EDGE)
    with open(path, "wb") as out:
        out.write(b"MOZ0" + struct.pack(">hh", size, size))
        for row in range(across):
            out.write(b"".join(record(tile_at(col, row)) for col in range(across)))


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    with ThreadPoolExecutor(os.cpu_count()) as pool:
        cells = [(c, r) for r in range(ACROSS) for c in range(ACROSS)]
        block = dict(zip(cells, pool.map(lambda cell: tile_jpeg(*cell), cells)))
        # The 32767 picture's last column and row are 63 pixels: their own encodes.
        right = dict(zip(range(ACROSS), pool.map(lambda r: tile_jpeg(ACROSS - 1, r, 63), range(ACROSS))))
        bottom = dict(zip(range(ACROSS), pool.map(lambda c: tile_jpeg(c, ACROSS - 1, EDGE, 63), range(ACROSS))))
        corner = tile_jpeg(ACROSS - 1, ACROSS - 1, 63, 63)

    def repeated(col, row):
        return block[(col % ACROSS, (row + col // ACROSS) % ACROSS)]

    def cut(col, row):
        last = 32767 // EDGE
        if col == last and row == last:
            return corner
        if col == last:
            return right[(row + col // ACROSS) % ACROSS]
        if row == last:
            return bottom[col % ACROSS]
        return repeated(col, row)

    write_moz(os.path.join(folder, "picture-2k.moz"), 2048, repeated)
    write_moz(os.path.join(folder, "picture-8k.moz"), 8192, repeated)
    write_moz(os.path.join(folder, "picture-32k.moz"), 32767, cut)


if __name__ == "__main__":
    main()
