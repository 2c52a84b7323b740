#!/usr/bin/env bash
# The Windows executables under Wine against the Linux ones, side by side:
# bash bench/wine.sh (after packaging/release.sh, which makes both).
# On the bench's largest containers and pictures, each pair is timed in turn
# (medians of BENCH_RUNS), and their standard output, status and files are
# compared byte for byte. Needs wine, hyperfine and python3, and what
# bench/run.sh and bench/pictures.sh need to make the inputs, which stay in
# $BENCH_DIR (/dev/shm/tiletools-bench) unless BENCH_KEEP=0. Wine makes a
# file in a folder by looking through the folder's names first, so the time
# of writing 16,384 tiles into one folder grows with their square there (and
# not on Windows); the extractors' 16,384 tiles are left out for that. And
# Wine takes tens of milliseconds to start a process: the first row, a run on
# the 8 KB sample, measures it, and every row gives the ratio past it too.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-/dev/shm/tiletools-bench}
runs=${BENCH_RUNS:-10}
cd "$repo"
version=$(sed -n 's/^project(tiletools VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
linux=$repo/build-release/x86_64/tiletools-$version-linux-x86_64/bin
windows=$repo/build-release/windows/tiletools-$version-windows-x86_64/bin
[ -d "$linux" ] && [ -d "$windows" ] || { echo "run packaging/release.sh first" >&2; exit 1; }
if [ "${BENCH_KEEP:-1}" != 1 ]; then
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"
[ -f "$work/tiz-mixed.tiz" ] || python3 bench/make_containers.py "$work"
[ -f "$work/picture-8k.moz" ] || python3 bench/make_pictures.py "$work"
# Past 4 GiB, records of the largest payload with holes between their headers:
# long enough a walk that Wine's start-up weighs little.
[ -f "$work/sparse-4g.moz" ] || python3 - "$work" <<'PY'
import struct, sys
for name, head, count in (("sparse-4g.tiz", b"TIZ0\xff\xff\0\0", 65535),
                          ("sparse-4g.moz", b"MOZ0\x40\x00\x40\x00", 65536)):
    with open(f"{sys.argv[1]}/{name}", "wb") as out:
        out.write(head)
        kind = b"2" if name.endswith(".tiz") else b"J"
        for index in range(count):
            out.seek(8 + index * 65541)
            out.write(b"TIL" + kind + struct.pack(">H", 65535))
        out.truncate(8 + count * 65541)
PY
[ -f "$work/picture-8k.png" ] || "$linux/moz-stitch" -q "$work/picture-8k.moz" "$work/picture-8k.png"

export WINEPREFIX=$work/wine
mkdir -p "$WINEPREFIX"
wineserver -k 2> /dev/null || true  # one left from an earlier run
wineserver -p
WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init > /dev/null 2>&1
trap 'wineserver -k' EXIT
wine="$repo/packaging/wine-run"
. "$repo/bench/lib.sh"

# NAME "ARGS" OUTPUT: times TOOL ARGS for both builds in turn, each in a
# fresh folder, then compares what each left: standard output, status and
# every file.
compare() {
  local tool=$1 args=$2 run side
  for side in linux windows; do
    rm -rf "$work/$side" && mkdir "$work/$side"
  done
  local linux_s windows_s
  read -r linux_s windows_s < <(turns wine "$runs" "rm -rf $work/linux/* $work/windows/*" \
    "cd $work/linux && $linux/$tool $args > stdout" \
    "cd $work/windows && $wine $windows/$tool.exe $args > stdout")
  python3 - "$work/wine" "$tool $args" "$linux_s" "$windows_s" <<'PY'
import os, sys
linux, windows = float(sys.argv[3]), float(sys.argv[4])
name = sys.argv[2].replace(os.path.dirname(sys.argv[1]) + "/", "").replace(os.getcwd() + "/", "")
line = f"{name:52} linux {linux*1000:7.1f} ms  wine {windows*1000:7.1f} ms  ratio {windows/linux:.2f}"
started = sys.argv[1] + ".start"
if os.path.exists(started):
    start_linux, start_windows = map(float, open(started).read().split())
    line += f"  past start-up {(windows - start_windows) / (linux - start_linux):.2f}"
else:
    open(started, "w").write(f"{linux} {windows}")
print(line)
PY
  local status_linux=0 status_windows=0
  (cd "$work/linux" && "$linux/$tool" $args > stdout 2> stderr) || status_linux=$?
  (cd "$work/windows" && "$wine" "$windows/$tool.exe" $args > stdout 2> stderr) || status_windows=$?
  [ "$status_linux" = "$status_windows" ] || { echo "  statuses differ: $status_linux and $status_windows"; return 1; }
  rm "$work/linux/stderr" "$work/windows/stderr"  # progress lines name the program
  diff -r -q "$work/linux" "$work/windows" > /dev/null ||
    { echo "  outputs differ:"; diff -r -q "$work/linux" "$work/windows" | head; return 1; }
  echo "  the same output, status ($status_linux) and $(find "$work/linux" -type f | wc -l) files"
}

echo "medians of $runs runs, Linux (musl, static) and Windows under Wine in turn; ratio = wine / linux"
rm -f "$work/wine.start"
compare moz-gridcheck "$repo/examples/scene.moz"
compare moz-gridcheck "$work/moz-grid-2k.moz"
compare tiz-tilelist "$work/tiz-mixed.tiz"
compare moz-gridcheck "$work/sparse-4g.moz"
compare tiz-tilelist "$work/sparse-4g.tiz"
compare moz-stitch "-q $work/picture-8k.moz out.png"
compare moz-stitch "-q --size 256 $work/picture-32k.moz thumb.png"
compare moz-stitch "-q --scale 1/8 $work/picture-8k.moz eighth.png"
compare moz-pack "-q $work/picture-8k.png out.moz"
[ -f "$work/picture-8k.jpg" ] || { vips copy "$work/picture-8k.png" "$work/picture-8k.ppm" &&
  cjpeg -quality 90 "$work/picture-8k.ppm" > "$work/picture-8k.jpg" && rm "$work/picture-8k.ppm"; }
compare moz-pack "-q $work/picture-8k.jpg cut.moz"
