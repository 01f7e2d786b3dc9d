#!/usr/bin/env bash
# Builds the client and the stand-in server and starts a session: the server on a fresh FIFO in a
# temporary folder, the client on this terminal. Type commands; Ctrl-D ends the session.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target client command-server >/dev/null

dir=$(mktemp -d)
build/command-server "$dir/canal" &
server=$!
cleanup() {
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT
while [ ! -p "$dir/canal" ]; do
    sleep 0.1
done

# The client ends by killing itself; keep the shell's "Killed" report out of the way.
exec 3>&2
status=0
{ build/client "$dir/canal" 2>&3 || status=$?; } 2>/dev/null
sleep 0.2
echo
echo "demo : fin du client, statut $status (137 : tué par SIGKILL, sa fin normale)"
