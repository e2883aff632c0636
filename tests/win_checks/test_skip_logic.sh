#!/bin/bash
# The logic that turns "cannot run here" into a skipped test with its reason
# rather than a failure or a silent pass: wine32_probe.sh's answer for
# loaders that run, refuse or are missing, and wine_gate.sh's verdicts.
# Fake loaders stand in for Wine, so this runs on any machine.
set -u

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
failures=0

expect() {  # expect DESCRIPTION ACTUAL EXPECTED
    if [ "$2" != "$3" ]; then
        echo "FAIL: $1: got '$2', expected '$3'"
        failures=$((failures + 1))
    fi
}
expect_contains() {  # expect_contains DESCRIPTION TEXT PART
    if [[ "$2" != *"$3"* ]]; then
        echo "FAIL: $1: '$2' does not contain '$3'"
        failures=$((failures + 1))
    fi
}

probe_exe="$work/kormelt-wine-probe.exe"
: >"$probe_exe"
printf '#!/bin/sh\necho "kormelt-wine-probe 32-bit"\n' >"$work/runs"
printf '#!/bin/sh\necho "$0: cannot execute binary file: Exec format error" >&2\nexit 126\n' >"$work/refuses"
printf '#!/bin/sh\necho "kormelt-wine-probe 64-bit"\n' >"$work/wrong-width"
chmod +x "$work/runs" "$work/refuses" "$work/wrong-width"
answer="$work/answer"

# loader | expected verdict | part of the reason
while IFS='|' read -r loader verdict reason; do
    KORMELT_WINE="$loader" bash "$here/wine32_probe.sh" "$answer" "$probe_exe" >/dev/null
    expect "probe status with loader '$loader'" $? 0
    expect "verdict with loader '$loader'" "$(head -n 1 "$answer")" "$verdict"
    expect_contains "reason with loader '$loader'" "$(sed -n 2p "$answer")" "$reason"
done <<TABLE
$work/runs|yes|ran kormelt-wine-probe.exe
$work/refuses|no|this machine cannot execute 32-bit programs
$work/wrong-width|no|this machine cannot execute 32-bit programs
$work/missing-loader|no|32-bit Wine is not installed
|no|32-bit Wine is not installed
TABLE

KORMELT_WINE="$work/runs" bash "$here/wine32_probe.sh" "$answer" "$work/no-build.exe" >/dev/null
expect "verdict without the i686 build" "$(head -n 1 "$answer")" no
expect_contains "reason without the i686 build" "$(sed -n 2p "$answer")" "is missing"

# The gate: skip (77) with the reason, or the command's own exit status.
out=$(bash "$here/wine_gate.sh" "$work/no-such.exe" -- true)
expect "gate, program missing" $? 77
expect_contains "gate reason, program missing" "$out" "no-such.exe is missing"

# A Windows build that was made but lacks the program fails: its tests must
# not vanish into skips.
mkdir -p "$work/win-build/tests/win"
: >"$work/win-build/CMakeCache.txt"
out=$(bash "$here/wine_gate.sh" "$work/win-build/tests/win/no-such.exe" -- true)
expect "gate, program missing from a build that was made" $? 1
expect_contains "gate reason, program missing from a build" "$out" "although its Windows build $work/win-build was made"

# Wine not found: a failure where a Windows build was made, else a skip.
out=$(bash "$here/wine_gate.sh" --no-wine "" "$work/win-build")
expect "gate, no Wine, a build was made" $? 1
expect_contains "gate reason, no Wine, a build was made" "$out" "Wine was not found"
out=$(bash "$here/wine_gate.sh" --no-wine "" "$work/no-build")
expect "gate, no Wine, no build" $? 77
expect_contains "gate reason, no Wine, no build" "$out" "no Windows build was made"

printf 'no\nthis machine cannot execute 32-bit programs (test)\n' >"$answer"
out=$(bash "$here/wine_gate.sh" "$probe_exe" --probe "$answer" -- true)
expect "gate, probe said no" $? 77
expect "gate reason, probe said no" "$out" "skipped: this machine cannot execute 32-bit programs (test)"

out=$(bash "$here/wine_gate.sh" "$probe_exe" --probe "$work/no-answer" -- true)
expect "gate, probe gave no answer" $? 77
expect_contains "gate reason, no answer" "$out" "this machine cannot execute 32-bit programs"

printf 'yes\nran\n' >"$answer"
bash "$here/wine_gate.sh" "$probe_exe" --probe "$answer" -- sh -c 'exit 3'
expect "gate, probe said yes: the command's status" $? 3
bash "$here/wine_gate.sh" "$probe_exe" -- true
expect "gate, x86_64: the command's status" $? 0

[ $failures -eq 0 ] && echo "skip logic: all cases as expected"
exit $((failures > 0))
