#!/usr/bin/env bash
# The kill table at full size: console bench jobs killed with SIGKILL while production records
# are at risk (delivery to the store, a store locked by another process, the wait at the end of
# the run, the closing server restore, any moment), on a SQLite file and on a throwaway
# PostgreSQL server; then one further job, and every device shown "Completed successfully!"
# must have exactly one record. Prints the figures per back end.
#
#   scripts/kill-table.sh [KILLS [SEED]]     (defaults: 300 kills per back end, seed 1)
set -euo pipefail
cd "$(dirname "$0")/.."
kills=${1:-300}
seed=${2:-1}
preset=${KILL_PRESET:-default}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target kill_table -j "$(nproc)" >/dev/null
exec "build/$preset/tests/records/kill_table" --kills "$kills" --seed "$seed"
