#!/usr/bin/env bash
# Benchmarks the relay against a bare receiver (bench/bench.py). Installs what
# it needs, builds a Release relay and the sender, then runs everything inside
# a private network namespace that has only its own loopback, so no multicast
# or test traffic can leave. As root, on Debian 12:
#
#   scripts/bench.sh [--reps N] [--cpu-seconds S] ...   (see bench/bench.py --help)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" != 0 ]; then
  echo "$0: needs root (package installs, private namespaces)" >&2
  exit 1
fi
scripts/install-packages.sh cmake g++ gcc make libcivetweb-dev iproute2 util-linux ffmpeg wrk

build=${QB_BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DQB_WERROR=ON >/dev/null
cmake --build "$build" --target quillbrook quillbrook-client mcast_send -j"$(nproc)"
gcc -O2 -Wall -Wextra -Werror -o "$build/bare_receiver" bench/bare_receiver.c

# The demo's stream padded with null packets to a constant 8.8 Mbit/s, so the
# relay's work per datagram is that of a busy channel.
stream=$(tools/test_stream.sh 20 0x100 "" "" "-muxrate 8800000")
# A real 40 Mbit/s channel: noise keeps every frame big, 1080p60, a keyframe each second.
rss_stream=$(tools/test_stream.sh 12 0x100 "testsrc2=size=1920x1080:rate=60,noise=alls=32" \
  "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 60 -keyint_min 60 -sc_threshold 0 -b:v 40M -maxrate 40M \
  -bufsize 40M -c:a aac -b:a 128k -ac 2")
results=${QB_BENCH_RESULTS:-$build/bench-results.json}
exec scripts/netns.sh run /usr/bin/python3 bench/bench.py --build "$build" --stream "$stream" \
  --rss-stream "$rss_stream" --results "$results" "$@"
