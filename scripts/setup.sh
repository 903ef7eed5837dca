#!/usr/bin/env bash
# Installs what the relay and its tests need on Debian 12, then builds.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make libcivetweb-dev libgtest-dev iproute2 ffmpeg python3-websockets python3-pytest curl)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build=${QB_BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
