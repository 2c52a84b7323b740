#!/usr/bin/env python3
"""Writes the fuzz seed corpus: small valid and broken TIZ and MOZ files, each
with a trailing byte that picks the walk (even: list or check, odd: save); and
for the pack tools' target damaged files, their trailing byte asking for
salvage (2: TIZ, 3: MOZ).
  python3 fuzz/make_seeds.py"""
import os
import struct
import subprocess
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "examples")


def record(kind, payload):
    return b"TIL" + kind + struct.pack(">H", len(payload)) + payload


def tiz(count, records, reserved=b"\0\0"):
    return b"TIZ0" + struct.pack(">H", count) + reserved + records


def moz(width, height, records):
    return b"MOZ0" + struct.pack(">hh", width, height) + records


SEEDS = {
    "tiz": {
        "scene": open(os.path.join(EXAMPLES, "scene.tiz"), "rb").read(),
        "methods": tiz(4, record(b"2", b"\xff\xd8jpeg") + record(b"0", b"zz")
                       + record(b"1", b"\0\2zzjp") + record(b"A", b"")),
        "no-room": tiz(3, record(b"1", b"\0\x09zz") + record(b"1", b"z") + record(b"1", b"")),
        "reserved": tiz(0, b"", b"\1\0"),
        "missing": tiz(3, record(b"2", b"ab")),
        "bad-tag": tiz(2, record(b"2", b"ab") + b"til2\0\0"),
        "cut": tiz(1, record(b"2", bytes(300))[:100]),
        # Payloads past 16 KiB, so buffer limits are in reach of a mutation.
        "large": tiz(3, record(b"2", bytes(range(256)) * 64 + b"!") + record(b"0", b"z" * 20000)
                     + record(b"1", b"\0\x64" + b"z" * 100 + b"j" * 30000)),
    },
    "moz": {
        "scene": open(os.path.join(EXAMPLES, "scene.moz"), "rb").read(),
        "grid": moz(100, 100, b"".join(record(b"J", bytes([i]) * i) for i in range(4))),
        "negative": moz(-64, -64, record(b"J", b"\xff\xd8")),
        "none": moz(-64, 64, b"junk"),
        "missing": moz(64, 128, record(b"J", b"a")),
        "bad-tag": moz(64, 64, b"TIM" + b"J\0\0"),
        "large": moz(64, 192, record(b"J", b"j" * 17000) + record(b"J", bytes(range(255)) * 257)
                     + record(b"J", b"")),
    },
}

SCENE_MOZ = SEEDS["moz"]["scene"]
SCENE_TIZ = SEEDS["tiz"]["scene"]
DAMAGED = {
    "moz-lost-tag": SCENE_MOZ[:2051] + b"XXX" + SCENE_MOZ[2054:] + b"\3",
    "moz-junk": SCENE_MOZ[:3926] + b"junk TIL junk" + SCENE_MOZ[3926:] + b"\3",
    "moz-cut": SCENE_MOZ[:5000] + b"\3",
    "tiz-flipped-length": SCENE_TIZ[:12] + b"\x7f" + SCENE_TIZ[13:] + b"\2",
    "tiz-decoy": tiz(3, record(b"2", b"a") + b"XIL2\0\x0eTILJ\0\0TILJ\0\2zzqq"
                     + record(b"2", b"c") + record(b"0", b"d")) + b"\2",
}

os.makedirs(os.path.join(HERE, "corpus", "pack"), exist_ok=True)
for name, data in DAMAGED.items():
    with open(os.path.join(HERE, "corpus", "pack", name), "wb") as out:
        out.write(data)

# moz-pack's pictures: PNGs written here, JPEGs by cjpeg, TIFFs by libtiff's
# tools; the last byte asks
# for --reencode when odd.
def png(width, height, colour, depth, rows, interlace=0, extra=b""):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    header = struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, interlace)
    lines = rows
    if interlace:  # one byte a pixel: Adam7's seven passes, each its own rows
        lines = [bytes(rows[y][x0::dx]) for x0, y0, dx, dy in ADAM7 for y in range(y0, height, dy)
                 if x0 < width]
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + extra
            + chunk(b"IDAT", zlib.compress(b"".join(b"\0" + r for r in lines))) + chunk(b"IEND", b""))


ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))


def plte(count):
    data = b"".join(bytes([i * 40 % 256, i * 90 % 256, 255 - i]) for i in range(count))
    trns = bytes(range(0, 256, 256 // count))[:count]
    return (struct.pack(">I", len(data)) + b"PLTE" + data + struct.pack(">I", zlib.crc32(b"PLTE" + data))
            + struct.pack(">I", len(trns)) + b"tRNS" + trns + struct.pack(">I", zlib.crc32(b"tRNS" + trns)))


ppm = b"P6 70 66 255\n" + bytes((x * 3 + y * 5 + c * 70) % 256 for y in range(66) for x in range(70) for c in range(3))
PICTURES = {
    "scene-png": open(os.path.join(EXAMPLES, "scene.png"), "rb").read() + b"\0",
    "rgba16": png(3, 2, 6, 16, [bytes(range(24)), bytes(range(24, 48))]) + b"\0",
    "palette": png(5, 3, 3, 4, [b"\x01\x23\x40"] * 3, 0, plte(5)) + b"\0",
    "gray-interlaced": png(9, 9, 0, 8, [bytes(range(i, i + 9)) for i in range(9)], 1) + b"\0",
}
for name, options in (("baseline", []), ("progressive", ["-progressive"]), ("off-grid", ["-sample", "3x1"])):
    try:
        jpeg = subprocess.run(["cjpeg"] + options, input=ppm, capture_output=True, check=True).stdout
        PICTURES[f"jpeg-{name}"] = jpeg + b"\0"
        PICTURES[f"jpeg-{name}-reencode"] = jpeg + b"\1"
    except (OSError, subprocess.CalledProcessError):
        pass

# The coefficient reader's JPEGs, by cjpeg: each way of coding it reads.
SCRIPT = (b"0,1,2: 0-0, 0, 1;\n0: 1-5, 0, 2;\n2: 1-63, 0, 1;\n1: 1-63, 0, 1;\n0: 6-63, 0, 2;\n"
          b"0: 1-63, 2, 1;\n0,1,2: 0-0, 1, 0;\n2: 1-63, 1, 0;\n1: 1-63, 1, 0;\n0: 1-63, 1, 0;\n")
JPEGS = {}
with tempfile.TemporaryDirectory() as work:
    script = os.path.join(work, "scans")
    with open(script, "wb") as out:
        out.write(SCRIPT)
    for name, options in (("baseline-420", ["-restart", "1"]), ("gray", ["-grayscale"]),
                          ("progressive", ["-progressive", "-sample", "1x1"]),
                          ("successive", ["-scans", script, "-restart", "2B"]),
                          ("sampled-4x2", ["-sample", "4x2"]), ("extended", ["-quality", "1"])):
        try:
            JPEGS[name] = subprocess.run(["cjpeg"] + options, input=ppm, capture_output=True,
                                         check=True).stdout
        except (OSError, subprocess.CalledProcessError):
            pass


def save(folder, files):
    os.makedirs(os.path.join(HERE, "corpus", folder), exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(HERE, "corpus", folder, name), "wb") as out:
            out.write(data)


save("jpeg", JPEGS)

# TIFFs by libtiff's own tools from the same pixels: strips and tiles, the
# kinds the RGBA reading takes and the JPEG tiles cut from their coefficients.
with tempfile.TemporaryDirectory() as work:
    try:
        plain = os.path.join(work, "plain.tif")
        with open(os.path.join(work, "plain.ppm"), "wb") as out:
            out.write(ppm)
        subprocess.run(["ppm2tiff", os.path.join(work, "plain.ppm"), plain], capture_output=True,
                       check=True)
        for name, options in (("tiff-deflate", ["-c", "zip"]),
                              ("tiff-lzw-tiles", ["-c", "lzw", "-t", "-w", "32", "-l", "32"]),
                              ("tiff-jpeg-tiles", ["-c", "jpeg", "-t", "-w", "64", "-l", "64"]),
                              ("tiff-big", ["-8", "-c", "packbits"])):
            made = os.path.join(work, name)
            subprocess.run(["tiffcp"] + options + [plain, made], capture_output=True, check=True)
            PICTURES[name] = open(made, "rb").read() + b"\0"
    except (OSError, subprocess.CalledProcessError):
        pass

save("picture", PICTURES)

# The carver's images: containers among other bytes; the last byte picks a
# file (even) or a stream (odd), and the size of each read.
NOISE = bytes((i * 131 + i // 7) % 251 for i in range(4096))
SPLIT = SCENE_MOZ[:1536] + NOISE[:1024] + SCENE_MOZ[1536:]
CARVE = {
    "intact": NOISE[:1000] + SCENE_MOZ + NOISE[:777] + SCENE_TIZ + NOISE,
    "cut-damaged": NOISE[:100] + SCENE_MOZ[:3000] + NOISE[:50] + SCENE_TIZ[:12] + b"X"
                   + SCENE_TIZ[13:] + NOISE[:9],
    "nested": tiz(2, record(b"0", b"x") + record(b"2", SCENE_MOZ)) + NOISE[:100],
    "fragment": NOISE[:512] + SPLIT + NOISE[:512],
    "decoys": b"TIZ0 MOZ0 TIL " * 40 + tiz(5, b"") + moz(64, 64, b"TIM") + NOISE,
}
os.makedirs(os.path.join(HERE, "corpus", "carve"), exist_ok=True)
for name, data in CARVE.items():
    for mode, suffix in ((b"\x0c", "file"), (b"\x0d", "stream"), (b"\x04", "small-reads")):
        with open(os.path.join(HERE, "corpus", "carve", f"{name}-{suffix}"), "wb") as out:
            out.write(data + mode)

for family, seeds in SEEDS.items():
    os.makedirs(os.path.join(HERE, "corpus", family), exist_ok=True)
    for name, data in seeds.items():
        for mode, suffix in ((b"\0", "read"), (b"\1", "save")):
            with open(os.path.join(HERE, "corpus", family, f"{name}-{suffix}"), "wb") as out:
                out.write(data + mode)
