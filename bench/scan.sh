#!/usr/bin/env bash
# tiletools-scan on a 4 GiB disk image in /dev/shm (bench/make_image.py: in
# each 64 MiB the example containers whole, cut and in two pieces, loose JPEG
# tiles, text naming both magics, the rest noise), side by side with
# `cat IMAGE > /dev/null`, the floor of reading it, and with foremost, a
# generic carver, on the same image: the times, the peak memory and what each
# recovers. Needs hyperfine, python3, time and foremost.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-/dev/shm/tiletools-bench}
runs=${BENCH_RUNS:-10}
gib=${BENCH_GIB:-4}
bin=${BENCH_BIN:-$repo/build}
cd "$repo"
[ -n "${BENCH_BIN:-}" ] || cmake --build --preset default --target tiletools_scan > /dev/null
mkdir -p "$work"
image=$work/disk-${gib}g.img
[ -f "$image" ] || python3 bench/make_image.py "$image" "$gib"
scan=$bin/tiletools/scan

# The two in turn, run after run, so that both see the same machine.
hyperfine --style none --runs "$runs" --warmup 2 --export-json "$work/scan-pair.json" \
  -N "cat $image" "$scan -q $image" --output=null > /dev/null
read -r cat_s scan_s < <(python3 -c "import json,sys
r = json.load(open(sys.argv[1]))['results']
print(r[0]['median'], r[1]['median'])" "$work/scan-pair.json")
/usr/bin/time -o "$work/peak" -f '%M' "$scan" -q "$image" > "$work/scan.txt"
peak=$(cat "$work/peak")
rm -rf "$work/found" "$work/foremost"
/usr/bin/time -o "$work/extract-time" -f '%e' "$scan" -q --extract "$work/found" "$image" > /dev/null
/usr/bin/time -o "$work/foremost-time" -f '%e' foremost -Q -t jpg -i "$image" -o "$work/foremost" > /dev/null 2>&1 || true
foremost_jpegs=$(find "$work/foremost" -name '*.jpg' | wc -l)

echo
echo "tiletools-scan of a $gib GiB image from /dev/shm, against cat (the floor) and foremost"
printf '%-52s %10s\n' "cat IMAGE > /dev/null (median of $runs)" "${cat_s:0:6} s"
printf '%-52s %10s\n' "tiletools-scan IMAGE (median of $runs)" "${scan_s:0:6} s"
printf '%-52s %10s\n' "  against cat" "$(python3 -c "import sys; print(f'{float(sys.argv[1]) / float(sys.argv[2]):.2f}x')" "$scan_s" "$cat_s")"
printf '%-52s %10s\n' "  peak memory" "$peak KiB"
printf '%-52s %10s\n' "tiletools-scan --extract DIR IMAGE" "$(cat "$work/extract-time") s"
printf '%-52s %10s\n' "foremost -t jpg (its default, every byte)" "$(cat "$work/foremost-time") s"
"$scan" -q --json "$image" > "$work/scan.json"
echo "found by tiletools-scan: $(python3 -c "import collections, json, sys
states = collections.Counter(json.loads(line)['state'] for line in open(sys.argv[1]))
print(sum(states.values()), 'containers:', ', '.join(f'{n} {s}' for s, n in sorted(states.items())))" "$work/scan.json")"
echo "  written out: $(ls "$work/found" | wc -l) files, every one whole (intact, mended or joined)"
echo "recovered by foremost: $foremost_jpegs loose JPEG files, no containers"
rm -rf "$work/found" "$work/foremost"
[ -n "${BENCH_KEEP:-}" ] || rm -f "$image"
