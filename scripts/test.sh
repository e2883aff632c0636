#!/bin/sh
# Installs what is missing, builds the three builds (Windows 32-bit and
# 64-bit DLLs with their test programs, Linux) and runs every test, the
# Windows ones under Wine (i686 only where this machine executes 32-bit
# programs, else reported as skipped); then the
# unit and Linux end-to-end tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a short run of each fuzzer.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
for preset in win-i686 win-x86_64 linux sanitize fuzz; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
# The packages, for the consumer tests of the Linux suite.
scripts/package.sh >/dev/null
status=0
ctest --preset linux || status=1
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
ctest --preset sanitize || status=1
ctest --preset fuzz || status=1
exit $status
