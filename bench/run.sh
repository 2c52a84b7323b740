#!/usr/bin/env bash
# The benchmark: bash bench/run.sh
# Builds the tools, writes large containers into tmpfs and times, as medians of
# several runs side by side, the checkers against `cat FILE > /dev/null` and the
# extractors against the floor program, which writes the same tile files from
# memory. Then the peak memory on the smallest and the largest file. Needs
# hyperfine, python3 and /usr/bin/time (Debian: hyperfine, python3, time).
# Then bench/pictures.sh, for moz-stitch and moz-deepzoom against vips.
# BENCH_BUILD=DIR times the container tools of another build tree (the static
# release build, build-release/x86_64/build, say); BENCH_PICTURES=0 skips the
# picture tools.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-/dev/shm/tiletools-bench}
runs=${BENCH_RUNS:-20}
cd "$repo"

cmake --preset default > /dev/null
cmake --build --preset default --target tiz_tilelist tiz_tilesave moz_gridcheck moz_tilesave bench_floor > /dev/null
bin=${BENCH_BUILD:-$repo/build}
mkdir -p "$work"
[ -f "$work/tiz-mixed.tiz" ] || python3 bench/make_containers.py "$work"
ls -l "$work"/*.moz "$work"/*.tiz

compare() {  # NAME BASELINE TOOL [PREPARE]: times both, prints tool/baseline
  local name=$1 baseline=$2 tool=$3 prepare=${4:-true}
  hyperfine --style basic --runs "$runs" --warmup 2 --prepare "$prepare" \
    --export-json "$work/$name.json" -n baseline "$baseline" -n tool "$tool" > "$work/$name.log" 2>&1
  python3 - "$work/$name.json" "$name" <<'PY'
import json, sys
runs = {r["command"]: r["median"] for r in json.load(open(sys.argv[1]))["results"]}
print(f'{sys.argv[2]:32} tool {runs["tool"]*1000:8.1f} ms  baseline {runs["baseline"]*1000:8.1f} ms  ratio {runs["tool"]/runs["baseline"]:.2f}')
PY
}

out=$work/out
fresh="rm -rf $out && mkdir $out"
echo
echo "medians of $runs runs; ratio = tool / baseline"
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

# The picture tools, where they were built.
if [ "${BENCH_PICTURES:-1}" != 0 ] &&
   { [ -x "$repo/build/moz/stitch" ] || cmake --build --preset default --target moz_stitch > /dev/null 2>&1; }; then
  bash "$repo/bench/pictures.sh"
fi
