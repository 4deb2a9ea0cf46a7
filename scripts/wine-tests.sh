#!/usr/bin/env bash
# Runs the Windows test hosts under Wine: the 32-bit host against the 32-bit
# DLL and the 64-bit host against the 64-bit DLL, each with a point and with
# a comma as the Windows decimal separator, then the serial layer against a
# simulated Win32 serial driver, then the pesmo6.exe field tool against a
# Linux pesmo6-sim converter and the Linux pesmo6 against a pesmo6-sim.exe
# converter.  One prefix per architecture,
# created once and reused.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runner=$root/build/pesmo6-winrunner
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$root/build-wine"
status=0
failures=()  # repeated at the end, so that the tail of a long log names them
skipped=()
failed() {  # failed WHAT [LOG PATTERN]: WHAT, and the lines of LOG that match, go to the summary
  status=1
  failures+=("$1")
  [ $# -lt 3 ] && return
  while IFS= read -r line; do failures+=("  $line"); done < <(grep -E "$3" "$2" | head -20)
}

for arch in ${WINE_ARCHES:-32 64}; do
  prefix=$root/build-wine/prefix$arch
  loader=/usr/lib/wine/wine
  [ "$arch" = 64 ] && loader=/usr/lib/wine/wine64
  # A kernel built without 32-bit support refuses i386 programs ("Exec format
  # error"), and then the 32-bit Wine cannot start at all.  That is a fact of
  # the machine, not a fault of the DLL: the pass is skipped and said so at the
  # end.  PESMO6_REQUIRE_WIN32=1 makes it a failure instead.
  if [ "$arch" = 32 ] && [ -x "$loader" ]; then
    "$loader" --version > "$root/build-wine/probe32.log" 2>&1 < /dev/null
    if [ $? -eq 126 ]; then
      why="win32 under Wine: this machine cannot run 32-bit programs ($(tail -1 "$root/build-wine/probe32.log" | sed 's/^.*: //'))"
      echo "skipped: $why"
      if [ "${PESMO6_REQUIRE_WIN32:-0}" = 1 ]; then failed "$why"; else skipped+=("$why"); fi
      continue
    fi
  fi
  whole() { [ -f "$prefix/system.reg" ] && [ -d "$prefix/drive_c/windows/system32" ]; }
  if ! whole; then
    echo "creating the win$arch prefix"
    WINEARCH=win$arch WINEPREFIX=$prefix timeout -k 5 300 "$loader" wineboot -i \
      > "$root/build-wine/wineboot$arch.log" 2>&1 < /dev/null
    rc=$?
    # A wineboot that hangs after the prefix is written still leaves a usable
    # prefix once its server is gone.
    WINEPREFIX=$prefix timeout -k 5 30 wineserver -k > /dev/null 2>&1 < /dev/null
    if ! whole; then
      echo "wineboot failed (exit status $rc)"
      tail -5 "$root/build-wine/wineboot$arch.log" > "$root/build-wine/wineboot$arch.tail"
      failed "win$arch: wineboot failed (exit status $rc)" "$root/build-wine/wineboot$arch.tail" .
      continue
    fi
    [ $rc -eq 0 ] || echo "wineboot ended with exit status $rc, but the prefix is whole"
  fi
  # A persistent server for the runs, its chatter kept out of the test log.
  WINEPREFIX=$prefix timeout -k 5 900 wineserver -p -f > "$root/build-wine/server$arch.log" 2>&1 < /dev/null &
  server=$!
  for run in "C ." "pt_BR.UTF-8 ,"; do
    set -- $run
    echo "== win$arch host, LC_ALL=$1"
    hostlog=$root/build-wine/host$arch-$2.log
    LC_ALL=$1 timeout -k 5 400 "$runner" --prefix "$prefix" --host "$root/build-win$arch/pesmo6-winhost.exe" \
      --wine "$loader" --separator "$2" --locale "$1" > "$hostlog" 2>&1 < /dev/null
    rc=$?
    cat "$hostlog"
    [ $rc -eq 0 ] || failed "win$arch host, LC_ALL=$1: exit status $rc" "$hostlog" "FAILED|[1-9][0-9]* failed|rror"
  done
  # The serial layer against the simulated Win32 serial driver.
  echo "== win$arch serial driver contract"
  log=$root/build-wine/serial-contract$arch.log
  (cd "$root/build-win$arch" && WINEPREFIX=$prefix LC_ALL=C timeout -k 5 120 "$loader" pesmo6-serial-contract.exe \
    > "$log" 2>&1 < /dev/null)
  rc=$?
  cat "$log"
  if [ $rc -ne 0 ]; then
    echo "serial contract (win$arch) failed: exit status $rc"
    failed "win$arch serial driver contract: exit status $rc" "$log" "FAILED|[1-9][0-9]* failed"
  fi
  # The field tool pesmo6.exe on Pesmo6.dll against a Linux pesmo6-sim converter.
  echo "== win$arch pesmo6.exe against pesmo6-sim converter"
  addr=127.253.$(( $$ % 250 )).$arch
  simlog=$root/build-wine/sim$arch.log
  "$root/build/pesmo6-sim" converter --address "$addr" --line A=7410 --line B=ohaus --inputs 5 \
    --weight 12.5 --seconds 200 > "$simlog" 2>&1 < /dev/null &
  sim=$!
  for _ in $(seq 50); do grep -q ready "$simlog" 2>/dev/null && break; sleep 0.1; done
  tool() {  # tool NAME EXPECTED-TEXT ARGS...: exit status 0 and the text in the output
    local name=$1 want=$2 out=$root/build-wine/tool$arch-$1.log
    shift 2
    (cd "$root/build-win$arch" && WINEPREFIX=$prefix LC_ALL=C timeout -k 5 60 "$loader" pesmo6.exe "$@" \
      > "$out" 2>&1 < /dev/null)
    local rc=$?
    if [ $rc -eq 0 ] && grep -qF -- "$want" "$out"; then echo "ok: pesmo6.exe $*"; else
      echo "FAILED: pesmo6.exe $* (exit status $rc)"; cat "$out"
      failed "win$arch pesmo6.exe $*: exit status $rc"; fi
  }
  tool read7410 '"net_value":12.5' read 7410 --converter "$addr" --line A --json
  tool readohaus '"net_value":12.5' read ohaus --converter "$addr" --line B --json
  tool dioin '"value":5' dio --converter "$addr" in --json
  tool dioout 'output bit 3 set to S' dio --converter "$addr" out-bit 3 S
  kill "$sim" 2> /dev/null
  wait "$sim" 2> /dev/null
  # The other way round: pesmo6-sim.exe's converter under Wine, read by the
  # Linux pesmo6.
  echo "== win$arch pesmo6-sim.exe converter read by the Linux pesmo6"
  addr=127.252.$(( $$ % 250 )).$arch
  simlog=$root/build-wine/winsim$arch.log
  WINEPREFIX=$prefix LC_ALL=C timeout -k 5 90 "$loader" "$root/build-win$arch/pesmo6-sim.exe" converter \
    --address "$addr" --line A=7410 --inputs 5 --weight 12.5 --seconds 80 > "$simlog" 2>&1 < /dev/null &
  sim=$!  # timeout passes the kill on to Wine
  for _ in $(seq 150); do grep -q ready "$simlog" 2>/dev/null && break; sleep 0.1; done
  linux() {  # linux NAME EXPECTED-TEXT ARGS...: the Linux pesmo6, exit status 0 and the text in the output
    local name=$1 want=$2 out=$root/build-wine/linux$arch-$1.log
    shift 2
    timeout -k 5 30 "$root/build/pesmo6" "$@" > "$out" 2>&1 < /dev/null
    local rc=$?
    if [ $rc -eq 0 ] && grep -qF -- "$want" "$out"; then echo "ok: pesmo6 $* (pesmo6-sim.exe)"; else
      echo "FAILED: pesmo6 $* against pesmo6-sim.exe (exit status $rc)"; cat "$out" "$simlog"
      failed "win$arch pesmo6 $* against pesmo6-sim.exe: exit status $rc"; fi
  }
  linux read7410 '"net_value":12.5' read 7410 --converter "$addr" --line A --json
  linux dioin '"value":5' dio --converter "$addr" in --json
  kill "$sim" 2> /dev/null
  wait "$sim" 2> /dev/null
  WINEPREFIX=$prefix wineserver -k > /dev/null 2>&1
  wait "$server" 2> /dev/null
done
if [ ${#skipped[@]} -gt 0 ]; then
  echo "== Windows tests skipped"
  printf '%s\n' "${skipped[@]}"
fi
if [ ${#failures[@]} -gt 0 ]; then
  echo "== Windows tests that failed"
  printf '%s\n' "${failures[@]}"
fi
exit $status
