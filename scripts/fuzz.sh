#!/usr/bin/env bash
# Builds the fuzz targets (libFuzzer with ASan+UBSan, clang) in build-fuzz and
# runs each for SECONDS (default 60), starting from its seeds in fuzz/corpus/.
#
#   scripts/fuzz.sh [SECONDS]        0 only replays the corpora, no fuzzing
#
# Inputs that reach new code collect in build-fuzz/corpus/<target>/ and carry
# over to the next run. A crash or broken invariant leaves its input in
# build-fuzz/artifacts/ and fails the run; reproduce it with
#   build-fuzz/fuzz/<target>_fuzzer build-fuzz/artifacts/<file>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[[ $seconds =~ ^[0-9]+$ ]] || { echo "usage: $0 [SECONDS]" >&2; exit 2; }

packages=(clang-14 libclang-rt-14-dev libcivetweb-dev cmake make)
scripts/install-packages.sh "${packages[@]}"

build=build-fuzz
targets=(ts_scan stream_description segment_name psi)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 -DQB_WERROR=ON \
  -DQB_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/%/_fuzzer}"

mkdir -p "$build/artifacts" "$build/logs"
# The targets keep their scratch files (the relay's log) here; a crashed run
# cannot remove its own.
export TMPDIR="$PWD/$build/scratch"
rm -rf "$TMPDIR"
mkdir -p "$TMPDIR"

failed=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  options=(-timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-")
  [ -f "fuzz/$target.dict" ] && options+=(-dict="fuzz/$target.dict")
  # Several datagrams of up to 4,096 bytes in one input.
  [ "$target" = ts_scan ] && options+=(-max_len=16384)
  # Tables of several programs take many packets.
  [ "$target" = psi ] && options+=(-max_len=8192)
  if [ "$seconds" -eq 0 ]; then
    options+=(-runs=0)
  else
    options+=(-max_total_time="$seconds")
  fi
  log="$build/logs/$target.log"
  echo "== $target: ${seconds}s, log in $log"
  # The first corpus folder takes the new inputs; the checked-in seeds stay as they are.
  if "$build/fuzz/${target}_fuzzer" "${options[@]}" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)|INITED|DONE' "$log" | tail -4 || true
    echo "   corpus: $(find "$corpus" -type f | wc -l) inputs"
  else
    echo "!! $target failed; end of $log:" >&2
    tail -40 "$log" >&2
    failed+=("$target")
  fi
done
rm -rf "$TMPDIR"

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: failed: ${failed[*]} (inputs in $build/artifacts/)" >&2
  exit 1
fi
