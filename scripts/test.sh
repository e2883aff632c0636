#!/bin/sh
# Installs what is missing, builds the three builds (Windows 32-bit DLL,
# Windows 64-bit DLL and test programs, Linux) and runs every test; then the
# unit and Linux end-to-end tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a short run of each fuzzer.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
for preset in win-i686 win-x86_64 linux sanitize fuzz; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
status=0
ctest --preset linux || status=1
ctest --preset sanitize || status=1
ctest --preset fuzz || status=1
exit $status
