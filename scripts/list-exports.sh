#!/bin/sh
# The export names declared in the public header, one per line; with -inc,
# as PESMO6_EXPORT(name) lines for the Windows test host.
set -eu
header=${1:-include/pesmo6.h}
names=$(grep -o 'PESMO6_CALL [A-Za-z0-9_]*(' "$header" | sed 's/PESMO6_CALL \(.*\)(/\1/')
if [ "${2:-}" = "-inc" ]; then
  for n in $names; do echo "PESMO6_EXPORT($n)"; done
else
  for n in $names; do echo "$n"; done
fi
