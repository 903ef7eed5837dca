#!/usr/bin/env bash
# Prints the path of the demo's test stream, making it first if needed:
#   tools/demo_stream.sh BUILD_DIR SECONDS
# The cache is named by its length and by the maker's own text, so a stream
# made for another length or by an older maker is never taken for it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1 seconds=$2
stream=$build/demo-${seconds}s-$(sha1sum tools/make_test_stream.sh | cut -c1-8).ts
if ! [ -s "$stream" ]; then
  echo "making the test stream (once): $stream" >&2
  tools/make_test_stream.sh "$stream.part" "$seconds" >&2
  mv "$stream.part" "$stream"
fi
echo "$stream"
