#!/bin/bash
# Runs lintian on the .debs and fails on any error or warning it reports.
#
# usage: lintian_debs.sh PACKAGE_DIR
#
# Exits 77 (skipped) when lintian is not installed or the .debs have not
# been made (the build target kormelt_packages makes them).
set -u

SKIP=77
package_dir=${1:?usage: lintian_debs.sh PACKAGE_DIR}

if ! command -v lintian >/dev/null; then
    echo "skipped: lintian is not installed (scripts/install-deps.sh installs it)"
    exit $SKIP
fi
shopt -s nullglob
debs=("$package_dir"/*.deb)
if [ ${#debs[@]} -eq 0 ]; then
    echo "skipped: no .deb in $package_dir; the build target kormelt_packages makes them"
    exit $SKIP
fi

# lintian's own exit status follows its --fail-on setting, which differs
# between its versions; the tags it prints are what counts.
report=$(lintian --no-cfg "${debs[@]}" 2>&1)
echo "lintian on ${debs[*]##*/}:"
echo "${report:-(nothing reported)}"
tags=$(grep -E '^[EW]: ' <<<"$report")
if [ -n "$tags" ]; then
    echo "FAIL: $(wc -l <<<"$tags") error or warning tags"
    exit 1
fi
echo "no error and no warning"
