#!/usr/bin/env bash
# Builds everything and runs every test: tools/test.sh [build-folder [cmake-options...]]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift $(($# > 0 ? 1 : 0))
cmake -S . -B "$dir" "$@"
cmake --build "$dir" -j "$(nproc)"
# Most cases spend their time in the client's 2 s pause, so many run at once.
ctest --test-dir "$dir" -j 16 --output-on-failure
