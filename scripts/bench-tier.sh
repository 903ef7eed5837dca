#!/usr/bin/env bash
# How many viewers one relay holds with the nginx tier in front, and what it
# costs the relay and nginx: bench/tier.py over scripts/channels.sh, all in
# private network namespaces. As root, on Debian 12 (about two and a half
# minutes): classic viewers in steps, then low-latency ones.
#
#   scripts/bench-tier.sh [--steps 0 100 1000] [--low-latency-steps 100] [--seconds 30]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >/dev/null
results=${QB_BENCH_RESULTS:-build/bench-tier-results.json}
exec /usr/bin/python3 bench/tier.py --results "$results" "$@"
