#!/usr/bin/env bash
# The bindings against the built library and simulated indicators:
# pip-installs the Python package (into a temporary directory, no download)
# and runs its pytest suite; compiles the Free Pascal and C# examples and
# runs each on a serial port and a converter line, in the C and pt_BR locales.
#   test-bindings.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
tmp=$(mktemp -d)
trap 'sim_stop; rm -rf "$tmp"' EXIT
. "$root/scripts/host-test-lib.sh"
version=$(sed -n 's/^project(Pesmo6 VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
export LD_LIBRARY_PATH=$build

# The Debian python3 carries pytest; another python3 first on PATH may not.
py=python3
$py -c 'import pytest' 2>/dev/null || py=/usr/bin/python3

# From a copy: setuptools leaves its build directory beside the sources.
cp -r "$root/bindings/python" "$tmp/python"
check "pip install --no-build-isolation bindings/python" $py -m pip install -q --no-build-isolation --no-deps \
  --no-index --target "$tmp/site" "$tmp/python"
# The recipe of docs/bindings.md in a fresh virtual environment that sees
# Debian's setuptools and wheel (nothing fetched).
check "venv --system-site-packages + pip install --no-build-isolation" sh -c "/usr/bin/python3 -m venv \
  --system-site-packages '$tmp/venv' && '$tmp/venv/bin/pip' install -q --no-build-isolation --no-deps --no-index \
  '$tmp/python' && PESMO6_LIBRARY='$build/libpesmo6.so' '$tmp/venv/bin/python' -c 'import pesmo6'"
check "package version is the library's ($version)" sh -c "grep -q '^version = \"$version\"' \
  '$root/bindings/python/pyproject.toml' && grep -q '^__version__ = \"$version\"' '$root/bindings/python/pesmo6/__init__.py'"
check "py.typed installed" test -f "$tmp/site/pesmo6/py.typed"
sim_start "$build" --family 7410 --net 12345 --tare 2000 || failed=$((failed + 1))
check "import pesmo6 reads a 7410 as Decimal" env PYTHONPATH="$tmp/site" PESMO6_LIBRARY="$build/libpesmo6.so" \
  LC_ALL=pt_BR.UTF-8 $py -c "
import decimal, pesmo6
with pesmo6.Scale.serial('7410', device='$SIM_WHERE') as s:
    r = s.update()
assert r.code == pesmo6.UpdateCode.READ, r
assert (r.gross, r.net, r.tare) == (decimal.Decimal('143.45'), decimal.Decimal('123.45'), decimal.Decimal('20.00')), r
"
sim_stop
# The library found through PESMO6_LIBRARY here; the system's when unset.
check "pytest bindings/python/tests" env PYTHONPATH="$tmp/site" PESMO6_LIBRARY="$build/libpesmo6.so" \
  PESMO6_TESTSIM="$build/pesmo6-testsim" LC_ALL=C $py -m pytest -q -p no:cacheprovider "$root/bindings/python/tests"
tail -1 "$tmp/out.log"

# examples NAME COMMAND...: the example on both transports and locales.
examples() {
  local name=$1; shift
  for transport in serial converter; do
    for loc in "C ." "pt_BR.UTF-8 ,"; do
      set -- $loc
      local lc=$1 sep=$2
      if [ $transport = serial ]; then
        sim_start "$build" --family 7410 --net 12345 --tare 2000 || { failed=$((failed + 1)); continue; }
        args=("$SIM_WHERE")
      else
        sim_start "$build" --family 7410 --converter --line 2 --net 12345 --tare 2000 || { failed=$((failed + 1)); continue; }
        args=(--converter "$SIM_WHERE" B)
      fi
      LC_ALL=$lc "${runner[@]}" "${args[@]}" > "$tmp/run.log" 2>&1 || echo "exit status $?" >> "$tmp/run.log"
      sim_stop
      expect "$name on $transport, LC_ALL=$lc: version" "library Pesmo6 $version" "$tmp/run.log"
      expect "$name on $transport, LC_ALL=$lc: reading" \
        "code 0 net [    123${sep}45] gross [    143${sep}45] tare [     20${sep}00] status 1SNNNkgN motion N" "$tmp/run.log"
      expect "$name on $transport, LC_ALL=$lc: stable" "stable 0 net 123.45" "$tmp/run.log"
    done
  done
  # A failed read shows its code and reason, and no weight at all.
  LC_ALL=C "${runner[@]}" /dev/pesmo6-missing-device > "$tmp/run.log" 2>&1
  expect "$name on a missing device: code and reason" "code 4 reason " "$tmp/run.log"
  check "$name on a missing device: no weight shown" sh -c "! grep -q 'net' '$tmp/run.log'"
}

mkdir -p "$tmp/fpc"
check "fpc exemplo.lpr" fpc -Sew -vw -FE"$tmp/fpc" -FU"$tmp/fpc" -Fu"$root/bindings/pascal" -Fl"$build" \
  "$root/bindings/pascal/exemplo.lpr"
runner=("$tmp/fpc/exemplo")
[ -x "$tmp/fpc/exemplo" ] && examples "Pascal example"

check "mcs Pesmo6.cs Exemplo.cs" mcs -warnaserror -out:"$tmp/exemplo.exe" "$root/bindings/dotnet/Pesmo6.cs" \
  "$root/bindings/dotnet/Exemplo.cs"
runner=(mono "$tmp/exemplo.exe")
[ -f "$tmp/exemplo.exe" ] && examples "C# example"

check "mcs Pesmo6.cs tests/dotnet/ScaleTest.cs" mcs -warnaserror -out:"$tmp/scaletest.exe" \
  "$root/bindings/dotnet/Pesmo6.cs" "$root/tests/dotnet/ScaleTest.cs"
sim_start "$build" --family 7410 --net 12345 --tare 2000 || failed=$((failed + 1))
check "C# Scale: values only after code 0 or 3, reasons, exceptions" env LC_ALL=C mono "$tmp/scaletest.exe" "$SIM_WHERE"
sim_stop

# The Lazarus package: well-formed, the library's version, and the units it
# names compile as lazbuild would compile them (Delphi mode, FCL only).
lpk=$root/bindings/pascal/pesmo6pkg.lpk
check "pesmo6pkg.lpk is well-formed XML" python3 -c "import xml.etree.ElementTree as E; E.parse('$lpk')"
check "pesmo6pkg.lpk carries version $version" python3 -c "
import xml.etree.ElementTree as E
v = E.parse('$lpk').find('Package/Version').attrib
assert '.'.join(v.get(k, '0') for k in ('Major', 'Minor', 'Release')) == '$version', v
"
mkdir -p "$tmp/lpk"
for unit in $(sed -n 's/.*<Filename Value="\([^"]*\)"\/>.*/\1/p' "$lpk"); do
  check "pesmo6pkg.lpk: $unit exists" test -f "$root/bindings/pascal/$unit"
  check "pesmo6pkg.lpk: $unit compiles" fpc -Mdelphi -Sew -vw -FU"$tmp/lpk" "$root/bindings/pascal/$unit"
done

summary "binding tests"
