#!/usr/bin/env bash
# Sets everything up, then runs every test: unit tests, then the end-to-end
# tests, each in a private network namespace of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build=${QB_BUILD_DIR:-build}
(cd "$build" && ctest --output-on-failure)
QB_BUILD_DIR="$PWD/$build" /usr/bin/python3 -m pytest -q tests/e2e
