#!/usr/bin/env bash
# Builds the host tools, writes an example patch container with
# examples/make_example_patch.cpp and describes it with `selfpatch info`.
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
