#!/usr/bin/env bash
# Builds everything and runs every test: tools/test.sh [build-folder [cmake-options...]]
# Installs the Debian packages that the build and the tests need, where they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
# locales and libc-l10n: the case of a message in French builds a French locale of its own; jq
# reads the server's JSON as a program of its users would.
need g++ cmake make libgtest-dev locales libc-l10n jq
dir=${1:-build}
shift $(($# > 0 ? 1 : 0))
cmake -S . -B "$dir" -DBUILD_TESTING=ON "$@"
cmake --build "$dir" -j "$(nproc)"
run_suite "$dir"
