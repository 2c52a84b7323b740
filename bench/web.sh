#!/usr/bin/env bash
# The web page against what the browser itself allows: bash bench/web.sh
# Builds the page and moz-gridcheck, makes the benchmark's containers in
# $BENCH_DIR (/dev/shm/tiletools-bench) unless they are there, and runs
# bench/web.mjs in headless Chromium (Debian: chromium) on the 538 MB MOZ:
# the page's listing against plain reads of the same File and against
# moz-gridcheck, side by side in one run, then the sample's time to its
# picture and the big file's overview with the peak JavaScript heap.
# BENCH_RUNS (5) rounds.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-/dev/shm/tiletools-bench}
cd "$repo"
cmake --preset default > /dev/null
cmake --build --preset default --target web_page moz_gridcheck > /dev/null
page=$(ls build/web/tiletools-*.html)
mkdir -p "$work"
[ -f "$work/moz-grid-2k.moz" ] || python3 bench/make_containers.py "$work"
node bench/web.mjs build/web-npm/node_modules "$repo/$page" "$work/moz-grid-2k.moz" \
  "$repo/examples/scene.moz" build/moz/gridcheck "${BENCH_RUNS:-5}"
