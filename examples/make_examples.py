#!/usr/bin/env python3
"""Regenerates the sample containers in this folder.

Paints a 200 x 130 scene (sky, sun, hills, a lake), cuts it into 64-pixel tiles,
encodes each tile with cjpeg (Debian's libjpeg-turbo-progs) and packs them as
  scene.moz  every tile's JPEG image, in rows from the top left;
  scene.tiz  the same tiles cycling through the three methods: '2' the JPEG alone,
             '1' a zlib-packed alpha mask and then the JPEG, '0' the tile's raw
             pixels packed with zlib (no JPEG, so the extractor passes it over).
README's picture, scene.png, is moz-stitch's: moz-stitch scene.moz scene.png.
Run from anywhere:
  python3 examples/make_examples.py
"""
import math
import os
import struct
import subprocess
import zlib

WIDTH, HEIGHT, EDGE = 200, 130, 64
HERE = os.path.dirname(os.path.abspath(__file__))


def pixel(x, y):
    sky = (90 + y, 150 + y // 2, 235)
    if math.hypot(x - 150, y - 30) < 16:
        return (255, 220, 90)
    hill = 78 + 16 * math.sin(x / 23.0) + 8 * math.sin(x / 7.0)
    if y > 104:
        ripple = 12 * math.sin((x + 3 * y) / 5.0)
        return (40, int(90 + ripple), int(160 + ripple))
    if y > hill:
        return (50 + (x * 3) % 40, 120 + int(40 * math.sin(y / 9.0)), 60)
    return sky


def ppm(width, height, at):
    rows = bytes(c for y in range(height) for x in range(width) for c in at(x, y))
    return b"P6 %d %d 255\n" % (width, height) + rows


def jpeg(image):
    return subprocess.run(["cjpeg", "-quality", "80", "-optimize"], input=image,
                          capture_output=True, check=True).stdout


def tile_pixels(col, row):
    # Tiles on the right and bottom edges are cut to the picture.
    width = min(EDGE, WIDTH - col * EDGE)
    height = min(EDGE, HEIGHT - row * EDGE)
    return width, height, lambda x, y: pixel(col * EDGE + x, row * EDGE + y)


def record(kind, payload):
    return b"TIL" + kind + struct.pack(">H", len(payload)) + payload


def main():
    cols, rows = -(-WIDTH // EDGE), -(-HEIGHT // EDGE)
    moz, tiz = [], []
    for index in range(cols * rows):
        width, height, at = tile_pixels(index % cols, index // cols)
        image = jpeg(ppm(width, height, at))
        moz.append(record(b"J", image))
        method = b"210"[index % 3:index % 3 + 1]
        if method == b"2":
            tiz.append(record(method, image))
        elif method == b"1":
            mask = zlib.compress(bytes(255 for _ in range(width * height)), 9)
            tiz.append(record(method, struct.pack(">H", len(mask)) + mask + image))
        else:
            raw = ppm(width, height, at)
            tiz.append(record(method, zlib.compress(raw[raw.index(b"\n") + 1:], 9)))
    with open(os.path.join(HERE, "scene.moz"), "wb") as out:
        out.write(b"MOZ0" + struct.pack(">hh", WIDTH, HEIGHT) + b"".join(moz))
    with open(os.path.join(HERE, "scene.tiz"), "wb") as out:
        out.write(b"TIZ0" + struct.pack(">H", len(tiz)) + b"\0\0" + b"".join(tiz))


if __name__ == "__main__":
    main()
