#!/usr/bin/env bash
# Builds the three targets from one tree: build/host (Linux), build/win32
# (the shipping i686 stub) and build/win64 (x86_64, run under wine64).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-$(nproc)}
type=${BUILD_TYPE:-Release}

configure() {  # name, extra cmake arguments...
  local name=$1; shift
  cmake -S "$root" -B "build/$name" -DCMAKE_BUILD_TYPE="$type" "$@" >"build/$name.configure.log" 2>&1 \
    || { cat "build/$name.configure.log" >&2; return 1; }
}

mkdir -p build
targets=${*:-host win32 win64}
for t in $targets; do
  case $t in
    host)  configure host ;;
    win32) configure win32 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DSELFPATCH_TESTS=OFF ;;
    win64) configure win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" ;;
    *) echo "unknown target $t" >&2; exit 2 ;;
  esac
  echo "building $t" >&2
  cmake --build "build/$t" -j"$jobs" 2>&1 | grep -E 'error|warning|Error' >&2 || true
  # The grep above only shows problems; the second call fails the script on them.
  cmake --build "build/$t" -j"$jobs" >/dev/null
done
