#!/usr/bin/env bash
# Checks what is shipped: the manual pages render without warnings; the binaries of a build from
# source (build-folder, default build) and of the Debian package are hardened; the package, built
# with dpkg-buildpackage (which runs the test suite) into the parent folder, passes lintian with
# no error, warning or hardening tag; and unpacked into a temporary root, the installed client
# talks to the installed server for one short session. tools/check-package.sh [build-folder]
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
need groff-base binutils dpkg-dev debhelper lintian
build=${1:-build}

for page in man/*.1; do
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || { echo "$page: $warnings" >&2; exit 1; }
done

# PIE, bound at start (full RELRO), and fortified calls in use.
hardened() {
    readelf -h "$1" | grep -q 'Type: *DYN' || { echo "$1: not PIE" >&2; exit 1; }
    readelf -d "$1" | grep -q 'BIND_NOW' || { echo "$1: not bound now" >&2; exit 1; }
    nm -D "$1" | grep -q ' U __.*_chk@' || { echo "$1: no fortified call" >&2; exit 1; }
}
hardened "$build/client"
hardened "$build/command-server"

dpkg-buildpackage -b -us -uc
deb=../command-client_$(dpkg-parsechangelog -S Version)_$(dpkg --print-architecture).deb
lintian -I --fail-on error,warning "$deb" | tee "$build/lintian.log"
! grep -q 'hardening-' "$build/lintian.log" || { echo "lintian: hardening tags" >&2; exit 1; }
dpkg-deb --contents "$deb"

private_dir
root=$temp/root
dpkg-deb --extract "$deb" "$root"
hardened "$root/usr/bin/client"
hardened "$root/usr/bin/command-server"
for page in client command-server; do
    [ -f "$root/usr/share/man/man1/$page.1.gz" ] || { echo "$page.1 not gzipped" >&2; exit 1; }
done
start_server "$temp/canal" "$temp/server.log" "$root/usr/bin/command-server"
status=0
{ printf 'ls -la\n' | "$root/usr/bin/client" "$temp/canal" >/dev/null || status=$?; } 2>/dev/null
for _ in $(seq 50); do
    grep -q 'fin (ctrld)' "$temp/server.log" && break
    sleep 0.1
done
cat "$temp/server.log"
[ "$status" -eq 137 ] || { echo "installed client ended with status $status, not 137" >&2; exit 1; }
grep -q ' : ls -la$' "$temp/server.log" || { echo "the command did not reach the server" >&2; exit 1; }
grep -q 'fin (ctrld)$' "$temp/server.log" || { echo "the server saw no clean end" >&2; exit 1; }
echo "package: $deb passes lintian, installs and runs"
