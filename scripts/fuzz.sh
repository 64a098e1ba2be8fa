#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) into build/fuzz and runs each one for a bounded
# number of executions on its committed corpus in fuzz/corpus/<target>.
#
#   scripts/fuzz.sh                 every target, FUZZ_RUNS executions each
#   scripts/fuzz.sh fuzz_rebuild    one target
#
#   FUZZ_RUNS     executions per target (default 20000)
#   FUZZ_SECONDS  time limit per target, whichever comes first (default 60)
#   FUZZ_SEEDS=1  regenerate fuzz/corpus from the seed generator first
#
# New inputs the fuzzer finds go to build/fuzz/runs/<target>/, never into the
# committed corpus; a crashing input is saved as build/fuzz/runs/<target>-crash-*
# and its report kept in build/fuzz/runs/<target>.log. The last line is
# "N passed, N failed" (one per target).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${FUZZ_RUNS:-20000}
seconds=${FUZZ_SECONDS:-60}
all=(fuzz_container fuzz_payload fuzz_rebuild fuzz_registry fuzz_info fuzz_check
     fuzz_reg_file)
if [ $# -gt 0 ]; then targets=("$@"); else targets=("${all[@]}"); fi

if ! command -v clang++ >/dev/null; then
  echo "clang++ is missing (scripts/deps.sh installs it)" >&2
  echo "0 passed, 1 failed"
  exit 1
fi

mkdir -p build/fuzz/runs
log=build/fuzz/build.log
if ! { cmake -S fuzz -B build/fuzz -DCMAKE_C_COMPILER=clang \
         -DCMAKE_CXX_COMPILER=clang++ &&
       cmake --build build/fuzz -j"${JOBS:-2}"; } >"$log" 2>&1; then
  grep -E 'error|Error' "$log" | head -30 >&2
  echo "0 passed, 1 failed"
  exit 1
fi

if [ "${FUZZ_SEEDS:-0}" = 1 ]; then
  rm -rf fuzz/corpus
  build/fuzz/fuzz_seeds fuzz/corpus || { echo "0 passed, 1 failed"; exit 1; }
fi

passed=0
failed=0
for t in "${targets[@]}"; do
  work=build/fuzz/runs/$t
  rm -rf "$work" build/fuzz/runs/"$t"-crash-* build/fuzz/runs/"$t"-leak-* \
    build/fuzz/runs/"$t"-timeout-* build/fuzz/runs/"$t"-oom-*
  mkdir -p "$work"
  start=$SECONDS
  # -max_len keeps inputs small enough to run fast; -timeout turns a hang
  # into a finding; the sanitizers stop at the first report.
  "build/fuzz/$t" -runs="$runs" -max_total_time="$seconds" -max_len=8192 \
    -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/runs/$t-" "$work" "fuzz/corpus/$t" \
    >"build/fuzz/runs/$t.log" 2>&1
  rc=$?
  done_runs=$(grep -E '^stat::number_of_executed_units' "build/fuzz/runs/$t.log" |
    awk '{print $2}')
  if [ $rc -eq 0 ]; then
    passed=$((passed + 1))
    echo "$t: ok, ${done_runs:-?} runs in $((SECONDS - start)) s"
  else
    failed=$((failed + 1))
    echo "$t: FAILED (exit $rc) after $((SECONDS - start)) s; see build/fuzz/runs/$t.log"
    grep -E 'ERROR|fuzz check failed|SUMMARY|runtime error' -A4 "build/fuzz/runs/$t.log" | head -30
    ls build/fuzz/runs/"$t"-* 2>/dev/null
  fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
