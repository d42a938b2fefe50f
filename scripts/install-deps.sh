#!/bin/sh
# Installs the Debian packages the build and the tests need, when missing.
# Safe to run again: it does nothing when everything is already there.
set -eu

# dpkg-dev (dpkg-shlibdeps) and file are what CPack's Debian packages need.
packages="build-essential cmake ninja-build pkg-config dpkg-dev file libsqlite3-dev libyajl-dev libxlsxwriter-dev libgtest-dev sqlite3 unzip clang libclang-rt-14-dev libpq-dev postgresql"

missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing="$missing $p"
    fi
done

[ -z "$missing" ] && exit 0

echo "Installing:$missing"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $missing
