#!/usr/bin/env bash
# The whole story on a fresh Debian machine: install what is missing, build
# the Linux tools and the Windows program, make a patch from the example
# folders examples/demo/v1 -> v2, apply it with the Windows program under
# Wine (saving a screenshot) and with `selfpatch apply` on Linux, and check
# that both folders end up equal to v2.
#
#   scripts/demo.sh                 # results under build/demo
#
# Runs scripts/deps.sh first (root installs the packages; otherwise it only
# checks that they are there).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-$(nproc)}
host=build/host win32=build/win32 win64=build/win64
out=$root/build/demo
v1=$root/examples/demo/v1 v2=$root/examples/demo/v2

bash scripts/deps.sh

configure() {  # build folder, cmake arguments...
  local dir=$1; shift
  mkdir -p build
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >"$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log" >&2; exit 1; }
}
echo "== building the Linux tools ($host) and the Windows program ($win32: shipping i686 stub, $win64: the x86_64 one Wine runs here)" >&2
configure "$host"
cmake --build "$host" -j"$jobs" --target selfpatch >/dev/null
configure "$win32" -DSELFPATCH_TESTS=OFF -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake"
cmake --build "$win32" -j"$jobs" --target patch-stub >/dev/null
configure "$win64" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake"
cmake --build "$win64" -j"$jobs" --target patch-stub shell_e2e_driver >/dev/null

rm -rf "$out"
mkdir -p "$out"
make_patch() {  # stub, output
  "$host/selfpatch" make --quiet --old "$v1" --new "$v2" --stub "$1" -o "$2" \
    --notice examples/demo/notice.txt --description examples/demo/description.txt
}
echo "== selfpatch make: examples/demo/v1 -> v2" >&2
make_patch "$win32/patch-stub.exe" "$out/demo-patch.exe"
make_patch "$win64/patch-stub.exe" "$out/demo-patch-x64.exe"
"$host/selfpatch" info "$out/demo-patch.exe"

same_as_v2() {  # folder: equal to v2 apart from the backup folder
  diff -r -x BACKUP "$1" "$v2" >&2
}

echo "== selfpatch apply on Linux" >&2
cp -r "$v1" "$out/linux-folder"
"$host/selfpatch" apply "$out/demo-patch.exe" "$out/linux-folder"
same_as_v2 "$out/linux-folder" || { echo "selfpatch apply did not give v2" >&2; exit 1; }

echo "== the Windows program under Wine, started in a copy of v1 without arguments" >&2
gui=$out/wine
mkdir -p "$gui"
cp -r "$v1" "$gui/folder"
. tests/shell_e2e/wine_session.sh
trap wine_session_stop EXIT
wine_session_start "$gui" || { echo "cannot start Xvfb" >&2; exit 1; }
(cd "$gui/folder" && exec "$wine" "$out/demo-patch-x64.exe") >"$gui/stub.log" 2>&1 &
stub_pid=$!
driver="$win64/shell_e2e_driver.exe"
# Wait for the window and the run it starts by itself, read its log, take a
# picture, then close it as a user would.
"$wine" "$driver" window finished dump "$gui/window.txt"
wine_screenshot "$out/screenshot.png"
"$wine" "$driver" close done gone
set +e
wait "$stub_pid"
status=$?
set -e
echo "-- the window's log:" >&2
grep -a '^line=' "$gui/window.txt" | cut -d= -f2- | iconv -f CP950 -t UTF-8 >&2
[ "$status" = 0 ] || { echo "the Windows program exited with $status" >&2; exit 1; }
same_as_v2 "$gui/folder" || { echo "the Windows program did not give v2" >&2; exit 1; }

cat >&2 <<MSG

== done
shipping patch (i686 stub + container): $out/demo-patch.exe ($(stat -c %s "$out/demo-patch.exe") bytes; stub $(stat -c %s "$win32/patch-stub.exe") bytes)
patch run under wine64 here:            $out/demo-patch-x64.exe
applied with selfpatch apply:           $out/linux-folder
applied with the Windows program:       $gui/folder
screenshot of the window:               $out/screenshot.png
MSG
