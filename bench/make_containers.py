#!/usr/bin/env python3
"""Writes the benchmark's containers into the folder given:
  moz-grid-200.moz   32767 x 32767, 262,144 tiles of 200 bytes
  moz-grid-2k.moz    32767 x 32767, 262,144 tiles of 2,048 bytes
  moz-8k.moz         8192 x 8192, 16,384 tiles of 2,048 bytes
  tiz-mixed.tiz      65,535 records of 2,048 bytes, methods 2, 1 and 0 in turn,
                     method 1 with 200 bytes of zlib data (1,846 bytes of JPEG)
The payload bytes are arbitrary: the tools neither inflate nor decode them."""
import os
import struct
import sys


def write(path, header, records):
    with open(path, "wb") as out:
        out.write(header)
        for chunk in records:
            out.write(chunk)


def moz(width, height, tiles, size):
    payload = b"TIL" + b"J" + struct.pack(">H", size) + bytes(range(256)) * (size // 256) + bytes(size % 256)
    return b"MOZ0" + struct.pack(">hh", width, height), (payload * 1024 for _ in range(tiles // 1024))


def tiz(tiles, size):
    body = bytes(range(256)) * (size // 256) + bytes(size % 256)
    by_method = {
        b"2": body,
        b"1": struct.pack(">H", 200) + body[2:],
        b"0": body,
    }
    records = b"".join(b"TIL" + m + struct.pack(">H", size) + by_method[m] for m in (b"2", b"1", b"0"))
    return b"TIZ0" + struct.pack(">H", tiles) + b"\0\0", (records for _ in range(tiles // 3))


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    write(os.path.join(folder, "moz-grid-200.moz"), *moz(32767, 32767, 262144, 200))
    write(os.path.join(folder, "moz-grid-2k.moz"), *moz(32767, 32767, 262144, 2048))
    write(os.path.join(folder, "moz-8k.moz"), *moz(8192, 8192, 16384, 2048))
    write(os.path.join(folder, "tiz-mixed.tiz"), *tiz(65535, 2048))


if __name__ == "__main__":
    main()
