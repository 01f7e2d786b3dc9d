#!/usr/bin/env bash
# Static and dynamic analysis: clang-tidy with the checked-in .clang-tidy and cppcheck on the
# programs' code, then valgrind's memcheck on a session of the client with the stand-in server.
# Any finding fails. tools/analyse.sh [build-folder]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target client command-server

clang-tidy -p "$build" --quiet src/*.cpp server/*.cpp
cppcheck --enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr \
    --quiet --std=c++20 --language=c++ -I src -I server src server

dir=$(mktemp -d)
server=
cleanup() {
    [ -z "$server" ] || kill "$server" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT
memcheck=(valgrind -q --error-exitcode=99)
"${memcheck[@]}" --log-file="$dir/server.memcheck" "$build/command-server" "$dir/canal" >/dev/null &
server=$!
while [ ! -p "$dir/canal" ]; do
    sleep 0.1
done
status=0
{ printf 'ls -la\n%0450d\nlast' 0 | "${memcheck[@]}" --log-file="$dir/client.memcheck" \
    "$build/client" "$dir/canal" >/dev/null || status=$?; } 2>/dev/null
kill "$server"
wait "$server" 2>/dev/null || true
server=
[ "$status" -eq 137 ] || { echo "analyse: client under memcheck ended with $status" >&2; exit 1; }
for log in "$dir"/*.memcheck; do
    [ ! -s "$log" ] || { cat "$log" >&2; exit 1; }
done
echo "analyse: clang-tidy, cppcheck and memcheck found nothing"
