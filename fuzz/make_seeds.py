#!/usr/bin/env python3
"""Writes the fuzz seed corpus: small valid and broken TIZ and MOZ files, each
with a trailing byte that picks the walk (even: list or check, odd: save); and
for the pack tools' target damaged files, their trailing byte asking for
salvage (2: TIZ, 3: MOZ).
  python3 fuzz/make_seeds.py"""
import os
import struct

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

for family, seeds in SEEDS.items():
    os.makedirs(os.path.join(HERE, "corpus", family), exist_ok=True)
    for name, data in seeds.items():
        for mode, suffix in ((b"\0", "read"), (b"\1", "save")):
            with open(os.path.join(HERE, "corpus", family, f"{name}-{suffix}"), "wb") as out:
                out.write(data + mode)
