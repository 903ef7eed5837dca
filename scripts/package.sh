#!/usr/bin/env bash
# Builds the Debian package of the relay (Release, in build-package) and
# prints its path. Install it with
#   apt install ./build-package/quillbrook_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make libcivetweb-dev dpkg-dev)
scripts/install-packages.sh "${packages[@]}"
scripts/install-npm-packages.sh  # hls.js for the player page

build=build-package
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF \
  -DQB_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
rm -f "$build"/quillbrook_*.deb
(cd "$build" && cpack >cpack.log 2>&1) || { cat "$build/cpack.log" >&2; exit 1; }
realpath "$build"/quillbrook_*.deb
