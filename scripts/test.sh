#!/usr/bin/env bash
# Builds everything and runs every test suite: the host unit tests (ctest),
# the same portable suite cross-compiled for x86_64 Windows under wine64, and
# the suites registered in scripts/suites/. Last line: "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/deps.sh || exit 1
bash scripts/build.sh || { echo "0 passed, 1 failed"; exit 1; }

passed=0
failed=0
add() { passed=$((passed + $1)); failed=$((failed + $2)); }

# Host: ctest over the discovered GoogleTest cases.
log=build/host-ctest.log
(cd build/host && ctest --output-on-failure -j"$(nproc)") >"$log" 2>&1
tail -n 40 "$log" | grep -E 'tests passed|Failed|\*\*\*' || true
summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
if [ -n "$summary" ]; then
  total=$(echo "$summary" | sed -E 's/.*out of ([0-9]+).*/\1/')
  bad=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests? failed.*/\1/')
  add $((total - bad)) "$bad"
else
  echo "host: ctest printed no summary" >&2
  add 0 1
fi

# A GoogleTest binary's own summary lines -> counts.
gtest_counts() {  # log file
  local ok bad
  ok=$(grep -E '^\[  PASSED  \] [0-9]+ test' "$1" | tail -1 | sed -E 's/.*\] ([0-9]+) test.*/\1/')
  bad=$(grep -E '^\[  FAILED  \] [0-9]+ test' "$1" | tail -1 | sed -E 's/.*\] ([0-9]+) test.*/\1/')
  if [ -z "$ok" ] && [ -z "$bad" ]; then echo "0 1"; return; fi
  echo "${ok:-0} ${bad:-0}"
}

# Windows: the portable suite under wine64, in a prefix inside build/.
export WINEPREFIX=$root/build/win64/wineprefix WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
wine64=/usr/lib/wine/wine64
log=build/win64-tests.log
timeout 1200 "$wine64" build/win64/tests/selfpatch_tests.exe >"$log" 2>&1
grep -E '^\[  (PASSED|FAILED) ' "$log" | tail -20 || true
read -r ok bad < <(gtest_counts "$log")
add "$ok" "$bad"

# Further suites (end-to-end under Wine, CLI round trips, ...): each script
# prints its own "N passed, N failed" last line.
for suite in scripts/suites/*.sh; do
  [ -e "$suite" ] || continue
  name=$(basename "$suite" .sh)
  log=build/suite-$name.log
  timeout 1800 bash "$suite" >"$log" 2>&1
  line=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$log" | tail -1)
  echo "$name: ${line:-no result}"
  if [ -n "$line" ]; then
    add "$(echo "$line" | cut -d' ' -f1)" "$(echo "$line" | cut -d' ' -f3)"
  else
    tail -n 20 "$log"
    add 0 1
  fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
