#!/usr/bin/env bash
# Checks what make deb and make dist produced: the Debian packages unpacked
# with dpkg-deb -x and a host built against them (pkg-config and
# find_package) reading a simulated indicator; the zip's and the tarball's
# contents, and a host built against the unpacked tarball.
#   test-packages.sh DIST_DIR VERSION [BUILD_DIR]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist=$(cd "$1" && pwd)
version=$2
build=$(cd "${3:-$root/build}" && pwd)
tmp=$(mktemp -d)
trap 'sim_stop; rm -rf "$tmp"' EXIT
. "$root/scripts/host-test-lib.sh"

# A nested test run's log: counted as one check, shown when it failed.
sub_result() {
  if grep -q ' 0 failed$' "$2"; then passed=$((passed + 1)); echo "$1: $(tail -1 "$2")"; else
    failed=$((failed + 1)); echo "FAILED: $1"; sed 's/^/  | /' "$2"; fi
}

# ---- Debian packages ----
debs="libpesmo6-2 libpesmo6-dev pesmo6-tools"
for p in $debs; do
  deb=$dist/${p}_${version}_amd64.deb
  check "$p package built" test -f "$deb" || continue
  check "$p unpacks" dpkg-deb -x "$deb" "$tmp/root"
  dpkg-deb -f "$deb" Depends > "$tmp/$p.depends"
done
expect "libpesmo6-dev depends on the same runtime" "libpesmo6-2 (= $version)" "$tmp/libpesmo6-dev.depends"
expect "pesmo6-tools depends on the same runtime" "libpesmo6-2 (= $version)" "$tmp/pesmo6-tools.depends"
expect "the runtime depends on libc6" "libc6" "$tmp/libpesmo6-2.depends"
check "runtime package holds only the library" sh -c "[ \"\$(dpkg-deb -c '$dist/libpesmo6-2_${version}_amd64.deb' | \
  awk '{print \$6}' | grep -v '/\$')\" = \"\$(printf './usr/lib/libpesmo6.so.2\n./usr/lib/libpesmo6.so.$version')\" ]"
check "dev package has no static library" sh -c "! dpkg-deb -c '$dist/libpesmo6-dev_${version}_amd64.deb' | grep -q '\\.a\$'"
check "tools package has pesmo6-demo" test -x "$tmp/root/usr/bin/pesmo6-demo"
check "tools package has pesmo6" test -x "$tmp/root/usr/bin/pesmo6"
check "tools package has pesmo6-sim" test -x "$tmp/root/usr/bin/pesmo6-sim"
check "tools package has pesmo6d" test -x "$tmp/root/usr/bin/pesmo6d"
check "tools package has pesmo6d.service" grep -q "^ExecStart=/usr/bin/pesmo6d " "$tmp/root/usr/lib/systemd/system/pesmo6d.service"
check "tools package has the example configuration" test -f "$tmp/root/usr/share/pesmo6d/pesmo6d.example.toml"
bash "$root/scripts/test-install.sh" --consumers "$tmp/root/usr" "$tmp/root/usr/lib" "$build" --system > "$tmp/deb.log" 2>&1
sub_result "host built against the unpacked packages" "$tmp/deb.log"

# ---- Windows zip ----
zip=$dist/pesmo6-$version-windows.zip
check "windows zip built" test -f "$zip"
unzip -Z1 "$zip" > "$tmp/zip.list" 2>/dev/null
top=pesmo6-$version-windows
for f in win32/Pesmo6.dll win32/Pesmo6.def win32/libPesmo6.dll.a win64/Pesmo6.dll win64/Pesmo6.def \
         win64/libPesmo6.dll.a win32/pesmo6.exe win32/pesmo6-sim.exe win64/pesmo6.exe win64/pesmo6-sim.exe include/pesmo6.h README.md docs/api/index.md docs/api/Update_Canal.md docs/guide.md \
         docs/bindings.md docs/troubleshooting.md bindings/pascal/pesmo6.pas bindings/pascal/exemplo.lpr \
         bindings/dotnet/Pesmo6.cs bindings/dotnet/Exemplo.cs bindings/python/pyproject.toml \
         bindings/python/pesmo6/__init__.py bindings/python/pesmo6/py.typed; do
  check "zip holds $f" grep -qx "$top/$f" "$tmp/zip.list"
done
check "zip holds no build leftovers" sh -c "! grep -E '__pycache__|\\.o\$|CMakeFiles|winhost|serial-contract' '$tmp/zip.list'"
check "zip unpacks" unzip -q "$zip" -d "$tmp/zip"
for arch in 32:i386 64:x86-64; do
  bits=${arch%%:*} fmt=${arch#*:}
  check "win$bits/Pesmo6.dll is a pei-$fmt DLL" sh -c "objdump -f '$tmp/zip/$top/win$bits/Pesmo6.dll' 2>/dev/null | \
    grep -q 'pei-$fmt' || x86_64-w64-mingw32-objdump -f '$tmp/zip/$top/win$bits/Pesmo6.dll' | grep -q 'pei-$fmt'"
done
check "zip's header is the source's" cmp "$tmp/zip/$top/include/pesmo6.h" "$root/include/pesmo6.h"

# ---- Linux tarball ----
tgz=$dist/pesmo6-$version-linux-x86_64.tar.gz
check "linux tarball built" tar xzf "$tgz" -C "$tmp"
tree=$tmp/pesmo6-$version-linux-x86_64
for f in lib/libpesmo6.so.$version lib/libpesmo6.so.2 include/pesmo6.h lib/pkgconfig/pesmo6.pc \
         lib/cmake/Pesmo6/Pesmo6Config.cmake bin/pesmo6-demo; do
  check "tarball holds $f" test -e "$tree/$f"
done
bash "$root/scripts/test-install.sh" --consumers "$tree" "$tree/lib" "$build" > "$tmp/tgz.log" 2>&1
sub_result "host built against the unpacked tarball" "$tmp/tgz.log"
# ---- C# package ----
# A host compiled against Pesmo6.Net.dll and run from elsewhere with Mono, the
# package's files beside it and no LD_LIBRARY_PATH.
dnzip=$dist/pesmo6-$version-dotnet.zip
check "dotnet zip unpacks" unzip -q "$dnzip" -d "$tmp/dn"
dn=$tmp/dn/pesmo6-$version-dotnet
for f in Pesmo6.Net.dll Pesmo6.Net.dll.config libpesmo6.so.2 win32/Pesmo6.dll win64/Pesmo6.dll Exemplo.cs; do
  check "dotnet zip holds $f" test -f "$dn/$f"
done
check "win32/Pesmo6.dll beside the assembly is 32-bit" sh -c "x86_64-w64-mingw32-objdump -f '$dn/win32/Pesmo6.dll' | grep -q pei-i386"
check "win64/Pesmo6.dll beside the assembly is 64-bit" sh -c "x86_64-w64-mingw32-objdump -f '$dn/win64/Pesmo6.dll' | grep -q pei-x86-64"
check "mcs against Pesmo6.Net.dll" mcs -warnaserror -r:"$dn/Pesmo6.Net.dll" -out:"$dn/exemplo.exe" "$dn/Exemplo.cs"
sim_start "$build" --family 7410 --net 12345 --tare 2000 || failed=$((failed + 1))
(cd "$tmp" && LC_ALL=C env -u LD_LIBRARY_PATH mono "$dn/exemplo.exe" "$SIM_WHERE") > "$tmp/dn.log" 2>&1
sim_stop
expect "C# host on the package reads the indicator" \
  "code 0 net [    123.45] gross [    143.45] tare [     20.00] status 1SNNNkgN motion N" "$tmp/dn.log"
expect "C# host on the package: stable weight" "stable 0 net 123.45" "$tmp/dn.log"
(cd "$tmp" && LC_ALL=C env -u LD_LIBRARY_PATH mono "$dn/exemplo.exe" /dev/pesmo6-missing-device) > "$tmp/dn.log" 2>&1
expect "C# host on the package: a missing port gives its code and reason" "code 4 reason " "$tmp/dn.log"

# ---- Python wheel ----
# In a fresh virtual environment (only the pip it brings, nothing fetched),
# against the library of the unpacked tarball standing where the loader looks
# (LD_LIBRARY_PATH here, /usr/lib for the Debian package): no PESMO6_LIBRARY.
whl=$dist/pesmo6-$version-py3-none-any.whl
check "python wheel built" test -f "$whl"
check "fresh venv" /usr/bin/python3 -m venv "$tmp/venv"
check "pip install the wheel in it" "$tmp/venv/bin/pip" install -q --no-index "$whl"
sim_start "$build" --family 7410 --net 12345 --tare 2000 || failed=$((failed + 1))
check "import pesmo6 from the wheel finds the installed library" env -u PESMO6_LIBRARY \
  LD_LIBRARY_PATH="$tree/lib" LC_ALL=C "$tmp/venv/bin/python" -c "
import decimal, pesmo6
assert pesmo6.library_version()[1] == '$version'
with pesmo6.Scale.serial('7410', device='$SIM_WHERE') as s:
    r = s.update()
assert r.ok and r.net == decimal.Decimal('123.45'), r
"
sim_stop
summary "package tests"
