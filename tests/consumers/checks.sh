# shellcheck shell=bash
# What the consumer checks share, sourced by them: a work directory removed
# at exit, and failures counted rather than fatal, so that every check runs
# and the script ends with one verdict.
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# finish PASSED: says PASSED when nothing failed; exits 1 when anything did.
finish() {
    [ $failures -eq 0 ] && echo "$1"
    exit $((failures > 0))
}
