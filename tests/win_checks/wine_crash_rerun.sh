#!/bin/bash
# Whether the failed tests of a run are to run once more because Wine's
# server crashed under them: the log of the prefix's server says it crashed
# ("wineserver crashed", Wine's own words), and every failed test is one of
# the Windows tests under Wine (wine_*). Then it names them and exits 0;
# otherwise it exits 1 and the failures stand.
#
# usage: wine_crash_rerun.sh SERVER_LOG FAILED_LIST
#
#   SERVER_LOG   build/linux/wineprefix.server.log
#   FAILED_LIST  CTest's list of the last failures, NUMBER:NAME a line
#                (Testing/Temporary/LastTestsFailed.log)

set -u

server_log=${1:?usage: wine_crash_rerun.sh SERVER_LOG FAILED_LIST}
failed=${2:?usage: wine_crash_rerun.sh SERVER_LOG FAILED_LIST}

grep -q "wineserver crashed" "$server_log" 2>/dev/null || exit 1
[ -s "$failed" ] || exit 1
if grep -qv '^[0-9]*:wine_' "$failed"; then
    exit 1  # a failure of another test is no Wine crash's doing
fi
echo "Wine's server crashed during the tests ($(head -n 1 "$server_log")); these Windows tests run once more:"
sed 's/^[0-9]*:/  /' "$failed"
