#!/bin/bash
# Runs a Windows test command, or reports the test as skipped (exit 77) with
# the reason when it cannot run here: the Windows build it needs is not
# there, or (for i686) this machine cannot execute 32-bit programs.
#
# usage: wine_gate.sh PROGRAM [--probe ANSWER_FILE] -- COMMAND [ARG...]
#
#   PROGRAM   a file of the Windows build the command runs; missing means
#             that build was not made.
#   --probe   the answer of wine32_probe.sh, for the i686 tests.

set -u

SKIP=77  # the tests' SKIP_RETURN_CODE

program=${1:?usage: wine_gate.sh PROGRAM [--probe ANSWER_FILE] -- COMMAND [ARG...]}
shift
probe=""
if [ "${1:-}" = --probe ]; then
    probe=${2:?--probe needs the answer file}
    shift 2
fi
[ "${1:-}" = -- ] && shift

if [ ! -f "$program" ]; then
    echo "skipped: $program is missing; build the Windows presets first (scripts/test.sh does)"
    exit $SKIP
fi
if [ -n "$probe" ]; then
    if [ ! -f "$probe" ]; then
        echo "skipped: this machine cannot execute 32-bit programs (the probe gave no answer: $probe)"
        exit $SKIP
    fi
    if [ "$(head -n 1 "$probe")" != yes ]; then
        echo "skipped: $(sed -n 2p "$probe")"
        exit $SKIP
    fi
fi
exec "$@"
