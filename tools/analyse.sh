#!/usr/bin/env bash
# Static and dynamic analysis: clang-tidy with the checked-in .clang-tidy and cppcheck on the
# programs' code, then valgrind's memcheck on a session of the client with the stand-in server.
# Any finding fails. tools/analyse.sh [build-folder]
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
need clang-tidy cppcheck valgrind
build=${1:-build}
cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target client command-server

clang-tidy -p "$build" --quiet src/*.cpp server/*.cpp
cppcheck --enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr \
    --quiet --std=c++20 --language=c++ -I src -I server src server

private_dir
memcheck=(valgrind -q --error-exitcode=99)
start_server "$temp/canal" /dev/null "${memcheck[@]}" --log-file="$temp/server.memcheck" \
    "$build/command-server"
status=0
{ printf 'ls -la\n%0450d\nlast' 0 | "${memcheck[@]}" --log-file="$temp/client.memcheck" \
    "$build/client" "$temp/canal" >/dev/null || status=$?; } 2>/dev/null
stop_server
[ "$status" -eq 137 ] || { echo "analyse: client under memcheck ended with $status" >&2; exit 1; }
for log in "$temp"/*.memcheck; do
    [ ! -s "$log" ] || { cat "$log" >&2; exit 1; }
done
echo "analyse: clang-tidy, cppcheck and memcheck found nothing"
