#!/bin/sh
# Builds what the benchmarks need and prints their table: the Linux library
# first, then the Windows DLL under Wine. Figures only: nothing fails on speed.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
for preset in win-x86_64 linux; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" >/dev/null
done

BUILD="$PWD/build/linux"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
"$BUILD/bench/kormelt-bench" a b c

export WINEPREFIX="$BUILD/bench-wineprefix"
export KORMELT_WINE_COM3="$BUILD/bench-wine-com3"
export KORMELT_BENCH_WIN64_BUILD="$PWD/build/win-x86_64"
export KORMELT_WINE="${KORMELT_WINE:-/usr/lib/wine/wine64}"
export WINEDEBUG=-all
bash tests/win_checks/wine_prefix.sh setup
trap 'bash tests/win_checks/wine_prefix.sh cleanup' EXIT
"$BUILD/bench/kormelt-bench" w
