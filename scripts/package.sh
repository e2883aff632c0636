#!/bin/sh
# Makes every package into build/packages: the Windows SDK zip of each
# architecture (KORMELT-<version>-windows-<arch>.zip) and the Debian packages
# libkormelt1, libkormelt-dev and kormelt (the folder is KORMELT_PACKAGE_DIR
# of the builds). Each tree's target kormelt_packages builds what is not
# built yet and then packs.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
for preset in win-i686 win-x86_64 linux; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target kormelt_packages >/dev/null || {
        echo "package.sh: the packages of build/$preset failed" >&2
        exit 1
    }
done
ls -l build/packages
