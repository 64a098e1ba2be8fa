#!/usr/bin/env bash
# Static checks of the project's own code (never third-party code): cppcheck
# and clang-tidy over core, the POSIX platform table, messages, container,
# payload, delta, apply, fsutil, cli and maker.
#
# Findings are fixed, or justified where they stand with an inline
# suppression and its reason ("// cppcheck-suppress id" or "// NOLINT(check)").
# The check sets aim at faults, not style:
#   cppcheck    warning and portability (undefined behaviour, bounds, leaks,
#               uninitialised reads, wrong printf arguments, width issues)
#   clang-tidy  the clang static analyzer's core, unix, C++ and dead-store
#               checkers, and bugprone-*, less the checks that judge style
#               rather than find faults: swappable parameters, narrowing
#               (the format's widths are deliberate), widening of
#               multiplications, reserved identifiers (the system headers'
#               conventions), and branch clones (tables of cases that share a
#               result on purpose).
#
# The last line is "N passed, N failed", one for each tool.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build/static
jobs=${JOBS:-2}

for tool in cppcheck clang-tidy; do
  if ! command -v $tool >/dev/null; then
    echo "$tool is missing (scripts/deps.sh installs it)" >&2
    echo "0 passed, 1 failed"
    exit 1
  fi
done

dirs=(core messages container payload delta apply fsutil cli maker maker/writer)
files=()
for d in "${dirs[@]}"; do
  for f in "$d"/*.cpp; do [ -e "$f" ] && files+=("$f"); done
done
files+=(platform/posix.cpp)

# A host configuration for the compile commands and the generated header.
mkdir -p build
if ! { cmake -S . -B $build -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
         -DSELFPATCH_TESTS=OFF && cmake --build $build --target selfpatch_texts; } \
     >build/static.configure.log 2>&1; then
  tail -n 20 build/static.configure.log >&2
  echo "0 passed, 1 failed"
  exit 1
fi

passed=0
failed=0

echo "cppcheck: ${#files[@]} files" >&2
# cppcheck adds a few style-level reports even to these sets; only errors,
# warnings and portability reports count, the rest are shown as notes.
cppcheck -q --std=c++17 --enable=warning,portability --inline-suppr \
  --suppress=missingIncludeSystem -I . -I $build/generated -j "$jobs" \
  --template='{file}:{line}: {severity} ({id}): {message}' \
  "${files[@]}" >build/static-cppcheck.log 2>&1
if grep -qE ': (error|warning|portability) \(' build/static-cppcheck.log; then
  failed=$((failed + 1))
  echo "cppcheck: findings"
  cat build/static-cppcheck.log
else
  passed=$((passed + 1))
  echo "cppcheck: clean"
  sed 's/^/  note: /' build/static-cppcheck.log
fi

checks='-*,clang-analyzer-core.*,clang-analyzer-unix.*,clang-analyzer-cplusplus.*'
checks+=',clang-analyzer-deadcode.*,bugprone-*'
checks+=',-bugprone-easily-swappable-parameters,-bugprone-narrowing-conversions'
checks+=',-bugprone-implicit-widening-of-multiplication-result'
checks+=',-bugprone-reserved-identifier,-bugprone-branch-clone'
own="^$root/($(IFS='|'; echo "${dirs[*]}")|platform)/"
echo "clang-tidy: ${#files[@]} files" >&2
printf '%s\n' "${files[@]}" |
  xargs -P "$jobs" -n 4 clang-tidy -p $build --quiet --checks="$checks" \
    --header-filter="$own" --warnings-as-errors='*' \
    >build/static-tidy.log 2>&1
if [ $? -eq 0 ]; then
  passed=$((passed + 1))
  echo "clang-tidy: clean"
else
  failed=$((failed + 1))
  echo "clang-tidy: findings"
  grep -E 'warning:|error:' -A3 build/static-tidy.log | head -80
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
