#!/usr/bin/env bash
# The picture tools' part of the benchmark (bench/run.sh runs it after the
# container tools). moz-stitch against vips on the same tiles: at 2048 x 2048
# one `vips arrayjoin` of all 1,024 tile files; at 8192 x 8192 the way a user
# must go with vips, whose argument cannot hold 16,384 names: each row of tiles
# joined into a row picture, then the rows joined into the PNG. At 32767 x
# 32767 (a gigapixel) moz-stitch alone, full size and at 1/8. Then peak memory.
# Needs hyperfine, python3, cjpeg, vips and /usr/bin/time (Debian: hyperfine,
# python3, libjpeg-turbo-progs, libvips-tools, time).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-/dev/shm/tiletools-bench}
runs=${BENCH_RUNS:-10}
big_runs=${BENCH_BIG_RUNS:-3}
bin=$repo/build
cd "$repo"
cmake --build --preset default --target moz_stitch moz_tilesave > /dev/null
mkdir -p "$work"
[ -f "$work/picture-32k.moz" ] || python3 bench/make_pictures.py "$work"

# The tile files vips is handed (not timed), and the scripts it runs.
for size in 2k 8k; do
  if [ ! -d "$work/tiles-$size" ]; then
    mkdir "$work/tiles-$size"
    (cd "$work/tiles-$size" && "$bin/moz/tilesave" "$work/picture-$size.moz" > /dev/null)
  fi
done
names() { ls "$1" | sort | sed "s|^|$1/|" | tr '\n' ' '; }
echo "vips arrayjoin \"$(names "$work/tiles-2k")\" $work/vips-2k.png --across 32" > "$work/vips-2k.sh"
{
  echo "set -e; rm -rf $work/rows; mkdir $work/rows"
  for row in $(seq 0 127); do
    files=$(for col in $(seq 0 127); do printf '%s/tiles-8k/tile%04d.jpg ' "$work" $((row * 128 + col)); done)
    printf 'vips arrayjoin "%s" %s/rows/%03d.tif --across 128\n' "$files" "$work" "$row"
  done
  echo "vips arrayjoin \"$(for row in $(seq 0 127); do printf '%s/rows/%03d.tif ' "$work" "$row"; done)\" $work/vips-8k.png --across 1"
} > "$work/vips-8k.sh"

. "$repo/bench/lib.sh"
mpps() { python3 -c "import sys; print(f'{float(sys.argv[1]) ** 2 / 1e6 / float(sys.argv[2]):.1f}')" "$@"; }

stitch=$bin/moz/stitch
s2=$(median stitch-2k "$runs" "$stitch -q $work/picture-2k.moz $work/ours-2k.png")
v2=$(median vips-2k "$runs" "bash $work/vips-2k.sh")
s8=$(median stitch-8k "$big_runs" "$stitch -q $work/picture-8k.moz $work/ours-8k.png")
v8=$(median vips-8k "$big_runs" "bash $work/vips-8k.sh")
s32=$(median stitch-32k "$big_runs" "$stitch -q $work/picture-32k.moz $work/ours-32k.png")
rm -f "$work/ours-32k.png"
s32e=$(median stitch-32k-eighth "$runs" "$stitch -q --scale 1/8 $work/picture-32k.moz $work/ours-32k-8.png")

echo
echo "moz-stitch against vips (medians; $runs runs, $big_runs at 8192 and 32767)"
printf '%-44s %9s %9s %8s\n' run moz-stitch vips faster
printf '%-44s %8.2fs %8.2fs %7sx\n' "2048 x 2048, 1,024 tiles (one arrayjoin)" "$s2" "$v2" "$(ratio "$v2" "$s2")"
printf '%-44s %8.2fs %8.2fs %7sx\n' "8192 x 8192, 16,384 tiles (rows, then rows)" "$s8" "$v8" "$(ratio "$v8" "$s8")"
printf '%-44s %8.2fs\n' "32767 x 32767, 262,144 tiles" "$s32"
printf '%-44s %8.2fs %18sx\n' "32767 x 32767 at --scale 1/8 (vs full size)" "$s32e" "$(ratio "$s32" "$s32e")"
echo "pixel rate: $(mpps 2048 "$s2") MP/s at 2048, $(mpps 32767 "$s32") MP/s at 32767 (ratio $(ratio "$(mpps 2048 "$s2")" "$(mpps 32767 "$s32")"))"
echo "PNG size at 2048: moz-stitch $(stat -c %s "$work/ours-2k.png") bytes, vips $(stat -c %s "$work/vips-2k.png") bytes"

echo
echo "peak resident memory, KiB (/usr/bin/time)"
printf '%-44s %8s\n' "moz-stitch 2048" "$(peak "$stitch" -q "$work/picture-2k.moz" "$work/ours-2k.png")"
printf '%-44s %8s\n' "vips arrayjoin 2048" "$(peak bash "$work/vips-2k.sh")"
printf '%-44s %8s\n' "moz-stitch 8192" "$(peak "$stitch" -q "$work/picture-8k.moz" "$work/ours-8k.png")"
printf '%-44s %8s\n' "vips rows then rows 8192" "$(peak bash "$work/vips-8k.sh")"
printf '%-44s %8s\n' "moz-stitch 32767" "$(peak "$stitch" -q "$work/picture-32k.moz" "$work/ours-32k.png")"
rm -f "$work/ours-32k.png"
printf '%-44s %8s\n' "moz-stitch 32767 at 1/8" "$(peak "$stitch" -q --scale 1/8 "$work/picture-32k.moz" "$work/ours-32k-8.png")"

# moz-deepzoom against vips dzsave with the same tile size, overlap and
# quality, vips handed the 8192 x 8192 picture already assembled in its own
# format. The floor is bench/floor writing as many files of the same mean size.
[ -f "$work/assembled-8k.v" ] || vips copy "$work/ours-8k.png" "$work/assembled-8k.v"
deepzoom=$bin/moz/deepzoom
cmake --build --preset default --target moz_deepzoom bench_floor > /dev/null
fresh="rm -rf $work/dz $work/vdz $work/vdz_files $work/vdz.dzi $work/floor && mkdir $work/floor"
d8=$(median deepzoom-8k "$runs" --prepare "$fresh" "$deepzoom -q $work/picture-8k.moz $work/dz")
z8=$(median dzsave-8k "$big_runs" --prepare "$fresh" \
  "vips dzsave $work/assembled-8k.v $work/vdz --tile-size 64 --overlap 0 --suffix .jpg[Q=90]")
d32=$(median deepzoom-32k "$big_runs" --prepare "$fresh" "$deepzoom -q $work/picture-32k.moz $work/dz")
counts() {  # MOZ DIR: files written, and finest-level files identical to the MOZ's tiles
  python3 - "$@" <<'PY'
import os, struct, sys
moz, folder = sys.argv[1:3]
data = open(moz, "rb").read()
width, height = struct.unpack(">hh", data[4:8])
longest = max(width, height)
columns, top = -(-width // 64), longest.bit_length() - ((longest & (longest - 1)) == 0)
files = sum(len(names) for _, _, names in os.walk(os.path.join(folder, "picture_files")))
at, same, tiles = 8, 0, 0
while at < len(data):
    size = struct.unpack(">H", data[at + 4:at + 6])[0]
    name = os.path.join(folder, "picture_files", str(top), f"{tiles % columns}_{tiles // columns}.jpg")
    same += open(name, "rb").read() == data[at + 6:at + 6 + size]
    at, tiles = at + 6 + size, tiles + 1
print(files, same, tiles, (os.path.getsize(moz) - 8 - 6 * tiles) // tiles)
PY
}
eval "$fresh"
"$deepzoom" -q "$work/picture-8k.moz" "$work/dz"
read -r files8 same8 tiles8 mean8 <<< "$(counts "$work/picture-8k.moz" "$work/dz")"
f8=$(median floor-8k "$runs" --prepare "$fresh" "cd $work/floor && $bin/bench/floor $files8 $mean8")
eval "$fresh"
"$deepzoom" -q "$work/picture-32k.moz" "$work/dz"
read -r files32 same32 tiles32 mean32 <<< "$(counts "$work/picture-32k.moz" "$work/dz")"
f32=$(median floor-32k "$big_runs" --prepare "$fresh" "cd $work/floor && $bin/bench/floor $files32 $mean32")
per_tile() { python3 -c "import sys; print(f'{float(sys.argv[1]) * 1e6 / int(sys.argv[2]):.1f}')" "$@"; }

echo
echo "moz-deepzoom against vips dzsave (64-pixel tiles, no overlap, quality 90)"
printf '%-44s %9s %9s %8s\n' run deepzoom dzsave faster
printf '%-44s %8.2fs %8.2fs %7sx\n' "8192 x 8192, 16,384 tiles" "$d8" "$z8" "$(ratio "$z8" "$d8")"
printf '%-44s %8.2fs\n' "32767 x 32767, 262,144 tiles" "$d32"
echo "time per MOZ tile: $(per_tile "$d8" "$tiles8") us at 8192, $(per_tile "$d32" "$tiles32") us at 32767" \
  "(ratio $(ratio "$(per_tile "$d32" "$tiles32")" "$(per_tile "$d8" "$tiles8")"))"
echo "the floor, writing as many files of the same mean size: $(per_tile "$f8" "$tiles8") us per MOZ tile" \
  "at 8192 ($files8 files), $(per_tile "$f32" "$tiles32") us at 32767 ($files32 files)"
echo "finest level byte-identical to the MOZ's tiles: $same8 of $tiles8 at 8192, $same32 of $tiles32 at 32767"
printf '%-44s %8s\n' "peak KiB, moz-deepzoom 8192" "$(eval "$fresh"; peak "$deepzoom" -q "$work/picture-8k.moz" "$work/dz")"
printf '%-44s %8s\n' "peak KiB, vips dzsave 8192" \
  "$(eval "$fresh"; peak vips dzsave "$work/assembled-8k.v" "$work/vdz" --tile-size 64 --overlap 0 --suffix '.jpg[Q=90]')"
printf '%-44s %8s\n' "peak KiB, moz-deepzoom 32767" "$(eval "$fresh"; peak "$deepzoom" -q "$work/picture-32k.moz" "$work/dz")"
eval "$fresh"
rm -rf "$work/dz" "$work/floor"
