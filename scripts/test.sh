#!/usr/bin/env bash
# Sets everything up, then runs every test: unit tests, then the end-to-end
# tests, each in a private network namespace of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build=$(realpath "${QB_BUILD_DIR:-build}")
(cd "$build" && ctest --output-on-failure)
QB_BUILD_DIR="$build" /usr/bin/python3 -m pytest -q tests/e2e
# The player page in headless Chromium, against the relay in a namespace.
QB_BUILD_DIR="$build" node --test tests/browser/player.test.mjs
# The same tests again under ASan+UBSan and under TSan (QB_SANITIZERS=none skips).
scripts/sanitize.sh
