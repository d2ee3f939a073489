#!/usr/bin/env bash
# Builds and tests everything: the default and sanitizer presets, then a short fuzzing round.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup-deps.sh

jobs=$(nproc)
for preset in default asan tsan; do
  echo "=== preset $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

if [ -x scripts/fuzz.sh ]; then
  echo "=== fuzz"
  ./scripts/fuzz.sh
fi
