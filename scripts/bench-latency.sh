#!/usr/bin/env bash
# How far behind the source viewers see the picture, and how long a channel
# takes to start (bench/latency.mjs), in headless Chromium, with the relay,
# its client and the source in a private network namespace. Sets up what it
# needs, as the tests do. As root, on Debian 12 (about ten minutes, and a
# minute and a half more the first time, making its two 8-minute test streams):
#
#   scripts/bench-latency.sh [--settle 10] [--seconds 40] [--starts 5] [--results FILE]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" != 0 ]; then
  echo "$0: needs root (package installs, private namespaces)" >&2
  exit 1
fi
scripts/setup.sh >/dev/null
exec node bench/latency.mjs "$@"
