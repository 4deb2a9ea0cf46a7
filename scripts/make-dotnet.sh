#!/usr/bin/env bash
# The C# package: Pesmo6.Net.dll (the declarations of Pesmo6.cs and the Scale
# class, built with Mono's mcs for .NET Framework 4 and later, Mono, and .NET
# through its compatibility), its Mono map to the native library, and the
# native libraries beside it:
#   DIR/Pesmo6.Net.dll, Pesmo6.Net.dll.config
#   DIR/libpesmo6.so.2                 Linux x86-64 (beside the assembly)
#   DIR/win32/Pesmo6.dll, win64/Pesmo6.dll   copy the one of the host's bitness
#                                            beside its .exe
#   make-dotnet.sh DIR BUILD_DIR [WIN32_DIR WIN64_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$1
build=$2
mkdir -p "$out"
mcs -target:library -optimize+ -warnaserror -out:"$out/Pesmo6.Net.dll" "$root/bindings/dotnet/Pesmo6.cs"
cp "$root/bindings/dotnet/Pesmo6.Net.dll.config" "$out/"
cp -L "$build/libpesmo6.so.2" "$out/libpesmo6.so.2"
strip --strip-unneeded "$out/libpesmo6.so.2"
if [ $# -ge 4 ]; then
  mkdir -p "$out/win32" "$out/win64"
  cp "$3/Pesmo6.dll" "$out/win32/"
  cp "$4/Pesmo6.dll" "$out/win64/"
fi
