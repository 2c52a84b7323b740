#!/usr/bin/env bash
# The release's static x86_64 executables (musl, and the allocator they are
# linked with) against the .deb's (glibc, the same code), side by side:
# bash bench/static.sh, after packaging/release.sh, which makes both. Each
# picture tool on the bench's 8192 x 8192 MOZ, its PNG and a JPEG of it, and
# tiletools-scan on two 1 GiB disk images (bench/make_image.py, plain and
# decoy-dense), the two builds in turn (medians of BENCH_RUNS, 5 by default),
# then the system calls each makes for memory and locks (strace -c -f) on
# moz-deepzoom. The inputs stay in $BENCH_DIR (/dev/shm/tiletools-bench).
# BENCH_STATIC=DIR times another static build's bin/ instead (one linked
# without the allocator, say). Needs hyperfine, python3, cjpeg, vips and strace.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-/dev/shm/tiletools-bench}
runs=${BENCH_RUNS:-5}
cd "$repo"
version=$(sed -n 's/^project(tiletools VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
static=${BENCH_STATIC:-$repo/build-release/x86_64/tiletools-$version-linux-x86_64/bin}
deb=$repo/build-release/deb
[ -x "$static/moz-stitch" ] && [ -x "$deb/moz/stitch" ] || { echo "run packaging/release.sh first" >&2; exit 1; }
. "$repo/bench/lib.sh"
mkdir -p "$work"
[ -f "$work/picture-8k.moz" ] || python3 bench/make_pictures.py "$work"
[ -f "$work/picture-8k.png" ] || "$deb/moz/stitch" -q "$work/picture-8k.moz" "$work/picture-8k.png"
[ -f "$work/picture-8k.jpg" ] || { vips copy "$work/picture-8k.png" "$work/picture-8k.ppm" &&
  cjpeg -quality 90 "$work/picture-8k.ppm" > "$work/picture-8k.jpg" && rm "$work/picture-8k.ppm"; }
[ -d "$work/picture-8k.parts" ] || "$deb/moz/unpack" "$work/picture-8k.moz" "$work/picture-8k.parts"
for kind in plain decoys; do
  [ -f "$work/scan-$kind.img" ] ||
    python3 bench/make_image.py "$work/scan-$kind.img" 1 $([ "$kind" = decoys ] && echo --decoys)
done
out=$work/static-out

# NAME TOOL ARGS: TOOL ARGS by both builds in turn, OUT standing for a fresh
# output path; static / .deb.
row() {
  local name=$1 tool=$2 args=$3 deb_tool static_s deb_s
  deb_tool=$deb/${tool#*-}
  case $tool in
    tiz-*) deb_tool=$deb/tiz/${tool#tiz-} ;;
    moz-*) deb_tool=$deb/moz/${tool#moz-} ;;
    tiletools-*) deb_tool=$deb/tiletools/${tool#tiletools-} ;;
  esac
  read -r static_s deb_s < <(turns "static-${tool}" "$runs" "rm -rf $out" \
    "$static/$tool ${args//OUT/$out}" "$deb_tool ${args//OUT/$out}")
  printf '%-36s %8.3f s %8.3f s %7s\n' "$name" "$static_s" "$deb_s" "$(ratio "$static_s" "$deb_s" 2)"
}

echo "static x86_64 against the .deb's, medians of $runs runs in turn, 8192 x 8192"
printf '%-36s %10s %10s %7s\n' run static .deb ratio
row "moz-stitch" moz-stitch "-q $work/picture-8k.moz OUT"
row "moz-stitch --size 256" moz-stitch "-q --size 256 $work/picture-8k.moz OUT"
row "moz-stitch --scale 1/8" moz-stitch "-q --scale 1/8 $work/picture-8k.moz OUT"
row "moz-deepzoom" moz-deepzoom "-q $work/picture-8k.moz OUT"
row "moz-pack PNG" moz-pack "-q $work/picture-8k.png OUT"
row "moz-pack JPEG (without loss)" moz-pack "-q $work/picture-8k.jpg OUT"
row "moz-unpack" moz-unpack "$work/picture-8k.moz OUT"
row "moz-pack DIR" moz-pack "$work/picture-8k.parts OUT"
row "tiletools-scan, 1 GiB image" tiletools-scan "--quiet $work/scan-plain.img"
row "tiletools-scan, 1 GiB, decoy-dense" tiletools-scan "--quiet $work/scan-decoys.img"

echo
echo "moz-deepzoom's calls for memory and locks (strace -c -f): mmap munmap futex"
for side in static deb; do
  tool=$static/moz-deepzoom
  [ "$side" = deb ] && tool=$deb/moz/deepzoom
  rm -rf "$out"
  strace -c -f -o "$work/strace-$side" "$tool" -q "$work/picture-8k.moz" "$out"
  printf '%-8s %s\n' "$side" "$(awk '$NF == "mmap" || $NF == "munmap" || $NF == "futex" {
    calls[$NF] = $4 } END { printf "%d %d %d", calls["mmap"], calls["munmap"], calls["futex"] }' "$work/strace-$side")"
done
rm -rf "$out"
