#!/bin/bash
# When a run's failures are run once more: only when the prefix's server
# log says Wine's server crashed and every failure is a Windows test under
# Wine. Fake logs and failure lists, so this runs on any machine.
set -u

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
failures=0

crash="wineserver crashed, please enable coredumps (ulimit -c unlimited) and restart."
wine_a="206:wine_x86_64.Update/FaultMatrix.StatusRequestsNothingLeftOpenAndRecovery/complete"
wine_b="119:wine_i686.device"
native="15:FrameTest.FailedOrShortWriteGives5AndNothingIsRead"

# what | server log | failed tests (\n between) | expected exit code
while IFS='|' read -r what log list expected; do
    printf '%s' "$log" >"$work/server.log"
    printf '%b' "$list" >"$work/failed.log"
    out=$(bash "$here/wine_crash_rerun.sh" "$work/server.log" "$work/failed.log")
    code=$?
    if [ "$code" != "$expected" ]; then
        echo "FAIL: $what: exit code $code, expected $expected"
        failures=$((failures + 1))
    fi
    if [ "$expected" = 0 ] && [[ "$out" != *"wine_i686.device"* || "$out" != *"$crash"* ]]; then
        echo "FAIL: $what: the message names neither the tests nor the crash: $out"
        failures=$((failures + 1))
    fi
done <<TABLE
a crash with only Windows tests failed|$crash|$wine_a\n$wine_b\n|0
a crash with a native test among the failures|$crash|$wine_a\n$native\n|1
a crash with only a native test failed|$crash|$native\n|1
Windows tests failed without a crash|server started|$wine_a\n$wine_b\n|1
an empty server log||$wine_a\n|1
a crash and an empty failure list|$crash||1
TABLE

# Files that are not there at all: no rerun.
bash "$here/wine_crash_rerun.sh" "$work/none.log" "$work/none-failed.log" >/dev/null
[ $? = 1 ] || { echo "FAIL: missing files gave a rerun"; failures=$((failures + 1)); }

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "rerun decisions as expected"
