# What the bench scripts share: sourced by each after it has set $work, the
# folder (in tmpfs) its inputs and timings go in. Needs hyperfine, python3
# and /usr/bin/time.

# NAME RUNS [HYPERFINE OPTIONS...] COMMAND: the median in seconds of RUNS
# runs after one to warm up.
median() {
  local name=$1 count=$2
  shift 2
  hyperfine --style none --runs "$count" --warmup 1 --export-json "$work/$name.json" "$@" > /dev/null
  python3 -c "import json,sys; print(json.load(open(sys.argv[1]))['results'][0]['median'])" "$work/$name.json"
  rm -f "$work/$name.json"
}

# NAME RUNS PREPARE FIRST SECOND: the two commands' medians in seconds,
# "FIRST SECOND". They take turns, one run each, so that a machine drifting
# over the minutes (a file system filling its caches, say) weighs on both
# alike; the first turn warms both up and is not counted.
turns() {
  local name=$1 count=$2 prepare=$3 first=$4 second=$5 run
  for run in $(seq 0 "$count"); do
    hyperfine --style none --runs 1 --prepare "$prepare" --export-json "$work/$name.$run.json" \
      -n first "$first" -n second "$second" > "$work/$name.log" 2>&1 ||
      { cat "$work/$name.log" >&2; return 1; }
  done
  python3 - "$work/$name" "$count" <<'PY'
import json, statistics, sys
times = {"first": [], "second": []}
for run in range(1, int(sys.argv[2]) + 1):
    for result in json.load(open(f"{sys.argv[1]}.{run}.json"))["results"]:
        times[result["command"]] += result["times"]
print(statistics.median(times["first"]), statistics.median(times["second"]))
PY
  rm -f "$work/$name".*.json "$work/$name.log"
}

# COMMAND...: its peak resident memory in KiB.
peak() { /usr/bin/time -o "$work/peak" -f '%M' "$@" > /dev/null 2>&1; cat "$work/peak"; }

# A B [DIGITS]: A / B, with one decimal unless DIGITS says otherwise.
ratio() { python3 -c "import sys; print(f'{float(sys.argv[1]) / float(sys.argv[2]):.{sys.argv[3]}f}')" "$1" "$2" "${3:-1}"; }
