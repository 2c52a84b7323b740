#!/usr/bin/env bash
# moz-pack's lossless cut of JPEGs (bench/run.sh runs it after bench/cut.sh):
# an 8192 x 8192 picture and a 32767 x 16384 one (the largest tmpfs holds
# comfortably beside the rest), each baseline and progressive, cut by moz-pack
# against `vips dzsave --depth one` cutting the same 64-pixel tiles, djpeg
# decoding the picture once, and jpegtran cropping one 64-pixel band of it:
# the time and the peak memory of each. Then the MOZ's size against the
# JPEG's, and its tiles against jpegtran -optimize's crops of the same cells
# (every cell of the 8192 pictures, the first band's of the larger). The
# pictures are cjpeg's of moz-stitch's picture of the bench's 8192 MOZ, the
# larger one that picture set side by side. Needs what bench/cut.sh needs.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-/dev/shm/tiletools-bench}
runs=${BENCH_RUNS:-5}
bin=$repo/build
cd "$repo"
cmake --build --preset default --target moz_pack moz_stitch moz_tilesave > /dev/null
mkdir -p "$work"
[ -f "$work/picture-8k.moz" ] || python3 bench/make_pictures.py "$work"
[ -f "$work/picture-8k.png" ] || "$bin/moz/stitch" -q "$work/picture-8k.moz" "$work/picture-8k.png"
if [ ! -f "$work/jpeg-wide-progressive.jpg" ]; then
  vips copy "$work/picture-8k.png" "$work/p8.ppm"
  cjpeg -quality 90 "$work/p8.ppm" > "$work/jpeg-8k-baseline.jpg"
  cjpeg -quality 90 -progressive "$work/p8.ppm" > "$work/jpeg-8k-progressive.jpg"
  vips replicate "$work/picture-8k.png" "$work/wide.v" 4 2
  vips crop "$work/wide.v" "$work/wide.ppm" 0 0 32767 16384
  cjpeg -quality 90 "$work/wide.ppm" > "$work/jpeg-wide-baseline.jpg"
  cjpeg -quality 90 -progressive "$work/wide.ppm" > "$work/jpeg-wide-progressive.jpg"
  rm -f "$work/p8.ppm" "$work/wide.v" "$work/wide.ppm"
fi

. "$repo/bench/lib.sh"
pack=$bin/moz/pack
dz() { echo "rm -rf $work/dz; vips dzsave $1 $work/dz --depth one --tile-size 64 --overlap 0 --suffix '.jpg[Q=90]'"; }
mib() { python3 -c "import sys; print(f'{int(sys.argv[1]) / 1024:.1f}')" "$1"; }

echo
echo "moz-pack JPEG (cut without loss) against vips dzsave --depth one, djpeg, and jpegtran -crop of one band"
printf '%-28s %-22s %-22s %-22s %-20s\n' picture "moz-pack" "vips dzsave" "djpeg" "jpegtran, a band"
for name in 8k-baseline 8k-progressive wide-baseline wide-progressive; do
  jpeg=$work/jpeg-$name.jpg
  width=$(vipsheader -f width "$jpeg")
  times=$runs
  [ "${name#wide}" != "$name" ] && times=1
  t_pack=$(median "pack-$name" "$times" "$pack -q $jpeg $work/cut.moz")
  m_pack=$(peak "$pack" -q "$jpeg" "$work/cut.moz")
  t_djpeg=$(median "djpeg-$name" "$times" "djpeg -outfile /dev/null $jpeg")
  m_djpeg=$(peak djpeg -outfile /dev/null "$jpeg")
  t_crop=$(median "crop-$name" "$times" "jpegtran -crop ${width}x64+0+0 -outfile /dev/null $jpeg")
  m_crop=$(peak jpegtran -crop "${width}x64+0+0" -outfile /dev/null "$jpeg")
  t_dz=$(median "dz-$name" 1 "$(dz "$jpeg")")
  m_dz=$(peak bash -c "$(dz "$jpeg")")
  dz_cell=$(printf '%6.2f s %7s MiB' "$t_dz" "$(mib "$m_dz")")
  printf '%-28s %6.2f s %7s MiB   %-22s %6.2f s %7s MiB   %6.2f s %6s MiB\n' \
    "$(vipsheader -f width "$jpeg") x $(vipsheader -f height "$jpeg") ${name#*-}" \
    "$t_pack" "$(mib "$m_pack")" "$dz_cell" "$t_djpeg" "$(mib "$m_djpeg")" "$t_crop" "$(mib "$m_crop")"
  echo "  moz-pack / djpeg: $(ratio "$t_pack" "$t_djpeg" 2), vips dzsave / moz-pack: $(ratio "$t_dz" "$t_pack")"
done
rm -rf "$work/dz"

# Sizes: the MOZ against the JPEG, and its tiles against jpegtran -optimize's
# crops of the same cells, cropped from each band row first so the picture is
# not read whole once for every cell.
echo
echo "sizes: the MOZ's tiles against jpegtran -optimize -copy none -crop of the same cells"
for name in 8k-baseline 8k-progressive wide-baseline; do
  jpeg=$work/jpeg-$name.jpg
  width=$(vipsheader -f width "$jpeg")
  height=$(vipsheader -f height "$jpeg")
  "$pack" -q "$jpeg" "$work/cut.moz"
  rows=$(( (height + 63) / 64 ))
  [ "${name#wide}" != "$name" ] && rows=1
  columns=$(( (width + 63) / 64 ))
  rm -rf "$work/sizes" && mkdir -p "$work/sizes"
  theirs=$(seq 0 $((rows - 1)) | xargs -P "$(nproc)" -I{} bash -c '
    row=$1 jpeg=$2 width=$3 columns=$4 dir=$5
    jpegtran -crop ${width}x64+0+$((row * 64)) "$jpeg" > "$dir/$row.jpg"
    total=0
    for column in $(seq 0 $((columns - 1))); do
      cell=$(( width - column * 64 < 64 ? width - column * 64 : 64 ))
      bytes=$(jpegtran -optimize -copy none -crop ${cell}x64+$((column * 64))+0 "$dir/$row.jpg" | wc -c)
      total=$((total + bytes))
    done
    echo "$total"' _ {} "$jpeg" "$width" "$columns" "$work/sizes" | awk '{ s += $1 } END { print s }')
  ours=$(python3 - "$work/cut.moz" "$((rows * columns))" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
at, total = 8, 0
for _ in range(int(sys.argv[2])):
    length = struct.unpack(">H", data[at + 4:at + 6])[0]
    total += length
    at += 6 + length
print(total)
PY
)
  printf '%-28s JPEG %11d  MOZ %11d  (%s of the JPEG)  tiles %11d  jpegtran -optimize %11d  (%s)\n' \
    "$width x $height ${name#*-}" "$(stat -c %s "$jpeg")" "$(stat -c %s "$work/cut.moz")" \
    "$(ratio "$(stat -c %s "$work/cut.moz")" "$(stat -c %s "$jpeg")" 3)" "$ours" "$theirs" \
    "$(ratio "$ours" "$theirs" 3)"
done
rm -rf "$work/sizes" "$work/cut.moz"
