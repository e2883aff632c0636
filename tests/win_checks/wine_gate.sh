#!/bin/bash
# Runs a Windows test command, or reports the test as skipped (exit 77) with
# the reason when it cannot run here: the Windows build it needs was not
# made, or (for i686) this machine cannot execute 32-bit programs. A Windows
# build that was made but cannot be tested is a failure, never a skip: its
# tests would otherwise go unrun without anyone noticing.
#
# usage: wine_gate.sh PROGRAM [--probe ANSWER_FILE] -- COMMAND [ARG...]
#        wine_gate.sh --no-wine [BUILD_DIR...]
#
#   PROGRAM    a file of the Windows build the command runs. Missing, it is
#              a skip when no build directory (one with CMakeCache.txt) holds
#              its path, and a failure when one does.
#   --probe    the answer of wine32_probe.sh, for the i686 tests.
#   --no-wine  the verdict where Wine was not found: a failure when one of
#              the Windows build directories was made, else a skip.

set -u

SKIP=77  # the tests' SKIP_RETURN_CODE
FAIL=1

# The build directory whose tree holds path, or nothing.
build_of() {
    local dir
    dir=$(dirname "$1")
    while [ "$dir" != / ] && [ "$dir" != . ]; do
        if [ -f "$dir/CMakeCache.txt" ]; then
            echo "$dir"
            return
        fi
        dir=$(dirname "$dir")
    done
}

if [ "${1:-}" = --no-wine ]; then
    shift
    for build in "$@"; do
        if [ -n "$build" ] && [ -f "$build/CMakeCache.txt" ]; then
            echo "failed: the Windows build $build was made, but Wine was not found when this build was" \
                "configured, so none of its tests under Wine can run; install it (scripts/install-deps.sh)" \
                "and configure again"
            exit $FAIL
        fi
    done
    echo "skipped: no Windows build was made, and Wine was not found"
    exit $SKIP
fi

program=${1:?usage: wine_gate.sh PROGRAM [--probe ANSWER_FILE] -- COMMAND [ARG...]}
shift
probe=""
if [ "${1:-}" = --probe ]; then
    probe=${2:?--probe needs the answer file}
    shift 2
fi
[ "${1:-}" = -- ] && shift

if [ ! -f "$program" ]; then
    build=$(build_of "$program")
    if [ -n "$build" ]; then
        echo "failed: $program is missing although its Windows build $build was made; build all of it" \
            "(cmake --build on that build directory), so that its tests run"
        exit $FAIL
    fi
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
