#!/usr/bin/env bash
# Runs the Windows test hosts under Wine: the 32-bit host against the 32-bit
# DLL and the 64-bit host against the 64-bit DLL, each with a point and with
# a comma as the Windows decimal separator.  One prefix per architecture,
# created once and reused.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runner=$root/build/pesmo6-winrunner
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$root/build-wine"
status=0

for arch in 32 64; do
  prefix=$root/build-wine/prefix$arch
  loader=/usr/lib/wine/wine
  [ "$arch" = 64 ] && loader=/usr/lib/wine/wine64
  if [ ! -f "$prefix/system.reg" ]; then
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
  WINEPREFIX=$prefix wineserver -k > /dev/null 2>&1
  wait "$server" 2> /dev/null
done
exit $status
