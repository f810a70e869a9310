#!/usr/bin/env bash
# Sets up the machine, builds the module and the `tessaline` program, and
# cleans the bundled example portrait.
#
#   scripts/run-example.sh [--no-setup]
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SETUP=1
for arg in "$@"; do
  case "$arg" in
    --no-setup) SETUP=0 ;;
    *) echo "usage: scripts/run-example.sh [--no-setup]" >&2; exit 2 ;;
  esac
done

if [ "$SETUP" -eq 1 ]; then
  bash "$ROOT/scripts/setup.sh"
fi

BUILD="$ROOT/build"
JOBS="$(nproc 2>/dev/null || echo 2)"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release
cmake --build "$BUILD" --target tessaline tessaline_cli -j "$JOBS"

INPUT="$ROOT/examples/portrait.jpg"
OUTPUT="$BUILD/example/portrait_retouched.jpg"
mkdir -p "$(dirname "$OUTPUT")"
"$BUILD/bin/tessaline" clean --dirt fine --overwrite -o "$OUTPUT" "$INPUT"
echo "Cleaned example: $OUTPUT"
