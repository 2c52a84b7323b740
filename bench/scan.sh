#!/usr/bin/env bash
# tiletools-scan on a 4 GiB disk image in /dev/shm (bench/make_image.py: in
# each 64 MiB the example containers whole, cut and in two pieces, loose JPEG
# tiles, text naming both magics, the rest noise), and again on one where a
# third of each 64 MiB is text crowded with magics and tags. Each side by
# side with `cat IMAGE > /dev/null`, the floor of reading it (from a pipe,
# `cat IMAGE | cat`), and with two general carvers on the same image,
# foremost (JPEG) and PhotoRec (every file type it knows): the times, the
# peak memory and what each recovers. Needs
# hyperfine, python3, time, foremost and photorec (testdisk).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-/dev/shm/tiletools-bench}
runs=${BENCH_RUNS:-10}
gib=${BENCH_GIB:-4}
bin=${BENCH_BIN:-$repo/build}
cd "$repo"
[ -n "${BENCH_BIN:-}" ] || cmake --build --preset default --target tiletools_scan > /dev/null
mkdir -p "$work"
scan=$bin/tiletools/scan
ratio() { python3 -c "import sys; print(f'{float(sys.argv[1]) / float(sys.argv[2]):.2f}x')" "$1" "$2"; }

for kind in plain decoys; do
  image=$work/disk-${gib}g-$kind.img
  if [ ! -f "$image" ]; then
    python3 bench/make_image.py "$image" "$gib" $([ "$kind" = decoys ] && echo --decoys)
  fi
  # The two in turn, run after run, so that both see the same machine.
  hyperfine --style none --runs "$runs" --warmup 2 --export-json "$work/scan-pair.json" \
    -N "cat $image" "$scan -q $image" --output=null > /dev/null
  read -r cat_s scan_s < <(python3 -c "import json,sys
r = json.load(open(sys.argv[1]))['results']
print(r[0]['median'], r[1]['median'])" "$work/scan-pair.json")
  # From a pipe: one reader, against cat passing the same bytes on.
  hyperfine --style none --runs "$runs" --warmup 1 --export-json "$work/pipe-pair.json" \
    "cat $image | cat" "cat $image | $scan -q -" --output=null > /dev/null
  read -r pipe_cat_s pipe_scan_s < <(python3 -c "import json,sys
r = json.load(open(sys.argv[1]))['results']
print(r[0]['median'], r[1]['median'])" "$work/pipe-pair.json")
  /usr/bin/time -o "$work/peak" -f '%M' "$scan" -q "$image" > "$work/scan.txt"
  rm -rf "$work/found" "$work/foremost" "$work/photorec"*
  /usr/bin/time -o "$work/extract-time" -f '%e' "$scan" -q --extract "$work/found" "$image" > /dev/null
  /usr/bin/time -o "$work/foremost-time" -f '%e' foremost -Q -t jpg -i "$image" -o "$work/foremost" > /dev/null 2>&1 || true
  foremost_jpegs=$(find "$work/foremost" -name '*.jpg' | wc -l)
  mkdir -p "$work/photorec"
  TERM=dumb /usr/bin/time -o "$work/photorec-time" -f '%e' \
    photorec /d "$work/photorec/out" /cmd "$image" partition_none,fileopt,everything,enable,search \
    > /dev/null 2>&1 || true
  photorec_files=$(find "$work/photorec" -type f ! -name report.xml | sed 's/.*\.//' | sort | uniq -c |
    awk '{ printf "%s%d .%s", (n++ ? ", " : ""), $1, $2 } END { if (!n) printf "nothing" }')

  echo
  echo "tiletools-scan of a $gib GiB image ($kind) from /dev/shm, against cat (the floor), foremost and PhotoRec"
  printf '%-52s %10s\n' "cat IMAGE > /dev/null (median of $runs)" "${cat_s:0:6} s"
  printf '%-52s %10s\n' "tiletools-scan IMAGE (median of $runs)" "${scan_s:0:6} s"
  printf '%-52s %10s\n' "  against cat" "$(ratio "$scan_s" "$cat_s")"
  printf '%-52s %10s\n' "  peak memory" "$(cat "$work/peak") KiB"
  printf '%-52s %10s\n' "cat IMAGE | cat (median of $runs)" "${pipe_cat_s:0:6} s"
  printf '%-52s %10s\n' "cat IMAGE | tiletools-scan - (median of $runs)" "${pipe_scan_s:0:6} s"
  printf '%-52s %10s\n' "  against cat | cat" "$(ratio "$pipe_scan_s" "$pipe_cat_s")"
  printf '%-52s %10s\n' "tiletools-scan --extract DIR IMAGE" "$(cat "$work/extract-time") s"
  printf '%-52s %10s\n' "foremost -t jpg (its default, every byte)" "$(cat "$work/foremost-time") s"
  printf '%-52s %10s\n' "photorec, every file type, the whole image" "$(cat "$work/photorec-time") s"
  "$scan" -q --json "$image" > "$work/scan.json"
  echo "found by tiletools-scan: $(python3 -c "import collections, json, sys
states = collections.Counter(json.loads(line)['state'] for line in open(sys.argv[1]))
print(sum(states.values()), 'containers:', ', '.join(f'{n} {s}' for s, n in sorted(states.items())))" "$work/scan.json")"
  echo "  written out: $(ls "$work/found" | wc -l) files, every one whole (intact, mended or joined)"
  echo "recovered by foremost: $foremost_jpegs loose JPEG files, no containers"
  echo "recovered by PhotoRec: $photorec_files"
  rm -rf "$work/found" "$work/foremost" "$work/photorec"
  [ -n "${BENCH_KEEP:-}" ] || rm -f "$image"
done
