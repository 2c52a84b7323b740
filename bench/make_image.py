#!/usr/bin/env python3
"""Writes a disk image for bench/scan.sh: GIB gibibytes of noise in which each
64 MiB holds the example MOZ and TIZ whole, a MOZ cut short, one stored in two
pieces on 4 KiB clusters, loose JPEG tiles and text naming both magics.
  python3 bench/make_image.py IMAGE [GIB]"""
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


def main():
    path = sys.argv[1]
    gib = int(sys.argv[2]) if len(sys.argv) > 2 else 4
    noise = bytearray(os.urandom(PIECE))
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
