#!/usr/bin/env bash
# The Linux suite under load, from a fresh clone: clones this checkout's
# HEAD into a temporary directory, builds the normal and the sanitizer build
# there, then runs ctest of both builds RUNS times in a row (default 3) while
# two busy processes keep every core of a two-core machine loaded.  Nothing
# is retried: any failed test fails the run.  The figures of each pass (wall
# time, tests, failures) are printed at the end; the clone is removed unless
# KEEP=1.
#   scripts/stress-suite.sh [RUNS]          (make stress)
# Commit first: the clone sees only what HEAD holds.
set -euo pipefail

runs=${1:-3}
case "$runs" in
  '' | *[!0-9]* | 0) echo "usage: stress-suite.sh [RUNS]   (RUNS >= 1, default 3)" >&2; exit 64 ;;
esac
src=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
jobs=${JOBS:-2}
work=$(mktemp -d /tmp/pesmo6-stress.XXXXXX)
busy=()

finish() {
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ "${KEEP:-0}" = 1 ]; then echo "clone kept in $work"; else rm -rf "$work"; fi
}
trap finish EXIT

stamp() { date -u +%H:%M:%S; }

echo "[$(stamp)] cloning $(git -C "$src" rev-parse --short HEAD) into $work"
git clone -q "$src" "$work/pesmo6"
cd "$work/pesmo6"

t0=$SECONDS
echo "[$(stamp)] building build/ and build-asan/ (make build build-asan, JOBS=$jobs)"
make -s build build-asan JOBS="$jobs" >"$work/build.log" 2>&1 || { tail -50 "$work/build.log"; exit 1; }
echo "[$(stamp)] built in $((SECONDS - t0)) s"

# One busy loop per core, at the suite's own priority.
for _ in 1 2; do
  bash -c 'while :; do :; done' &
  busy+=($!)
done
echo "[$(stamp)] load: busy processes ${busy[*]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
summary=()
for run in $(seq 1 "$runs"); do
  for b in build build-asan; do
    log="$work/ctest-$b-$run.log"
    start=$SECONDS
    if (cd "$b" && ctest --output-on-failure -j "$jobs") >"$log" 2>&1; then status=ok; else status=FAILED; failed=1; fi
    line=$(grep -E '^[0-9]+% tests passed' "$log" || echo "no ctest summary")
    summary+=("run $run $b: $status in $((SECONDS - start)) s: $line")
    echo "[$(stamp)] ${summary[-1]}"
    if [ "$status" = FAILED ]; then
      sed -n '/The following tests FAILED/,$p' "$log"
      mkdir -p "$src/build-stress"
      cp "$log" "$src/build-stress/"
      echo "log: $src/build-stress/$(basename "$log")"
    fi
  done
done

echo
echo "stress-suite: $runs runs of both builds with ${#busy[@]} busy processes on $(nproc) cores"
printf '  %s\n' "${summary[@]}"
if [ "$failed" -ne 0 ]; then
  echo "stress-suite: FAILED"
  exit 1
fi
echo "stress-suite: passed"
