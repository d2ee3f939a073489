#!/usr/bin/env bash
# The main job on the emulated bench: the server is the golden reference and three handhelds
# with different crystal errors are tuned one after another (answers Ok, Yes, Yes, No). Ends
# by printing what each device now stores, as the bench reports it, and the run's records.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target tptune-cli tptune-records demo_packages

app=build/default/app
report=$(mktemp --suffix=.json)
trap 'rm -f "$report"' EXIT

status=0
"$app/tptune-cli" --bench --gold server --restore-server \
  --rf-modem "$app/rfmodem.tpf" --eeprom "$app/eeprom.tpf" --server-firmware "$app/server.sff" \
  --answers ok,yes,yes,no --bench-report "$report" --trace "$app/demo.ERR" </dev/null || status=$?

echo
echo "=== What the devices store now (bench report) ==="
python3 - "$report" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))
def line(name, d):
    e, c = d["crystal_error"], d["effective_compensation"]
    print(f"{name:12} crystal error {e:+7.2f}  factory {d['factory_compensation']:+4d}"
          f"  PC tool {d['pctool_compensation']:+4d}  effective {c:+4d}"
          f"  -> frequency error {e + c:+6.2f} steps  firmware {d['firmware']}")
line("server", r["server"])
for i, h in enumerate(r["handhelds"], 1):
    line(f"handheld {i}", h)
PY
echo
echo "=== The production records of the run (bench records: $app/tptune-bench.db) ==="
"$app/tptune-records" --db "$app/tptune-bench.db" list --limit 3
echo "Run trace: $app/demo.ERR (exit status $status)"
exit $status
