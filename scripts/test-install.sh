#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and builds a host out of tree
# against it twice, through pkg-config and through find_package(Pesmo6), then
# runs both against a simulated 7410 indicator.
#   test-install.sh BUILD_DIR
# With --consumers ROOT PREFIX BUILD_DIR [--system] only the consumer part
# runs, against an existing tree under ROOT whose files name PREFIX (an
# unpacked package).  The hosts run as a user runs them: with no
# LD_LIBRARY_PATH, except for --system, a tree meant for /usr whose library
# the loader would find there.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'sim_stop; rm -rf "$tmp"' EXIT
. "$root/scripts/host-test-lib.sh"
version=$(sed -n 's/^project(Pesmo6 VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

# consumers NAME PREFIX_DIR LIBDIR BUILD [--system]
consumers() {
  local name=$1 prefix=$2 libdir=$3 build=$4 system=${5:-}
  export PKG_CONFIG_PATH=$libdir/pkgconfig
  local runenv=(env -u LD_LIBRARY_PATH)
  [ "$system" = --system ] && runenv=(env LD_LIBRARY_PATH="$libdir")
  if [ "$system" = --system ]; then
    check "$name: pkg-config flags carry no run path for a system prefix" sh -c "! pkg-config --libs pesmo6 | grep -q rpath"
  else
    check "$name: pkg-config flags carry the run path" sh -c "pkg-config --libs pesmo6 | grep -q -- '-Wl,-rpath,'"
  fi
  check "$name: pkg-config knows pesmo6 $version" sh -c "[ \"\$(pkg-config --modversion pesmo6)\" = $version ]"
  check "$name: consumer through pkg-config" sh -c "cc -Wall -Werror \$(pkg-config --cflags pesmo6) \
    '$root/tests/consumer/consumer.c' -o '$tmp/$name-pkg' \$(pkg-config --libs pesmo6)"
  check "$name: consumer through find_package" sh -c "cmake -S '$root/tests/consumer' -B '$tmp/$name-cmake' \
    -DCMAKE_PREFIX_PATH='$prefix' && cmake --build '$tmp/$name-cmake'"
  check "$name: find_package refuses version 3" sh -c "! cmake -S '$root/tests/consumer' -B '$tmp/$name-v3' \
    -DCMAKE_PREFIX_PATH='$prefix' -DPESMO6_WANT=3.0"
  sim_start "$build" --family 7410 --net 12345 --tare 2000 || { failed=$((failed + 1)); return; }
  for exe in "$tmp/$name-pkg" "$tmp/$name-cmake/pesmo6-consumer"; do
    LC_ALL=C "${runenv[@]}" "$exe" "$SIM_WHERE" > "$tmp/run.log" 2>&1 || echo "exit status $?" >> "$tmp/run.log"
    expect "$name: $(basename "$exe") links the installed library" "library Pesmo6 $version" "$tmp/run.log"
    expect "$name: $(basename "$exe") reads the indicator" \
      "code 0 net [    123.45] gross [    143.45] tare [     20.00] status 1SNNNkgN" "$tmp/run.log"
    check "$name: $(basename "$exe") uses the installed library" sh -c "[ \"\$(${runenv[*]} ldd '$exe' | \
      awk '/libpesmo6.so.2/ {print \$3}' | xargs realpath)\" = \"\$(realpath '$libdir/libpesmo6.so.2')\" ]"
  done
  sim_stop
}

if [ "${1:-}" = --consumers ]; then
  consumers package "$2" "$3" "$(cd "$4" && pwd)" "${5:-}"
  summary "consumers of $2"
  exit
fi

build=$(cd "${1:-build}" && pwd)
prefix=$tmp/prefix
check "cmake --install" cmake --install "$build" --prefix "$prefix"
for f in lib/libpesmo6.so.$version lib/libpesmo6.so.2 lib/libpesmo6.so include/pesmo6.h lib/pkgconfig/pesmo6.pc \
         lib/cmake/Pesmo6/Pesmo6Config.cmake lib/cmake/Pesmo6/Pesmo6ConfigVersion.cmake \
         lib/cmake/Pesmo6/Pesmo6Targets.cmake bin/pesmo6-demo share/doc/Pesmo6/api/index.md \
         share/pesmo6/bindings/pascal/pesmo6.pas share/pesmo6/bindings/dotnet/Pesmo6.cs \
         share/pesmo6/bindings/python/pyproject.toml; do
  check "installed $f" test -e "$prefix/$f"
done
check "libpesmo6.so.2 -> libpesmo6.so.$version" sh -c "[ \"\$(readlink '$prefix/lib/libpesmo6.so.2')\" = libpesmo6.so.$version ]"
check "SONAME libpesmo6.so.2" sh -c "readelf -d '$prefix/lib/libpesmo6.so.$version' | grep -q 'SONAME.*\[libpesmo6.so.2\]'"
check "no static library installed" sh -c "! find '$prefix' -name '*.a' | grep -q ."
consumers install "$prefix" "$prefix/lib" "$build"
# The Pascal example and a C# host from the installed bindings, built and run
# as docs/bindings.md tells: fpc with the run path, Mono with LD_LIBRARY_PATH.
libdir=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --variable=libdir pesmo6)
mkdir -p "$tmp/fpc"
check "fpc exemplo.lpr against the installed tree" fpc -Sew -vw -FE"$tmp/fpc" -FU"$tmp/fpc" \
  -Fu"$prefix/share/pesmo6/bindings/pascal" -Fl"$libdir" -k-rpath -k"$libdir" \
  "$prefix/share/pesmo6/bindings/pascal/exemplo.lpr"
check "mcs Pesmo6.cs Exemplo.cs from the installed tree" mcs -out:"$tmp/exemplo.exe" \
  "$prefix/share/pesmo6/bindings/dotnet/Pesmo6.cs" "$prefix/share/pesmo6/bindings/dotnet/Exemplo.cs"
sim_start "$build" --family 7410 --net 12345 --tare 2000 || failed=$((failed + 1))
LC_ALL=C env -u LD_LIBRARY_PATH "$tmp/fpc/exemplo" "$SIM_WHERE" > "$tmp/fpc.log" 2>&1
LC_ALL=C LD_LIBRARY_PATH=$libdir mono "$tmp/exemplo.exe" "$SIM_WHERE" > "$tmp/mono.log" 2>&1
sim_stop
expect "installed Pascal example starts and reads" "code 0 net [    123.45]" "$tmp/fpc.log"
expect "installed C# example reads under Mono" "code 0 net [    123.45]" "$tmp/mono.log"
check "installed pesmo6-demo finds its library" sh -c "'$prefix/bin/pesmo6-demo' --help 2>&1 | grep -q usage"
summary "install tests"
