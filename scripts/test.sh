#!/bin/sh
# Installs what is missing, builds the three builds (Windows 32-bit DLL,
# Windows 64-bit DLL and test programs, Linux) and runs every test.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
for preset in win-i686 win-x86_64 linux; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
ctest --preset linux
