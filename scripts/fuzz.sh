#!/usr/bin/env bash
# Runs every fuzz target of build-fuzz/ over its committed corpus for
# SECONDS each, PARALLEL at a time.  New corpus entries go to
# build-fuzz/corpus/<target>/ (scratch), findings to build-fuzz/findings/;
# the committed corpus under fuzz/corpus/ is only read.
#   fuzz.sh [SECONDS [PARALLEL]]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
parallel=${2:-2}
targets=(quadro msi3360 msi6260 ohaus trilograf comando formato argumentos)
out=build-fuzz
mkdir -p "$out/findings" "$out/logs"

run_one() {
  local t=$1
  mkdir -p "$out/corpus/$t"
  # -timeout: one input that takes 10 s is a hang of the library.
  if "$out/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
       -artifact_prefix="$out/findings/$t-" "$out/corpus/$t" "fuzz/corpus/$t" >"$out/logs/$t.log" 2>&1; then
    local runs cov
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/logs/$t.log")
    cov=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE|INITED)' "$out/logs/$t.log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' || true)
    echo "fuzz_$t: clean, $runs runs in ${seconds}s, $cov"
  else
    echo "fuzz_$t: FAILED, see $out/logs/$t.log; the input is in $out/findings/" >&2
    grep -E 'invariant failed|ERROR|SUMMARY' "$out/logs/$t.log" | head -5 >&2 || true
    return 1
  fi
}

failed=0
running=0
pids=()
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=($!)
  running=$((running + 1))
  if [ "$running" -ge "$parallel" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
exit $failed
