#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset) and runs each one for a short, bounded time
# on a fresh copy of its seed corpus. Fails when a target finds a crash.
#   FUZZ_SECONDS  run time per target (default 20)
#   FUZZ_JOBS     build jobs (default 2)
#   FUZZ_PARALLEL targets fuzzed at once (default: the number of cores)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-20}
out=build/fuzz/fuzz

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${FUZZ_JOBS:-2}" \
  --target fuzz_decode_tpf fuzz_decode_sff fuzz_bundle fuzz_rfc2217 fuzz_corpus

# One target per core at a time: the same fuzzing time per target in less wall time.
parallel=${FUZZ_PARALLEL:-$(nproc)}

run_target() {
  local pair=$1
  local target=${pair%%:*}
  local seeds=$out/corpus/${pair##*:}
  local work=$out/work/$target
  local log=$out/logs/$target.log
  rm -rf "$work"
  mkdir -p "$work"
  if "$out/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$out/artifacts/$target-" "$work" "$seeds" >"$log" 2>&1; then
    { echo "--- $target ($seconds s, log in $log)"
      grep -E '^(Done|stat::(number_of_executed_units|new_units_added|peak_rss_mb))' "$log" || true
    } > "$log.summary"
  else
    { echo "--- $target ($seconds s, log in $log)"
      tail -n 40 "$log"
      echo "*** $target failed; the input that failed is in $out/artifacts/"
    } > "$log.summary"
    return 1
  fi
}

mkdir -p "$out/artifacts" "$out/logs"
targets=(fuzz_decode_tpf:tpf fuzz_decode_sff:sff fuzz_bundle:bundle fuzz_rfc2217:rfc2217)
pids=()
for pair in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
  run_target "$pair" &
  pids+=("$!")
done
status=0
for i in "${!targets[@]}"; do
  wait "${pids[$i]}" || status=1
  target=${targets[$i]%%:*}
  cat "$out/logs/$target.log.summary"
done
exit $status
