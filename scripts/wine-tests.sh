#!/usr/bin/env bash
# Runs the Windows test hosts under Wine: the 32-bit host against the 32-bit
# DLL and the 64-bit host against the 64-bit DLL, each with a point and with
# a comma as the Windows decimal separator, then the serial layer against a
# simulated Win32 serial driver.  One prefix per architecture,
# created once and reused.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runner=$root/build/pesmo6-winrunner
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$root/build-wine"
status=0

for arch in ${WINE_ARCHES:-32 64}; do
  prefix=$root/build-wine/prefix$arch
  loader=/usr/lib/wine/wine
  [ "$arch" = 64 ] && loader=/usr/lib/wine/wine64
  if [ ! -f "$prefix/system.reg" ] || [ ! -d "$prefix/drive_c/windows/system32" ]; then
    echo "creating the win$arch prefix"
    WINEARCH=win$arch WINEPREFIX=$prefix timeout -k 5 180 "$loader" wineboot -i \
      > "$root/build-wine/wineboot$arch.log" 2>&1 < /dev/null || { echo "wineboot failed"; status=1; continue; }
  fi
  # A persistent server for the runs, its chatter kept out of the test log.
  WINEPREFIX=$prefix timeout -k 5 900 wineserver -p -f > "$root/build-wine/server$arch.log" 2>&1 < /dev/null &
  server=$!
  for run in "C ." "pt_BR.UTF-8 ,"; do
    set -- $run
    echo "== win$arch host, LC_ALL=$1"
    LC_ALL=$1 timeout -k 5 400 "$runner" --prefix "$prefix" --host "$root/build-win$arch/pesmo6-winhost.exe" \
      --wine "$loader" --separator "$2" --locale "$1" < /dev/null || status=1
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
    status=1
  fi
  WINEPREFIX=$prefix wineserver -k > /dev/null 2>&1
  wait "$server" 2> /dev/null
done
exit $status
