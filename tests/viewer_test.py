#!/usr/bin/env python3
"""The viewer in a real browser: moz-deepzoom's folder for the sample and for a
generated 1600 x 1200 picture is opened over file:// in headless Chromium, in a
network namespace of its own (no network at all), and the screenshot must show
the picture: region by region, its colours match moz-stitch's picture of the
same file. A viewer or tiles that do not load leave the page's dark background
and fail.
  viewer_test.py DEEPZOOM STITCH SAMPLES WORK
Exits 77 (skipped) without chromium, unshare or cjpeg."""
import os
import shutil
import struct
import subprocess
import sys
import zlib

DEEPZOOM, STITCH, SAMPLES, WORK = sys.argv[1:5]
WINDOW = (800, 600)
TOLERANCE = 14  # per channel, on a region's mean: JPEG, resampling, the viewer's scaling


def read_png(path):
    data = open(path, "rb").read()
    at, idat = 8, b""
    while at < len(data):
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", data[at + 8:at + 18])
            assert depth == 8 and colour in (2, 6), "8-bit RGB or RGBA expected"
            channels = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += data[at + 8:at + 8 + size]
        at += 12 + size
    raw, stride = zlib.decompress(idat), width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind, row = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = row[x - channels] if x >= channels else 0
            b = previous[x]
            c = previous[x - channels] if x >= channels else 0
            if kind == 1:
                row[x] = (row[x] + a) & 255
            elif kind == 2:
                row[x] = (row[x] + b) & 255
            elif kind == 3:
                row[x] = (row[x] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                row[x] = (row[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(row)
        previous = row
    return width, height, lambda x, y: tuple(rows[y][x * channels:x * channels + 3])


def mean(pixel, x0, y0, x1, y1):
    total, count = [0, 0, 0], 0
    for y in range(y0, y1):
        for x in range(x0, x1):
            for c, v in enumerate(pixel(x, y)):
                total[c] += v
            count += 1
    return [t / count for t in total]


def screenshot(folder, name):
    shot = os.path.join(WORK, name + ".png")
    # A browser starved of the processor (CI builds the release beside the
    # tests) can stall in its virtual time; it is given a second, fresh start.
    for attempt in (1, 2):
        profile = os.path.join(WORK, "profile-%s-%d" % (name, attempt))
        try:
            subprocess.run(
                ["unshare", "--net", "chromium", "--headless", "--no-sandbox", "--disable-gpu",
                 "--no-first-run", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--user-data-dir=" + profile,
                 "--window-size=%d,%d" % WINDOW, "--virtual-time-budget=10000",
                 "--screenshot=" + shot, "file://" + os.path.abspath(folder) + "/index.html"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120, check=True)
            return shot
        except subprocess.TimeoutExpired:
            if attempt == 2:
                raise
            print("%s: the browser stalled; starting it again" % name)
    return shot


def check(name, moz):
    folder = os.path.join(WORK, name)
    shutil.rmtree(folder, ignore_errors=True)
    subprocess.run([DEEPZOOM, "--quiet", moz, folder], check=True)
    # moz-stitch's picture, scaled down (quick to read here) but no smaller than shown.
    preview = os.path.join(WORK, name + "-stitched.png")
    size = struct.unpack(">h", open(moz, "rb").read(6)[4:6])[0]
    scale = next(s for s in (1, 2, 4, 8) if size // s <= 400 or s == 8)
    subprocess.run([STITCH, "--quiet", "--scale", f"1/{scale}", moz, preview], check=True)
    width, height, shown = read_png(screenshot(folder, name))
    pwidth, pheight, picture = read_png(preview)

    # The picture sits centred, fitted to the window: find its edges along the
    # middle row and column, where no control or navigator lies.
    background = shown(0, height // 2)
    row = [x for x in range(width) if shown(x, height // 2) != background]
    column = [y for y in range(height) if shown(width // 2, y) != background]
    assert row and column, f"{name}: the screenshot shows no picture at all"
    left, right, top, bottom = row[0], row[-1] + 1, column[0], column[-1] + 1
    failures = []
    across, down = 8, 6
    for j in range(down):
        for i in range(across):
            x0 = left + (right - left) * i // across
            x1 = left + (right - left) * (i + 1) // across
            y0 = top + (bottom - top) * j // down
            y1 = top + (bottom - top) * (j + 1) // down
            if x1 > width - 180 and y1 > height - 140:
                continue  # the navigator's corner
            inset_x, inset_y = (x1 - x0) // 4, (y1 - y0) // 4
            seen = mean(shown, x0 + inset_x, y0 + inset_y, x1 - inset_x, y1 - inset_y)
            px = lambda x: (x - left) * pwidth // (right - left)
            py = lambda y: (y - top) * pheight // (bottom - top)
            want = mean(picture, px(x0 + inset_x), py(y0 + inset_y),
                        max(px(x1 - inset_x), px(x0 + inset_x) + 1),
                        max(py(y1 - inset_y), py(y0 + inset_y) + 1))
            if max(abs(a - b) for a, b in zip(seen, want)) > TOLERANCE:
                failures.append(f"region {i},{j}: shown {seen}, picture {want}")
    assert not failures, f"{name}: " + "; ".join(failures)
    print(f"{name}: {across * down} regions of the viewer match the picture "
          f"(shown at {left},{top} to {right},{bottom})")


def generated_moz(path):
    """1600 x 1200: colour bands, a diagonal and rings, cut into cjpeg tiles."""
    width, height = 1600, 1200

    def pixel(x, y):
        ring = ((x - 1100) ** 2 + (y - 400) ** 2) // 9000 % 2
        return ((x * 255) // width, (y * 255) // height, 230 if ring else 40 if x > y else 140)

    records = []
    for row in range((height + 63) // 64):
        for col in range((width + 63) // 64):
            w, h = min(64, width - col * 64), min(64, height - row * 64)
            ppm = b"P6 %d %d 255\n" % (w, h) + bytes(
                c for y in range(h) for x in range(w) for c in pixel(col * 64 + x, row * 64 + y))
            jpeg = subprocess.run(["cjpeg", "-quality", "90"], input=ppm, capture_output=True,
                                  check=True).stdout
            records.append(b"TIL" + b"J" + struct.pack(">H", len(jpeg)) + jpeg)
    with open(path, "wb") as out:
        out.write(b"MOZ0" + struct.pack(">hh", width, height) + b"".join(records))


def main():
    for tool in ("chromium", "unshare", "cjpeg"):
        if shutil.which(tool) is None:
            print(f"{tool} is not installed")
            return 77
    os.makedirs(WORK, exist_ok=True)
    check("sample", os.path.join(SAMPLES, "scene.moz"))
    generated = os.path.join(WORK, "generated.moz")
    generated_moz(generated)
    check("generated", generated)
    return 0


if __name__ == "__main__":
    sys.exit(main())
