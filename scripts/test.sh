#!/bin/sh
# Installs what is missing, builds the five trees once (Windows 32-bit and
# 64-bit DLLs with their test programs, Linux with the Python wheel, the
# sanitizer build, the fuzzers), makes the packages the tests consume, and
# runs every test: the Windows ones under Wine (i686 only where this machine
# executes 32-bit programs, else reported as skipped), the unit and Linux
# end-to-end tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a short run of each fuzzer. Ends with how
# long each phase took. `cmake --workflow --preset all` takes the same steps.
set -eu
cd "$(dirname "$0")/.."

# Every core of the machine, unless the caller says otherwise; the fuzzers,
# which only compute, one a core whatever the caller says.
cores=$(nproc)
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$cores}"
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$cores}"

timings=$(mktemp)
started=$(date +%s.%N)
report() {
    echo
    echo "phase                       from s   took s"
    sort -t "$(printf '\t')" -k2,2n "$timings" | awk -F '\t' -v started="$started" '
        { printf "%-26s %8.1f %8.1f%s\n", $1, $2 - started, $3 - $2, ($4 == 0 ? "" : "  (failed)") }'
    awk -v started="$started" -v ended="$(date +%s.%N)" 'BEGIN { printf "%-26s %17.1f\n", "total", ended - started }'
    rm -f "$timings"
}
trap report EXIT

# timed NAME COMMAND...: runs the command and notes how long it took.
timed() {
    name=$1
    shift
    start=$(date +%s.%N)
    rc=0
    "$@" || rc=$?
    printf '%s\t%s\t%s\t%s\n' "$name" "$start" "$(date +%s.%N)" "$rc" >>"$timings"
    return $rc
}

# (Called by timed, where set -e does not hold: each step checks.)
configure_and_build() {  # configure_and_build PRESET [NICE_COMMAND...]
    preset=$1
    shift
    "$@" cmake --preset "$preset" >/dev/null && "$@" cmake --build --preset "$preset"
}

make_packages() {
    # The Windows SDK zips and the .debs; the Linux build made the wheel.
    for preset in win-i686 win-x86_64 linux; do
        cmake --build --preset "$preset" --target kormelt_packages >/dev/null || return 1
    done
}

# The sanitizer and fuzzer trees, built while the Linux suite runs: its tests
# mostly wait, on the device's reply timeouts and on Wine, and these builds
# take only the processor time the tests leave (nice 19). Their output goes
# to a log, shown when they fail.
build_beside() {
    for preset in sanitize fuzz; do
        log=build/$preset-build.log
        timed "$preset configure+build" configure_and_build "$preset" nice -n 19 >"$log" 2>&1 || {
            cat "$log"
            return 1
        }
    done
}

# Wine 8's server has been seen to crash on a loaded machine; when it did
# and only Windows tests failed, those run once more in a fresh prefix (the
# fixture comes along) and decide. Any other failure stands.
rerun_after_wine_crash() {
    bash tests/win_checks/wine_crash_rerun.sh build/linux/wineprefix.server.log \
        build/linux/Testing/Temporary/LastTestsFailed.log || return 1
    timed "ctest linux, Wine again" ctest --preset linux --rerun-failed --output-on-failure
}

timed install scripts/install-deps.sh
for preset in win-i686 win-x86_64 linux; do
    timed "$preset configure+build" configure_and_build "$preset"
done
timed packaging make_packages

mkdir -p build
build_beside &
beside=$!
status=0
timed "ctest linux" ctest --preset linux || rerun_after_wine_crash || status=1
# The i686 Windows tests run only where this machine executes 32-bit
# programs; the probe of the run above says whether it did.
answer=build/linux/wine32-probe.txt
if [ -f "$answer" ] && [ "$(head -n 1 "$answer")" = yes ]; then
    echo "i686 Windows tests: run under 32-bit Wine"
elif [ -f "$answer" ]; then
    echo "i686 Windows tests: SKIPPED: $(sed -n 2p "$answer")"
else
    echo "i686 Windows tests: SKIPPED: the probe did not run"
fi
if wait "$beside"; then
    # The sanitizer tests wait as the Linux ones do, so the fuzzers run beside
    # them at nice 19, taking only the processor time the tests leave; each
    # still runs its full time.
    timed "ctest fuzz" nice -n 19 ctest --preset fuzz --parallel "$cores" &
    fuzzing=$!
    timed "ctest sanitize" ctest --preset sanitize || status=1
    wait "$fuzzing" || status=1
else
    echo "the sanitizer or fuzzer build failed: their tests did not run" >&2
    status=1
fi
exit $status
