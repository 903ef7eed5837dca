#!/usr/bin/env bash
# Installs Node, then the npm packages of package-lock.json when they are
# missing or older than it: hls.js for the player page, playwright-core,
# Shaka Player and video.js for the browser test.
set -euo pipefail
cd "$(dirname "$0")/.."
# Any Node with npm will do; Debian's own needs its separate npm package.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  scripts/install-packages.sh nodejs npm
fi
if ! [ node_modules/.package-lock.json -nt package-lock.json ]; then
  # Its report goes to stderr: package.sh prints only the package's path.
  npm ci --no-audit --no-fund --loglevel=error >&2
fi
