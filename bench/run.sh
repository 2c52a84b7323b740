#!/usr/bin/env bash
# The benchmark: bash bench/run.sh
# Builds the tools, writes large containers into tmpfs and times, as medians of
# several runs side by side (taking turns), the checkers against `cat FILE > /dev/null` and the
# extractors against the floor program, which writes the same tile files from
# memory. Then the peak memory on the smallest and the largest file. Needs
# hyperfine, python3 and /usr/bin/time (Debian: hyperfine, python3, time).
# Then bench/pictures.sh, for moz-stitch and moz-deepzoom against vips, and
# bench/tiff.sh, moz-tiff against moz-stitch and vips's pyramid.
# Then the pack tools: unpacking against the floor writing the same files,
# packing against the floor reading them into one file, peak memory on the
# largest MOZ, and salvage of it with one record damaged against its plain
# unpacking.
# BENCH_BUILD=DIR times the container tools of another build tree (the static
# release build, build-release/x86_64/build, say); BENCH_PICTURES=0 skips the
# picture tools. The inputs (1.7 GB, more with the pictures) are made in
# $BENCH_DIR (/dev/shm/tiletools-bench) and removed at the end unless
# BENCH_KEEP=1, which saves making them again next time.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-/dev/shm/tiletools-bench}
runs=${BENCH_RUNS:-20}
cd "$repo"

cmake --preset default > /dev/null
cmake --build --preset default --target tiz_tilelist tiz_tilesave moz_gridcheck moz_tilesave bench_floor > /dev/null
if [ "${BENCH_KEEP:-0}" != 1 ]; then
  trap 'rm -rf "$work"; echo "removed the inputs in $work (BENCH_KEEP=1 keeps them)"' EXIT
fi
bin=${BENCH_BUILD:-$repo/build}
mkdir -p "$work"
[ -f "$work/tiz-mixed.tiz" ] || python3 bench/make_containers.py "$work"
ls -l "$work"/*.moz "$work"/*.tiz

. "$repo/bench/lib.sh"

# NAME BASELINE TOOL [PREPARE]: times both in turns, prints tool/baseline.
compare() {
  local name=$1 baseline=$2 tool=$3 prepare=${4:-true} base_s tool_s
  read -r base_s tool_s < <(turns "${name// /-}" "$runs" "$prepare" "$baseline" "$tool")
  printf '%-42s tool %8.1f ms  baseline %8.1f ms  ratio %s\n' "$name" \
    "$(python3 -c "print($tool_s * 1000)")" "$(python3 -c "print($base_s * 1000)")" "$(ratio "$tool_s" "$base_s" 2)"
}

out=$work/out
fresh="rm -rf $out && mkdir $out"
echo
echo "medians of $runs runs, tool and baseline in turn; ratio = tool / baseline"
for file in moz-grid-200.moz moz-grid-2k.moz; do
  compare "gridcheck $file vs cat" "cat $work/$file > /dev/null" "$bin/moz/gridcheck $work/$file > /dev/null"
done
compare "tilelist tiz-mixed.tiz vs cat" "cat $work/tiz-mixed.tiz > /dev/null" \
  "$bin/tiz/tilelist $work/tiz-mixed.tiz > /dev/null"
compare "moz tilesave moz-8k.moz vs floor" "cd $out && $bin/bench/floor 16384 2048" \
  "cd $out && $bin/moz/tilesave $work/moz-8k.moz > /dev/null" "$fresh"
compare "tiz tilesave tiz-mixed.tiz vs floor" "cd $out && $bin/bench/floor 65535 2048,1846,-" \
  "cd $out && $bin/tiz/tilesave $work/tiz-mixed.tiz > /dev/null" "$fresh"

echo
echo "peak resident memory (/usr/bin/time -v)"
for run in "moz/gridcheck $repo/examples/scene.moz" "moz/gridcheck $work/moz-grid-2k.moz" \
           "tiz/tilelist $repo/examples/scene.tiz" "tiz/tilelist $work/tiz-mixed.tiz"; do
  kib=$( { /usr/bin/time -v $bin/$run > /dev/null; } 2>&1 | awk -F': ' '/Maximum resident/ {print $2}')
  printf '%-60s %6s KiB\n' "${run//$repo\//}" "$kib"
done
rm -rf "$out"

# The pack tools, where they were built.
if cmake --build --preset default --target tiz_unpack tiz_pack moz_unpack moz_pack > /dev/null 2>&1; then
  echo
  echo "unpack and pack against the floor; medians of $runs runs"
  tiz_parts="2048,200:zlib+1846,2048:zlib"
  compare "moz unpack moz-8k.moz vs floor" "cd $out && $bin/bench/floor 16384 2048" \
    "$bin/moz/unpack $work/moz-8k.moz $out/parts" "$fresh"
  compare "tiz unpack tiz-mixed.tiz vs floor" "cd $out && $bin/bench/floor 65535 $tiz_parts" \
    "$bin/tiz/unpack $work/tiz-mixed.tiz $out/parts" "$fresh"
  for name in moz-8k tiz-mixed; do
    [ -d "$work/$name.parts" ] || "$bin/${name%%-*}/unpack" "$work/$name.${name%%-*}" "$work/$name.parts"
  done
  compare "moz pack moz-8k vs floor" "cd $work/moz-8k.parts && $bin/bench/floor 16384 2048 --read $out/x" \
    "$bin/moz/pack $work/moz-8k.parts $out/x.moz" "$fresh"
  compare "tiz pack tiz-mixed vs floor" \
    "cd $work/tiz-mixed.parts && $bin/bench/floor 65535 $tiz_parts --read $out/x" \
    "$bin/tiz/pack $work/tiz-mixed.parts $out/x.tiz" "$fresh"

  # The largest MOZ with the tag of its middle record lost.
  damaged=$work/moz-grid-2k-damaged.moz
  if [ ! -f "$damaged" ]; then
    cp "$work/moz-grid-2k.moz" "$damaged"
    printf 'XXX' | dd of="$damaged" bs=1 seek=$((8 + 131072 * 2054)) conv=notrunc status=none
  fi
  saved=$runs
  runs=${BENCH_BIG_RUNS:-5}
  compare "moz unpack --salvage, 538 MB, vs undamaged" \
    "$bin/moz/unpack $work/moz-grid-2k.moz $out/parts" \
    "$bin/moz/unpack --salvage $damaged $out/parts 2> /dev/null; [ \$? = 1 ]" "$fresh"
  runs=$saved
  echo
  echo "peak resident memory, 262,144 tiles (/usr/bin/time -v)"
  eval "$fresh"
  for run in "moz/unpack $work/moz-grid-2k.moz $out/parts" "moz/pack $out/parts $out/again.moz"; do
    kib=$( { /usr/bin/time -v "$bin/"$run > /dev/null; } 2>&1 | awk -F': ' '/Maximum resident/ {print $2}')
    printf '%-60s %6s KiB\n' "${run//$work\//}" "$kib"
  done
  cmp -s "$work/moz-grid-2k.moz" "$out/again.moz" && echo "packed back to the same 538 MB, byte for byte"
  rm -rf "$out"
fi

# The picture tools, where they were built.
if [ "${BENCH_PICTURES:-1}" != 0 ] &&
   { [ -x "$bin/moz/stitch" ] || cmake --build --preset default --target moz_stitch > /dev/null 2>&1; }; then
  bash "$repo/bench/pictures.sh"
  bash "$repo/bench/tiff.sh"
  bash "$repo/bench/cut.sh"
  bash "$repo/bench/jpeg.sh"
fi
