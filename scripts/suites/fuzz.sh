#!/usr/bin/env bash
# CI hook: every fuzz target for a bounded number of executions on its
# committed corpus (scripts/fuzz.sh). About four minutes in all.
set -uo pipefail
cd "$(dirname "$0")/../.."
FUZZ_RUNS=${FUZZ_RUNS:-20000} FUZZ_SECONDS=${FUZZ_SECONDS:-45} bash scripts/fuzz.sh
