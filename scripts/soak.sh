#!/usr/bin/env bash
# The fault-injection soak: N generated bench cases of the series SEED, run as whole jobs through
# the console front end, checked for false successes, hangs and malformed traces. Prints the
# counts per fault kind and per invariant; a violation prints its scenario and the command that
# runs it again on its own.
#
#   scripts/soak.sh [N [SEED]]      (defaults: 2000 cases, seed 1)
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-2000}
seed=${2:-1}
preset=${SOAK_PRESET:-default}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target tptune-soak -j "$(nproc)" >/dev/null
exec "build/$preset/tests/soak/tptune-soak" "$n" "$seed" --jobs "$(nproc)"
