# Shared by the install, package and binding tests (sourced, bash).
#   check NAME COMMAND...      runs COMMAND, counts it passed or failed
#   expect NAME TEXT FILE      FILE holds TEXT
#   sim_start BUILD ARGS...    starts pesmo6-testsim; sets SIM_WHERE (device path
#                              or converter address) and SIM_PID
#   sim_stop                   ends it
passed=0 failed=0
check() {
  local name=$1; shift
  if "$@" > "$tmp/out.log" 2>&1; then passed=$((passed + 1)); else
    failed=$((failed + 1)); echo "FAILED: $name"; sed 's/^/  | /' "$tmp/out.log" | tail -30; fi
}
expect() {
  if grep -qF -- "$2" "$3"; then passed=$((passed + 1)); else
    failed=$((failed + 1)); echo "FAILED: $1: [$2] not in:"; sed 's/^/  | /' "$3" | tail -20; fi
}
sim_start() {
  local build=$1; shift
  coproc SIM { exec "$build/pesmo6-testsim" "$@"; }
  local kind
  read -r -t 10 kind SIM_WHERE _ <&"${SIM[0]}" || { echo "pesmo6-testsim did not start"; return 1; }
}
sim_stop() {
  [ -n "${SIM_PID:-}" ] || return 0
  eval "exec ${SIM[1]}>&-"
  wait "$SIM_PID" 2>/dev/null || true
  SIM_PID=
}
summary() {
  echo "$1: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
