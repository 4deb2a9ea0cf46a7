#!/usr/bin/env bash
# The archives a host developer downloads, in dist/:
#   pesmo6-VERSION-windows.zip       both Pesmo6.dll with their .def and import
#                                    libraries, the field tools pesmo6.exe and
#                                    pesmo6-sim.exe, the header, bindings, docs
#   pesmo6-VERSION-linux-x86_64.tar.gz  the installed tree (cmake --install)
#   pesmo6-VERSION-dotnet.zip        Pesmo6.Net.dll (C#, built with mcs) and the
#                                    native libraries beside it
#   pesmo6-VERSION-py3-none-any.whl  the Python package; it finds the
#                                    installed library (no PESMO6_LIBRARY)
# Needs build/ and build-win32/, build-win64/ (make build windows).
#   make-dist.sh VERSION
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=$1
dist=$root/dist
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$dist"

# Sources of the bindings, without what running them leaves behind.
copy_bindings() {
  mkdir -p "$1"
  (cd "$root" && tar cf - --exclude=__pycache__ --exclude='*.egg-info' --exclude=build bindings) | tar xf - -C "$1"
}

win=$tmp/pesmo6-$version-windows
for arch in 32 64; do
  mkdir -p "$win/win$arch"
  for f in Pesmo6.dll Pesmo6.def libPesmo6.dll.a pesmo6.exe pesmo6-sim.exe; do
    cp "$root/build-win$arch/$f" "$win/win$arch/"
  done
done
mkdir -p "$win/include"
cp "$root/include/pesmo6.h" "$win/include/"
copy_bindings "$win"
cp -r "$root/docs" "$win/docs"
cp "$root/README.md" "$win/"
rm -f "$dist/pesmo6-$version-windows.zip"
(cd "$tmp" && zip -q -r -X "$dist/pesmo6-$version-windows.zip" "pesmo6-$version-windows")

lin=$tmp/pesmo6-$version-linux-x86_64
cmake --install "$root/build" --prefix "$lin" --strip > /dev/null
tar czf "$dist/pesmo6-$version-linux-x86_64.tar.gz" -C "$tmp" "pesmo6-$version-linux-x86_64"
# The C# package: Pesmo6.Net.dll with the native libraries beside it.
dn=$tmp/pesmo6-$version-dotnet
bash "$root/scripts/make-dotnet.sh" "$dn" "$root/build" "$root/build-win32" "$root/build-win64"
cp "$root/bindings/dotnet/Exemplo.cs" "$dn/"
rm -f "$dist/pesmo6-$version-dotnet.zip"
(cd "$tmp" && zip -q -r -X "$dist/pesmo6-$version-dotnet.zip" "pesmo6-$version-dotnet")

# The wheel, built offline with Debian's setuptools and wheel (a copy: the
# build leaves its directory beside the sources).
copy_bindings "$tmp/wheel-src"
rm -f "$dist"/pesmo6-*.whl
/usr/bin/python3 -m pip wheel -q --no-build-isolation --no-deps --no-index -w "$dist" "$tmp/wheel-src/bindings/python"
echo "dist/pesmo6-$version-windows.zip dist/pesmo6-$version-linux-x86_64.tar.gz dist/pesmo6-$version-dotnet.zip"
echo "dist/pesmo6-$version-py3-none-any.whl"
