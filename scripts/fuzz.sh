#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset) and runs each one for a short, bounded time
# on a fresh copy of its seed corpus. Fails when a target finds a crash.
#   FUZZ_SECONDS  run time per target (default 20)
#   FUZZ_JOBS     build jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-20}
out=build/fuzz/fuzz

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${FUZZ_JOBS:-2}" \
  --target fuzz_decode_tpf fuzz_decode_sff fuzz_bundle fuzz_rfc2217 fuzz_corpus

status=0
for pair in fuzz_decode_tpf:tpf fuzz_decode_sff:sff fuzz_bundle:bundle fuzz_rfc2217:rfc2217; do
  target=${pair%%:*}
  seeds=$out/corpus/${pair##*:}
  work=$out/work/$target
  log=$out/logs/$target.log
  rm -rf "$work"
  mkdir -p "$work" "$out/artifacts" "$out/logs"
  echo "--- $target ($seconds s, log in $log)"
  if "$out/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$out/artifacts/$target-" "$work" "$seeds" >"$log" 2>&1; then
    grep -E '^(Done|stat::(number_of_executed_units|new_units_added|peak_rss_mb))' "$log" || true
  else
    tail -n 40 "$log" >&2
    echo "*** $target failed; the input that failed is in $out/artifacts/" >&2
    status=1
  fi
done
exit $status
