#!/usr/bin/env bash
# Checks what is shipped: tools/check-package.sh [--autopkgtest] [build-folder]
# - the manual pages render without warnings and carry the package's version;
# - the binaries of a build from source (build-folder, default build) and of the package are
#   hardened as the README says, and the installed client is small and needs libc alone;
# - the package, built by dpkg-buildpackage (tests included) under LANG=fr_FR.UTF-8 into the
#   parent folder, and its source package are silent under lintian at its strictest;
# - built again from a copy elsewhere, under another time zone, umask and locale, with nocheck
#   (no test is then built), it comes out the same to the bit;
# - unpacked, it passes its as-installed test, debian/tests/session;
# - with --autopkgtest, autopkgtest runs that test on this machine, installing the package and
#   removing it afterwards (as CI does).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
autopkgtest=false
if [ "${1-}" = --autopkgtest ]; then
    autopkgtest=true
    shift
fi
build=${1:-build}
need groff-base binutils build-essential dpkg-dev debhelper cmake make g++ libgtest-dev jq lintian locales libc-l10n
! $autopkgtest || need autopkgtest

version=$(dpkg-parsechangelog -S Version)
# Each program's page carries its name and version; the stream's page is the client's.
for page in man/*.1 man/*.5; do
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || { echo "$page: $warnings" >&2; exit 1; }
    name=$(basename "$page" .1)
    [[ $page == *.1 ]] || name=client
    head -n 1 "$page" | grep -q "\"$name $version\"" || { echo "$page: not \"$name $version\"" >&2; exit 1; }
done

# What the README claims: position-independent, relocations read-only and bound at start (full
# RELRO), the stack protector and fortified calls in use.
hardened() {
    readelf -h "$1" | grep -q 'Type: *DYN' || { echo "$1: not PIE" >&2; exit 1; }
    readelf -l "$1" | grep -q 'GNU_RELRO' || { echo "$1: no RELRO" >&2; exit 1; }
    readelf -d "$1" | grep -q 'BIND_NOW' || { echo "$1: not bound now" >&2; exit 1; }
    nm -D "$1" | grep -q ' U __stack_chk_fail' || { echo "$1: no stack protector" >&2; exit 1; }
    nm -D "$1" | grep -q ' U __.*_chk@' || { echo "$1: no fortified call" >&2; exit 1; }
}
hardened "$build/client"
hardened "$build/command-server"

private_dir
french_locale
LANG=fr_FR.UTF-8 dpkg-buildpackage -b -us -uc
deb=../command-client_${version}_$(dpkg --print-architecture).deb
# lint FILE: lintian at its strictest prints no tag on standard output, of any level.
lint() {
    local status=0
    lintian -E -I --pedantic --fail-on error,warning,info,pedantic "$1" >"$temp/lintian.log" ||
        status=$?
    [ "$status" -eq 0 ] && [ ! -s "$temp/lintian.log" ] || { cat "$temp/lintian.log" >&2; exit 1; }
}
lint "$deb"
contents=$(dpkg-deb --contents "$deb")
echo "$contents"
for page in {,fr/}man1/client.1.gz {,fr/}man1/command-server.1.gz {,fr/}man5/command-stream.5.gz; do
    grep -q "/usr/share/man/$page\$" <<<"$contents" ||
        { echo "check-package: the package holds no $page" >&2; exit 1; }
done

# The second build starts from the files of the checkout (tracked or not, but not ignored).
copy=$temp/elsewhere/command-client
mkdir -p "$copy"
git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - | tar -C "$copy" -xf -
(
    cd "$copy"
    dpkg-source -b . >/dev/null
    umask 077
    TZ=Pacific/Kiritimati LANG=C.UTF-8 DEB_BUILD_OPTIONS=nocheck \
        dpkg-buildpackage -b -us -uc --build-profiles=nocheck >"$temp/nocheck.log" 2>&1 ||
        { cat "$temp/nocheck.log" >&2; exit 1; }
    [ ! -e debian/build/tests ] && [ ! -e debian/build/bench ] ||
        { echo "check-package: a nocheck build compiled tests or the benchmark" >&2; exit 1; }
)
lint "$copy/../command-client_$version.dsc"
if ! cmp "$deb" "$copy/../$(basename "$deb")"; then
    echo "check-package: two builds of one source differ" >&2
    if command -v diffoscope >/dev/null; then
        diffoscope "$deb" "$copy/../$(basename "$deb")" >&2 || true
    fi
    exit 1
fi

root=$temp/root
dpkg-deb --extract "$deb" "$root"
hardened "$root/usr/bin/client"
hardened "$root/usr/bin/command-server"
size=$(stat -c %s "$root/usr/bin/client")
[ "$size" -lt 32768 ] || { echo "check-package: the installed client is $size bytes" >&2; exit 1; }
needed=$(readelf -d "$root/usr/bin/client" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ "$needed" = libc.so.6 ] || { echo "check-package: the client needs" $needed >&2; exit 1; }
debian/tests/session "$root"

if $autopkgtest; then
    installed=$(dpkg-query -W -f '${db:Status-Status}' command-client 2>/dev/null || true)
    status=0
    autopkgtest -B "$deb" "$copy" -- null || status=$?
    [ "$installed" = installed ] || apt-get purge -y command-client >/dev/null
    [ "$status" -eq 0 ] || { echo "check-package: autopkgtest failed ($status)" >&2; exit 1; }
fi
echo "package: $deb is silent under lintian, reproducible, and works as installed"
