#!/usr/bin/env bash
# CI hook: cppcheck and clang-tidy over the project's own code
# (scripts/static.sh).
set -uo pipefail
cd "$(dirname "$0")/../.."
bash scripts/static.sh
