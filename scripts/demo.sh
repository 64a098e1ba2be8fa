#!/usr/bin/env bash
# Builds the host tools, writes an example patch container with
# examples/make_example_patch.cpp and describes it with `selfpatch info`.
# Then builds the Windows program (build/win32, build/win64; override with
# WIN32_BUILD_DIR, WIN64_BUILD_DIR) and applies the example patch with it
# under Wine in a virtual display, saving a screenshot.
#
#   scripts/demo.sh            # uses build/host
#   BUILD_DIR=build/mine scripts/demo.sh
#
# Needs what scripts/deps.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-build/host}
jobs=${JOBS:-2}

if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null; then
  echo "cmake and g++ are missing: run scripts/deps.sh (as root) first" >&2
  exit 1
fi

echo "== building $build" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >"$build.configure.log" 2>&1 \
  || { cat "$build.configure.log" >&2; exit 1; }
cmake --build "$build" -j"$jobs" --target selfpatch selfpatch_writer >/dev/null

echo "== writing the example patch" >&2
out=$build/demo
mkdir -p "$out"
g++ -std=c++17 -O1 -I"$root" -I"$build/generated" \
  examples/make_example_patch.cpp \
  "$build/libselfpatch_writer.a" "$build/libselfpatch_core.a" -lz \
  -o "$out/make_example_patch"
"$out/make_example_patch" "$out/example.patch"
"$out/make_example_patch" "$out/example-stored.patch" --stored

for f in example.patch example-stored.patch; do
  echo "== selfpatch info $out/$f" >&2
  "$build/selfpatch" info "$out/$f"
  echo
done

echo "== selfpatch info on a file that is no patch (exit status 16 expected)" >&2
set +e
"$build/selfpatch" info "$root/README.md"
status=$?
set -e
[ "$status" = 16 ] || { echo "unexpected exit status $status" >&2; exit 1; }

echo "example containers: $out/example.patch, $out/example-stored.patch" >&2

# --- The Windows program under Wine --------------------------------------------
# A patch executable is the stub with a container appended. The demo appends
# the example container to the x86_64 stub (this machine runs no 32-bit
# Wine; the shipping stub is the i686 one, built alongside), applies it in a
# folder under Wine in a virtual display, saves a screenshot and closes the
# window as a user would.
win32=${WIN32_BUILD_DIR:-build/win32}
win64=${WIN64_BUILD_DIR:-build/win64}
if [ ! -x /usr/lib/wine/wine64 ] || ! command -v Xvfb >/dev/null; then
  echo "== wine64 or Xvfb missing: skipping the Windows program (run scripts/deps.sh as root)" >&2
  exit 0
fi
echo "== building the Windows program ($win32: shipping stub, $win64: the one Wine runs here)" >&2
cmake -S "$root" -B "$win32" -DCMAKE_BUILD_TYPE=Release -DSELFPATCH_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >"$win32.configure.log" 2>&1 \
  || { cat "$win32.configure.log" >&2; exit 1; }
cmake --build "$win32" -j"$jobs" --target patch-stub >/dev/null
cmake -S "$root" -B "$win64" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" >"$win64.configure.log" 2>&1 \
  || { cat "$win64.configure.log" >&2; exit 1; }
cmake --build "$win64" -j"$jobs" --target patch-stub shell_e2e_driver >/dev/null

gui=$(cd "$out" && pwd)/gui
rm -rf "$gui"
mkdir -p "$gui/folder"
cat "$win64/patch-stub.exe" "$out/example.patch" >"$gui/example-patch.exe"
printf 'an old log\r\n' >"$gui/folder/old.log"

echo "== applying $gui/example-patch.exe in $gui/folder under Wine" >&2
. tests/shell_e2e/wine_session.sh
trap wine_session_stop EXIT
wine_session_start "$gui" || { echo "cannot start Xvfb" >&2; exit 1; }
(cd "$gui/folder" && exec "$wine" "$gui/example-patch.exe") >"$gui/stub.log" 2>&1 &
stub_pid=$!
driver="$win64/shell_e2e_driver.exe"
# Wait for the window and the run it starts by itself; read its log.
"$wine" "$driver" window finished dump "$gui/window.txt"
wine_screenshot "$gui/screenshot.png"
"$wine" "$driver" close done gone
set +e
wait "$stub_pid"
status=$?
set -e
echo "-- the window's log:" >&2
grep -a '^line=' "$gui/window.txt" | cut -d= -f2- | iconv -f CP950 -t UTF-8 >&2
echo "-- the folder afterwards (exit code $status):" >&2
(cd "$gui/folder" && find . -type f | sort) >&2
[ "$status" = 0 ] && [ -f "$gui/folder/readme.txt" ] && [ ! -f "$gui/folder/old.log" ] \
  || { echo "the Windows program did not apply the example patch" >&2; exit 1; }

echo "shipping stub: $win32/patch-stub.exe ($(stat -c %s "$win32/patch-stub.exe") bytes)" >&2
echo "patch executable: $gui/example-patch.exe; screenshot: $gui/screenshot.png" >&2
