#!/usr/bin/env bash
# Builds the Debian package from this checkout and installs it: tools/install.sh [OPTION...]
# It installs what the build needs where it is missing, runs the test suite during the build
# (DEB_BUILD_OPTIONS=nocheck with -Pnocheck leaves it out), writes the package into the folder
# above the checkout, and installs it with apt-get, as root or through sudo. The options go to
# dpkg-buildpackage.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
need build-essential dpkg-dev debhelper cmake make g++ libgtest-dev jq
dpkg-buildpackage -b -us -uc "$@"
deb=$(cd .. && pwd)/command-client_$(dpkg-parsechangelog -S Version)_$(dpkg --print-architecture).deb
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y "$deb"
echo "install.sh: installed $deb: client, command-server, and their manual pages"
