#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while: tools/fuzz.sh [seconds-each]
# (default 30). Findings are written as crash-* files in build-fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
need clang libclang-rt-14-dev
seconds=${1:-30}
cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCLIENT_FUZZ=ON \
    -DBUILD_TESTING=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target console_fuzz decoder_fuzz
mkdir -p build-fuzz/findings
for target in console_fuzz decoder_fuzz; do
    mkdir -p "build-fuzz/corpus/$target"
    # Console reads must be tried across the 64 KiB input buffer, so inputs may be long.
    status=0
    "build-fuzz/fuzz/$target" -max_total_time="$seconds" -max_len=200000 -print_final_stats=1 \
        -artifact_prefix=build-fuzz/findings/ "build-fuzz/corpus/$target" \
        >"build-fuzz/$target.log" 2>&1 || status=$?
    grep -E '^(stat::number_of_executed_units|Done)|ERROR|SUMMARY' "build-fuzz/$target.log" || true
    [ "$status" -eq 0 ] || { echo "fuzz: $target found a fault" >&2; exit 1; }
done
