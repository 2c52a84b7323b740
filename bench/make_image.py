#!/usr/bin/env python3
"""Writes a disk image for bench/scan.sh: GIB gibibytes of noise in which each
64 MiB holds the example MOZ and TIZ whole, a MOZ cut short, one stored in two
pieces on 4 KiB clusters, loose JPEG tiles and text naming both magics. With
--decoys, a third of each 64 MiB is text where a magic or a tag starts every
few bytes.
  python3 bench/make_image.py IMAGE [GIB] [--decoys]"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "examples")
MOZ = open(os.path.join(EXAMPLES, "scene.moz"), "rb").read()
TIZ = open(os.path.join(EXAMPLES, "scene.tiz"), "rb").read()
PIECE = 64 << 20


def tiles(container):
    """The payloads of a container's records."""
    at, found = 8, []
    while at + 6 <= len(container):
        length = container[at + 4] * 256 + container[at + 5]
        found.append(container[at + 6:at + 6 + length])
        at += 6 + length
    return found


DECOY_LINES = [
    b"Notes on TIZ0 files and MOZ0 files: each TIL record, TIL after TIL.\n",
    b"MOZ0MOZ0TIZ0 TIL TIL TIL\n",
    b"a TIZ0 header, then TILJ and TIL2 records; MOZ0 too.\n",
]


def decoys(count):
    """Text crowded with magics and tags, `count` bytes of it."""
    text = bytearray()
    line = 0
    while len(text) < count:
        text += DECOY_LINES[line * 7 % len(DECOY_LINES)]
        line += 1
    return bytes(text[:count])


def main():
    args = [arg for arg in sys.argv[1:] if arg != "--decoys"]
    path = args[0]
    gib = int(args[1]) if len(args) > 1 else 4
    noise = bytearray(os.urandom(PIECE))
    if "--decoys" in sys.argv:
        noise[PIECE // 3:2 * PIECE // 3] = decoys(2 * PIECE // 3 - PIECE // 3)
    plants = [
        (4096, MOZ),
        (1 << 20, TIZ),
        (2 << 20, MOZ[:len(MOZ) // 2]),
        (3 << 20, MOZ[:4096] + os.urandom(8192) + MOZ[4096:]),
        (5 << 20, b"Notes on TIZ0 and MOZ0 files, and their TIL records.\n" * 100),
    ]
    for i, tile in enumerate(tiles(MOZ)):
        plants.append(((6 << 20) + i * 65536 + 17, tile))
    for offset, data in plants:
        noise[offset:offset + len(data)] = data
    with open(path, "wb") as image:
        for _ in range(gib * (1 << 30) // PIECE):
            image.write(noise)


main()
