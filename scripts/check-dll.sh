#!/usr/bin/env bash
# Checks a built Pesmo6.dll: every export of the public header is there under
# its plain name (no stdcall @n), and nothing is imported beyond system DLLs.
#   check-dll.sh OBJDUMP DLL
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
objdump=$1
dll=$2
dump=$("$objdump" -p "$dll") || { echo "cannot read $dll"; exit 1; }
passed=0 failed=0
exports=$(printf '%s\n' "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && /^[ \t]*\[/ {print $NF} on && /^[ \t]*$/ {on=0}')
for name in $(sh "$root/scripts/list-exports.sh" "$root/include/pesmo6.h"); do
  if printf '%s\n' "$exports" | grep -qx "$name"; then passed=$((passed + 1)); else
    echo "FAILED: $dll does not export $name"; failed=$((failed + 1)); fi
done
if printf '%s\n' "$exports" | grep -q '@'; then
  echo "FAILED: decorated export names: $(printf '%s\n' "$exports" | grep '@' | head -3 | tr '\n' ' ')"
  failed=$((failed + 1))
else passed=$((passed + 1)); fi
for imported in $(printf '%s\n' "$dump" | awk '/DLL Name:/ {print $3}'); do
  case $(printf '%s' "$imported" | tr 'a-z' 'A-Z') in
    KERNEL32.DLL|USER32.DLL|WS2_32.DLL|MSVCRT.DLL|ADVAPI32.DLL) passed=$((passed + 1)) ;;
    *) echo "FAILED: $dll imports $imported"; failed=$((failed + 1)) ;;
  esac
done
echo "$(basename "$(dirname "$dll")")/$(basename "$dll"): $passed passed, $failed failed"
[ "$failed" -eq 0 ]
