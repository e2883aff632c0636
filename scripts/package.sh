#!/bin/sh
# Makes every package into build/packages: the Windows SDK zip of each
# architecture (KORMELT-<version>-windows-<arch>.zip) and the Debian packages
# libkormelt1, libkormelt-dev and kormelt (the folder is KORMELT_PACKAGE_DIR
# of the builds). Each tree's target kormelt_packages builds what is not
# built yet and then packs.
set -eu
# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/lib.sh"
build_trees --target kormelt_packages
ls -l build/packages
