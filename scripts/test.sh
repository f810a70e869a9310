#!/usr/bin/env bash
# Sets up the machine, builds and runs the whole test suite.
#
#   scripts/test.sh              Release build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   scripts/test.sh --no-setup   skip the package check (for repeated runs)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SANITIZE=0
SETUP=1
for arg in "$@"; do
  case "$arg" in
    --sanitize) SANITIZE=1 ;;
    --no-setup) SETUP=0 ;;
    *) echo "usage: scripts/test.sh [--sanitize] [--no-setup]" >&2; exit 2 ;;
  esac
done

if [ "$SETUP" -eq 1 ]; then
  bash "$ROOT/scripts/setup.sh"
fi

JOBS="$(nproc 2>/dev/null || echo 2)"
RETRY=()
if [ "$SANITIZE" -eq 1 ]; then
  BUILD="$ROOT/build-asan"
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALINE_SANITIZE=ON -DTESSALINE_BENCH=OFF
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  # LeakSanitizer's exit-time tracer itself sometimes crashes ("Tracer caught signal 11")
  # while PoCL's worker threads wind down on a loaded machine; such a test gets one rerun.
  RETRY=(--repeat until-pass:2)
else
  BUILD="$ROOT/build"
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$BUILD" -j "$JOBS"
ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS" "${RETRY[@]}"
