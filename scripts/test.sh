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

# The Debian package from the default preset; as root (CI) also installed with apt-get, run from
# elsewhere and purged again.
echo "=== package"
started=$SECONDS
deb=$(./scripts/package.sh | tee /dev/stderr | tail -n 1)
if [ "$(id -u)" -eq 0 ]; then
  ./scripts/check-package.sh "$deb"
else
  echo "(not root: the package is built but not installed)"
fi
echo "package step: $((SECONDS - started)) s"

if [ -x scripts/fuzz.sh ]; then
  echo "=== fuzz"
  ./scripts/fuzz.sh
fi
