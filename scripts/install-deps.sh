#!/bin/sh
# Installs the Debian packages the build and the tests need. Quiet and quick
# when they are all there already.
set -eu
PACKAGES="cmake make g++ binutils libgtest-dev libgmock-dev libcli11-dev libboost-dev
clang libclang-rt-14-dev
g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 python3 python3-pefile"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq $missing >/dev/null
