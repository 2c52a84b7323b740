#!/usr/bin/env bash
# moz-pack's pictures (bench/run.sh runs it after the picture tools): a PNG and
# a JPEG of 8192 x 8192 cut into a MOZ against `vips dzsave --depth one`,
# which cuts the same 64-pixel JPEG tiles at the same quality into files; the
# time per pixel at 2048 and at 32767 x 32767 (a gigapixel) and the peak
# memory there; the quality of the tiles against cjpeg's of the same cells,
# on the 2048 picture moved off its own grid; and every lossless tile of the
# 8192 JPEG against jpegtran's crop of its cell. The pictures are moz-stitch's
# of the bench's MOZ files. Needs what bench/pictures.sh needs, and jpegtran.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-/dev/shm/tiletools-bench}
runs=${BENCH_RUNS:-10}
big_runs=${BENCH_BIG_RUNS:-3}
bin=$repo/build
cd "$repo"
cmake --build --preset default --target moz_pack moz_stitch moz_tilesave > /dev/null
mkdir -p "$work"
[ -f "$work/picture-32k.moz" ] || python3 bench/make_pictures.py "$work"
for size in 2k 8k 32k; do
  [ -f "$work/picture-$size.png" ] || "$bin/moz/stitch" -q "$work/picture-$size.moz" "$work/picture-$size.png"
done
[ -f "$work/picture-8k.jpg" ] || { vips copy "$work/picture-8k.png" "$work/picture-8k.ppm" &&
  cjpeg -quality 90 "$work/picture-8k.ppm" > "$work/picture-8k.jpg" && rm "$work/picture-8k.ppm"; }

. "$repo/bench/lib.sh"
per_mp() { python3 -c "import sys; print(f'{float(sys.argv[1]) * 1e3 / (float(sys.argv[2]) ** 2 / 1e6):.2f}')" "$@"; }

pack=$bin/moz/pack
dz() { echo "rm -rf $work/dz; vips dzsave $1 $work/dz --depth one --tile-size 64 --overlap 0 --suffix '.jpg[Q=90]'"; }
p8=$(median cut-png-8k "$big_runs" "$pack -q $work/picture-8k.png $work/cut.moz")
v8=$(median dzsave-png-8k "$big_runs" "$(dz "$work/picture-8k.png")")
j8=$(median cut-jpeg-8k "$big_runs" "$pack -q $work/picture-8k.jpg $work/cut.moz")
w8=$(median dzsave-jpeg-8k "$big_runs" "$(dz "$work/picture-8k.jpg")")
p2=$(median cut-png-2k "$runs" "$pack -q $work/picture-2k.png $work/cut.moz")
p32=$(median cut-png-32k "$big_runs" "$pack -q $work/picture-32k.png $work/cut.moz")

echo
echo "moz-pack PICTURE against vips dzsave --depth one (64-pixel tiles, quality 90)"
printf '%-44s %9s %9s %8s\n' run moz-pack dzsave faster
printf '%-44s %8.2fs %8.2fs %7sx\n' "8192 x 8192 PNG" "$p8" "$v8" "$(ratio "$v8" "$p8")"
printf '%-44s %8.2fs %8.2fs %7sx\n' "8192 x 8192 JPEG, cut losslessly" "$j8" "$w8" "$(ratio "$w8" "$j8")"
echo "time per megapixel from a PNG: $(per_mp "$p2" 2048) ms at 2048, $(per_mp "$p32" 32767) ms at 32767" \
  "(ratio $(ratio "$(per_mp "$p32" 32767)" "$(per_mp "$p2" 2048)"))"
printf '%-44s %8s KiB\n' "peak, moz-pack of the 32767 x 32767 PNG" "$(peak "$pack" -q "$work/picture-32k.png" "$work/cut.moz")"
printf '%-44s %8s KiB\n' "peak, moz-pack of the 8192 x 8192 JPEG" "$(peak "$pack" -q "$work/picture-8k.jpg" "$work/cut.moz")"

# Quality: the 2048 picture moved 27 pixels off its grid, cut by moz-pack and
# by cjpeg cell by cell, each stitched back and held against the picture.
vips crop "$work/picture-2k.png" "$work/off.ppm" 27 27 2000 2000
vips copy "$work/off.ppm" "$work/off.png"
"$pack" -q "$work/off.png" "$work/off.moz"
"$bin/moz/stitch" -q "$work/off.moz" "$work/off-ours.png"
vips copy "$work/off-ours.png" "$work/off-ours.ppm"
python3 - "$work" <<'PY'
import math, subprocess, sys
work = sys.argv[1]
def ppm(path):  # "P6 width height 255", with comments, then the pixels
    data = open(path, "rb").read()
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b"#":
            at = data.index(b"\n", at)
            continue
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    return int(fields[1]), int(fields[2]), data[at + 1:]
width, height, picture = ppm(f"{work}/off.ppm")
_, _, ours = ppm(f"{work}/off-ours.ppm")
theirs = bytearray(len(picture))
for top in range(0, height, 64):
    for left in range(0, width, 64):
        w, h = min(64, width - left), min(64, height - top)
        cell = b"".join(picture[((top + y) * width + left) * 3:((top + y) * width + left + w) * 3] for y in range(h))
        jpeg = subprocess.run(["cjpeg", "-quality", "90"], input=b"P6 %d %d 255\n" % (w, h) + cell,
                              capture_output=True, check=True).stdout
        decoded = subprocess.run(["djpeg", "-ppm"], input=jpeg, capture_output=True, check=True).stdout
        pixels = decoded[len(decoded) - w * h * 3:]
        for y in range(h):
            at = ((top + y) * width + left) * 3
            theirs[at:at + w * 3] = pixels[y * w * 3:(y + 1) * w * 3]
def psnr(a, b):
    mse = sum((x - y) ** 2 for x, y in zip(a, b)) / len(a)
    return 10 * math.log10(255 ** 2 / mse)
print(f"PSNR against the picture, 2000 x 2000 moved off its grid: moz-pack {psnr(ours, picture):.2f} dB, "
      f"cjpeg -quality 90 cell by cell {psnr(theirs, picture):.2f} dB")
PY

# Lossless: every tile of the 8192 JPEG decodes as jpegtran's crop of its
# cell. The picture is cropped into its 128 rows first, and each row into its
# cells, which is the same crop and spares reading the whole file 16,384 times.
"$pack" -q "$work/picture-8k.jpg" "$work/cut.moz"
rm -rf "$work/cut-tiles" && mkdir -p "$work/cut-tiles/rows"
(cd "$work/cut-tiles" && "$bin/moz/tilesave" "$work/cut.moz" > /dev/null)
for row in $(seq 0 127); do
  jpegtran -crop 8192x64+0+$((row * 64)) "$work/picture-8k.jpg" > "$work/cut-tiles/rows/$row.jpg"
done
same=$(cd "$work/cut-tiles" && seq 0 16383 | xargs -P "$(nproc)" -n 256 bash -c '
  for tile; do
    cmp -s <(jpegtran -crop 64x64+$(( tile % 128 * 64 ))+0 rows/$(( tile / 128 )).jpg | djpeg -ppm) \
           <(djpeg -ppm "$(printf "tile%04d.jpg" "$tile")") && echo same
  done' tiles | wc -l)
echo "lossless tiles that decode as jpegtran's crop of their cell: $same of 16384"
rm -rf "$work/cut-tiles" "$work/dz" "$work"/off* "$work/cut.moz"
