#!/usr/bin/env bash
# Prints the path of a test stream made by tools/make_test_stream.sh with the
# same arguments (see there), making it first if there is none yet:
#   tools/test_stream.sh [SECONDS] [VIDEO_PID] [PICTURE] [ENCODING] [MUXING]
# The one cache of test streams, in build/test-streams/, for the demo, the
# channels, the tests and the bench. Each stream is named by a hash of the
# maker's text and the arguments, so one made by an older maker or for other
# arguments is never taken for it.
set -euo pipefail
cd "$(dirname "$0")/.."
cache=$PWD/build/test-streams
key=$({ cat tools/make_test_stream.sh; printf '%s\n' "$@"; } | sha1sum | cut -c1-12)
stream=$cache/stream-${1:-30}s-$key.ts
if ! [ -s "$stream" ]; then
  mkdir -p "$cache"
  part=$stream.$$.part
  trap 'rm -f "$part"' EXIT
  echo "making a test stream (once): $stream" >&2
  tools/make_test_stream.sh "$part" "$@" >&2
  mv "$part" "$stream"
fi
echo "$stream"
