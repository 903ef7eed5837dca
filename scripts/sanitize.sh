#!/usr/bin/env bash
# Builds the relay with sanitizers and runs the unit tests and the end-to-end
# tests against each build; any sanitizer report fails the run.
#
#   scripts/sanitize.sh                  ASan+UBSan (build-asan), then TSan (build-tsan)
#   QB_SANITIZERS=thread scripts/sanitize.sh     one of them only; "none" skips all
#   QB_SANITIZE_E2E="-k 'not ffmpeg'" scripts/sanitize.sh    extra pytest arguments, e2e part only
set -euo pipefail
cd "$(dirname "$0")/.."

read -r -a sanitizers <<<"${QB_SANITIZERS:-address thread}"
if [ "${sanitizers[*]}" = none ]; then exit 0; fi

# clang, not g++: GCC keeps UBSan in a library of its own beside ASan's, and
# that library then ignores log_path, so its reports would only reach the
# relay's standard error, which the end-to-end harness never reads.
packages=(clang-14 libclang-rt-14-dev)
scripts/install-packages.sh "${packages[@]}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail_on_reports() {
  local reports=$1 what=$2
  if [ -n "$(ls -A "$reports")" ]; then
    echo "sanitize.sh: $what: sanitizer reports in $reports:" >&2
    for f in "$reports"/*; do echo "--- $f" >&2; head -c 20000 "$f" >&2; done
    exit 1
  fi
}

for sanitizer in "${sanitizers[@]}"; do
  case "$sanitizer" in
    address) build=build-asan ;;
    thread) build=build-tsan ;;
    *) echo "sanitize.sh: unknown sanitizer '$sanitizer' (address, thread or none)" >&2; exit 2 ;;
  esac
  reports="$PWD/$build/sanitizer-reports"
  echo "== $sanitizer: building in $build"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 -DQB_WERROR=ON \
    -DQB_SANITIZE="$sanitizer" -DQB_SANITIZER_REPORT_DIR="$reports" >/dev/null
  cmake --build "$build" -j"$(nproc)"
  # scripts/channels.sh, which the tier test runs, serves the player page from
  # the build's own folder; scripts/setup.sh lays it out for build/ only.
  mkdir -p "$build/player"
  cp www/* node_modules/hls.js/dist/hls.min.js "$build/player/"
  rm -rf "$reports"
  mkdir -p "$reports"

  # TSan of LLVM 14 cannot map its shadow under the wider address-space
  # randomisation of newer kernels; without randomisation it always can.
  run=()
  if [ "$sanitizer" = thread ] && ! "$build/tests/unit_tests" --gtest_list_tests >/dev/null 2>&1; then
    run=(setarch "$(uname -m)" -R)
  fi

  echo "== $sanitizer: unit tests"
  # Reports go to standard error here, where ctest shows them with the failure.
  # The tests get a HOME of their own: whatever logs must not land in the real one.
  mkdir -p "$scratch/$sanitizer-home"
  (cd "$build" && HOME="$scratch/$sanitizer-home" ASAN_OPTIONS=log_path=stderr \
    UBSAN_OPTIONS=log_path=stderr TSAN_OPTIONS=log_path=stderr "${run[@]}" ctest --output-on-failure)
  fail_on_reports "$reports" "$sanitizer unit tests"

  echo "== $sanitizer: end-to-end tests"
  QB_BUILD_DIR="$PWD/$build" QB_SANITIZER_REPORTS="$reports" PYTHONPATH="$PWD/sanitize" \
    PYTEST_ADDOPTS="${PYTEST_ADDOPTS:-} ${QB_SANITIZE_E2E:-}" \
    "${run[@]}" /usr/bin/python3 -m pytest -q -p sanitizer_reports tests/e2e
  fail_on_reports "$reports" "$sanitizer end-to-end tests"
done
