#!/usr/bin/env bash
# Checks the install: the manual pages render without warnings, and the Debian package built from
# build-folder (default build) unpacks into a temporary root where the installed client talks to
# the installed server for one short session. tools/check-package.sh [build-folder]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

for page in man/*.1; do
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || { echo "$page: $warnings" >&2; exit 1; }
done

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/command-client_*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

root=$(mktemp -d)
server=
cleanup() {
    [ -z "$server" ] || kill "$server" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT
dpkg-deb --extract "$deb" "$root"
"$root/usr/bin/command-server" "$root/canal" >"$root/server.log" &
server=$!
while [ ! -p "$root/canal" ]; do
    sleep 0.1
done
status=0
{ printf 'ls -la\n' | "$root/usr/bin/client" "$root/canal" >/dev/null || status=$?; } 2>/dev/null
for _ in $(seq 50); do
    grep -q 'fin (ctrld)' "$root/server.log" && break
    sleep 0.1
done
cat "$root/server.log"
[ "$status" -eq 137 ] || { echo "installed client ended with status $status, not 137" >&2; exit 1; }
grep -q ' : ls -la$' "$root/server.log" || { echo "the command did not reach the server" >&2; exit 1; }
grep -q 'fin (ctrld)$' "$root/server.log" || { echo "the server saw no clean end" >&2; exit 1; }
echo "package: $deb installs and runs"
