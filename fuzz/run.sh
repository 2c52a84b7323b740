#!/usr/bin/env bash
# Fuzzes every target for SECONDS (30 by default) from the saved seeds, as many
# targets at once as there are cores: bash fuzz/run.sh [SECONDS]
# Needs the fuzz build (cmake --preset fuzz && cmake --build --preset fuzz).
# Prints the end of each target's log; the status is non-zero when any target
# made a finding, whose input libFuzzer writes into the current directory.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# TARGET:SEED FOLDERS. The pack tools' target reads both families' seeds and
# its own damaged files.
targets="tiz:tiz moz:moz stitch:moz pack:tiz+moz+pack picture:picture jpeg:jpeg carve:carve"

fuzz_one() {
  local target=${1%:*} families=${1#*:} family seed
  mkdir -p "$work/$target"
  for family in ${families//+/ }; do
    for seed in "$repo/fuzz/corpus/$family"/*; do
      cp "$seed" "$work/$target/$family-${seed##*/}"
    done
  done
  "$repo/build-fuzz/fuzz/${target}_fuzz" -max_len=300000 -len_control=0 \
    -max_total_time="$seconds" -print_final_stats=1 "$work/$target" > "$work/$target.log" 2>&1
}
export -f fuzz_one
export repo seconds work

status=0
printf '%s\n' $targets | xargs -P "$(nproc)" -I{} bash -c 'fuzz_one {}' || status=1
for target in $targets; do
  printf '\n--- %s_fuzz\n' "${target%:*}"
  tail -n 12 "$work/${target%:*}.log"
done
exit "$status"
