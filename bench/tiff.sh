#!/usr/bin/env bash
# moz-tiff against the way there is without it: moz-stitch to a PNG, then
# vips making the same tiled pyramidal TIFF (64-pixel JPEG tiles, every
# level) from the PNG, on the 8192 x 8192 benchmark MOZ; medians of turns
# taken, and each one's peak memory. Then the 32767 x 32767 MOZ to a BigTIFF,
# moz-tiff alone. Needs hyperfine, python3, cjpeg, vips and /usr/bin/time
# (Debian: hyperfine, python3, libjpeg-turbo-progs, libvips-tools, time).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-/dev/shm/tiletools-bench}
runs=${BENCH_BIG_RUNS:-3}
bin=$repo/build
cd "$repo"
cmake --build --preset default --target moz_stitch moz_tiff > /dev/null
mkdir -p "$work"
[ -f "$work/picture-32k.moz" ] || python3 bench/make_pictures.py "$work"
. "$repo/bench/lib.sh"

ours="$bin/moz/tiff -q $work/picture-8k.moz $work/ours-8k.tif"
theirs="$bin/moz/stitch -q $work/picture-8k.moz $work/stitched-8k.png && vips tiffsave \
$work/stitched-8k.png $work/vips-8k.tif --tile --tile-width 64 --tile-height 64 --pyramid \
--compression jpeg"
read -r t8 v8 <<< "$(turns tiff-8k "$runs" "rm -f $work/ours-8k.tif $work/vips-8k.tif" "$ours" \
  "$theirs")"
m8=$(peak "$bin/moz/tiff" -q "$work/picture-8k.moz" "$work/ours-8k.tif")
mv8=$(peak vips tiffsave "$work/stitched-8k.png" "$work/vips-8k.tif" --tile --tile-width 64 \
  --tile-height 64 --pyramid --compression jpeg)
ms8=$(peak "$bin/moz/stitch" -q "$work/picture-8k.moz" "$work/stitched-8k.png")
levels8=$(vipsheader -f n-pages "$work/ours-8k.tif")
t32=$(median tiff-32k 1 --prepare "rm -f $work/ours-32k.tif" \
  "$bin/moz/tiff -q --bigtiff $work/picture-32k.moz $work/ours-32k.tif")
m32=$(peak "$bin/moz/tiff" -q --bigtiff "$work/picture-32k.moz" "$work/ours-32k.tif")
levels32=$(vipsheader -f n-pages "$work/ours-32k.tif")

mib() { python3 -c "import sys; print(f'{int(sys.argv[1]) / 1024:.0f}')" "$1"; }
size() { python3 -c "import os,sys; print(f'{os.path.getsize(sys.argv[1]) / 2**20:.0f}')" "$1"; }
echo
echo "moz-tiff against moz-stitch then vips tiffsave --pyramid (medians of $runs turns)"
printf '%-46s %9s %11s %8s\n' run moz-tiff "stitch+vips" faster
printf '%-46s %8.2fs %10.2fs %7sx\n' "8192 x 8192, 16,384 tiles, $levels8 levels" "$t8" "$v8" \
  "$(ratio "$v8" "$t8")"
printf '%-46s %6s MiB %4s + %s MiB\n' "  peak memory" "$(mib "$m8")" "$(mib "$ms8")" "$(mib "$mv8")"
printf '%-46s %6s MiB %8s MiB\n' "  TIFF size" "$(size "$work/ours-8k.tif")" \
  "$(size "$work/vips-8k.tif")"
printf '%-46s %8.2fs\n' "32767 x 32767 to a BigTIFF, $levels32 levels" "$t32"
printf '%-46s %6s MiB, %s MiB written\n' "  peak memory" "$(mib "$m32")" \
  "$(size "$work/ours-32k.tif")"
rm -f "$work/ours-32k.tif" "$work/stitched-8k.png"
