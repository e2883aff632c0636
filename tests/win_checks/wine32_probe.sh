#!/bin/bash
# Can this machine execute a 32-bit Windows program under Wine? Runs the
# i686 build's probe program once per test run with the 32-bit loader and
# writes the answer to a file that every i686 test reads (wine_gate.sh, the
# end-to-end tests): "yes", or "no" and the reason on the next line.
#
# usage: wine32_probe.sh ANSWER_FILE PROBE_EXE
#
# Environment: KORMELT_WINE (the 32-bit loader, may be empty when it is not
# installed) and the prefix's WINEPREFIX, WINEDEBUG, WINEDLLOVERRIDES.
#
# Always exits 0 once the answer is written: a "no" is a fact about the
# machine, which the i686 tests then report as skipped.

set -u

PROBE_TIMEOUT_S=60  # the first 32-bit program in a prefix loads Wine's 32-bit side

answer_file=${1:?usage: wine32_probe.sh ANSWER_FILE PROBE_EXE}
probe=${2:?usage: wine32_probe.sh ANSWER_FILE PROBE_EXE}
loader=${KORMELT_WINE:-}

answer() {
    printf '%s\n' "$@" >"$answer_file" || {
        echo "wine32_probe.sh: cannot write $answer_file" >&2
        exit 1
    }
    if [ "$1" = yes ]; then
        echo "32-bit Windows programs under Wine: yes ($2)"
    else
        echo "32-bit Windows programs under Wine: no: $2"
    fi
    exit 0
}

rm -f "$answer_file"
if [ ! -f "$probe" ]; then
    answer no "the i686 Windows build is not there ($probe is missing)"
fi
if [ -z "$loader" ] || [ ! -x "$loader" ]; then
    answer no "this machine cannot execute 32-bit programs: 32-bit Wine is not installed (wine32:i386)"
fi
output=$(timeout "$PROBE_TIMEOUT_S" "$loader" "$probe" 2>&1 </dev/null)
status=$?
if [ $status -eq 0 ] && [[ "$output" == *"kormelt-wine-probe 32-bit"* ]]; then
    answer yes "$loader ran $(basename "$probe")"
fi
detail=$(printf '%s' "$output" | tr '\r\n' '  ' | cut -c1-200)
answer no "this machine cannot execute 32-bit programs ($loader exited with $status: $detail)"
