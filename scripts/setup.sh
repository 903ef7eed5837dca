#!/usr/bin/env bash
# Installs what the relay and its tests need on Debian 12, then builds.
set -euo pipefail
cd "$(dirname "$0")/.."

# systemd and dpkg-dev: the package test verifies the unit and builds the package;
# nginx and the Prometheus client: the tier test puts nginx in front and reads /metrics.
packages=(cmake g++ make libcivetweb-dev libgtest-dev iproute2 ffmpeg python3-websockets python3-pytest curl socat chromium wrk
  systemd dpkg-dev nginx python3-prometheus-client)
scripts/install-packages.sh "${packages[@]}"
scripts/install-npm-packages.sh

build=${QB_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQB_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

# The folder a relay serves its player page from: the page and hls.js.
mkdir -p "$build/player"
cp www/* node_modules/hls.js/dist/hls.min.js "$build/player/"
