#!/usr/bin/env bash
# Benchmarks the relay side by side with a bare receiver, ffmpeg's HLS muxer
# and nginx. Installs what it needs, builds a Release relay, then runs
# everything inside a private network namespace that has only its own
# loopback, so no multicast or test traffic can leave. As root, on Debian 12:
#
#   scripts/bench.sh [--reps N] [--cpu-seconds S] ...   (see bench/bench.py --help)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" != 0 ]; then
  echo "$0: needs root (package installs, unshare --net)" >&2
  exit 1
fi

packages=(cmake g++ gcc make libcivetweb-dev iproute2 util-linux ffmpeg nginx wrk linux-perf python3-websockets)
scripts/install-packages.sh "${packages[@]}"

build=${QB_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DQB_WERROR=ON >/dev/null
cmake --build "$build" --target quillbrook -j"$(nproc)"

tools=$build/bench
mkdir -p "$tools"
for tool in mcast_blast bare_receiver; do
  gcc -O2 -Wall -Wextra -Werror -o "$tools/$tool" "bench/$tool.c"
done
ln -sf ../quillbrook "$tools/quillbrook"

# The test stream padded with null packets to a constant 8.8 Mbit/s: the
# 1.8 s after which a segment is due then come to about 2,000,000 bytes, and
# the size rule cuts there rather than at the next keyframe, so the relay's
# segments are the size of the file nginx serves.
stream=$tools/stream.ts
if [ ! -s "$stream" ]; then
  tools/make_test_stream.sh "$tools/base.ts" 20
  ffmpeg -nostdin -hide_banner -loglevel error -y -i "$tools/base.ts" -map 0 -c copy \
    -streamid 0:0x100 -streamid 1:0x101 -f mpegts -muxrate 8800000 "$stream.tmp"
  mv "$stream.tmp" "$stream"
fi

workdir=$(mktemp -d /dev/shm/quillbrook-bench.XXXXXX)
trap 'rm -rf "$workdir"' EXIT
chmod 755 "$workdir"  # nginx workers run as nobody
results=${QB_BENCH_RESULTS:-$build/bench-results.json}
unshare --net -- bash -c '
  set -e
  ip link set lo up
  ip link set lo multicast on
  ip route add 224.0.0.0/4 dev lo
  exec /usr/bin/python3 bench/bench.py "$@"' bench \
  --tools "$tools" --stream "$stream" --workdir "$workdir" --results "$results" "$@"
