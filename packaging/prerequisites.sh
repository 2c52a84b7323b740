#!/usr/bin/env bash
# What building and testing tiletools needs on Debian or Ubuntu, as root:
#   sudo bash packaging/prerequisites.sh [MORE PACKAGES...]
# Enables the source packages (the web page's WebAssembly is built with zlib
# from Debian's source, and the release with libjpeg-turbo and libpng too),
# then installs the compilers, libraries and tools README lists, and any
# packages given. npm comes from the distribution unless one is installed.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
sources=$(ls /etc/apt/sources.list.d/*.sources 2> /dev/null || true)
if [ -n "$sources" ]; then
  sed -i 's/^Types: deb$/Types: deb deb-src/' $sources
elif ! grep -q '^deb-src ' /etc/apt/sources.list; then
  sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list > /etc/apt/sources.list.d/deb-src.list
fi
apt-get update -q
apt-get install -y -q --no-install-recommends \
  ca-certificates g++ cmake ninja-build pkg-config libjpeg-dev libpng-dev libtiff-dev zlib1g-dev \
  dpkg-dev libgtest-dev libjpeg-turbo-progs dosfstools mtools "$@"
command -v npm > /dev/null || apt-get install -y -q --no-install-recommends npm
