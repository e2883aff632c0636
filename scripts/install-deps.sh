#!/bin/sh
# Installs the Debian packages the build and the tests need. Quiet and quick
# when they are all there already.
set -eu
PACKAGES="cmake make g++ binutils srecord libgtest-dev libgmock-dev libcli11-dev libboost-dev
clang libclang-rt-14-dev
g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 python3 python3-pefile
python3-venv python3-pip python3-setuptools python3-wheel python3-pytest
lld llvm dpkg-dev file pkgconf ccache help2man lintian libsqlite3-dev
libcpp-httplib-dev nlohmann-json3-dev chromium chromium-driver python3-selenium ser2net"
# 32-bit Wine runs the i686 Windows build, the product itself. It needs the
# i386 architecture; a machine whose kernel refuses 32-bit programs still
# installs it, and the suite's probe then skips the i686 tests.
PACKAGES_I386="wine32:i386"

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"
}

missing=""
for p in $PACKAGES; do
    installed "$p" || missing="$missing $p"
done
missing_i386=""
for p in $PACKAGES_I386; do
    installed "$p" || missing_i386="$missing_i386 $p"
done
[ -z "$missing$missing_i386" ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
if [ -n "$missing_i386" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "adding the i386 architecture for 32-bit Wine"
    $SUDO dpkg --add-architecture i386
fi
echo "installing:$missing$missing_i386"
$SUDO apt-get update -qq
if [ -n "$missing" ]; then
    # shellcheck disable=SC2086
    $SUDO apt-get install -y -qq $missing >/dev/null
fi
if [ -n "$missing_i386" ]; then
    # shellcheck disable=SC2086
    $SUDO apt-get install -y -qq $missing_i386 >/dev/null ||
        echo "install-deps.sh: could not install$missing_i386; the i686 tests will be skipped" >&2
fi
