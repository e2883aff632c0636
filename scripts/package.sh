#!/bin/sh
# Makes every package into build/packages: the Windows SDK zip of each
# architecture (KORMELT-<version>-windows-<arch>.zip) and the Debian packages
# libkormelt1, libkormelt-dev and kormelt (the folder is KORMELT_PACKAGE_DIR
# of the builds). Builds what is not built yet.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
out="$PWD/build/packages"
mkdir -p "$out"
for preset in win-i686 win-x86_64 linux; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" >/dev/null
    (cd "build/$preset" && cpack >/dev/null) || {
        echo "package.sh: cpack failed in build/$preset" >&2
        exit 1
    }
done
ls -l "$out"
