#!/bin/sh
# Builds what the benchmarks need and prints their table: the Linux library
# first, then the Windows DLLs under Wine (x86_64 with wine64, i686 with the
# 32-bit loader where this machine executes 32-bit programs). Figures only:
# nothing fails on speed.
set -eu
# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/lib.sh"
build_trees

BUILD="$PWD/build/linux"
"$BUILD/bench/kormelt-bench" a b d r c e

export WINEPREFIX="$BUILD/bench-wineprefix"
export KORMELT_WINE_COM3="$BUILD/bench-wine-com3"
export WINEDEBUG=-all
WINE64="${KORMELT_WINE:-/usr/lib/wine/wine64}"
WINE32="${KORMELT_WINE32:-/usr/lib/wine/wine}"
KORMELT_WINE="$WINE64" bash tests/win_checks/wine_prefix.sh setup
trap 'KORMELT_WINE="$WINE64" bash tests/win_checks/wine_prefix.sh cleanup' EXIT

KORMELT_WINE="$WINE64" KORMELT_BENCH_WIN_BUILD="$PWD/build/win-x86_64" \
    KORMELT_BENCH_WIN_NAME="x86_64 DLL under wine64" "$BUILD/bench/kormelt-bench" w

answer="$BUILD/bench-wine32-probe.txt"
KORMELT_WINE="$WINE32" bash tests/win_checks/wine32_probe.sh "$answer" \
    "$PWD/build/win-i686/tests/win/kormelt-wine-probe.exe" >/dev/null
if [ "$(head -n 1 "$answer")" = yes ]; then
    KORMELT_WINE="$WINE32" KORMELT_BENCH_WIN_BUILD="$PWD/build/win-i686" \
        KORMELT_BENCH_WIN_NAME="i686 DLL (the product) under 32-bit Wine" "$BUILD/bench/kormelt-bench" w
else
    echo "b. i686 DLL under 32-bit Wine: not measured: $(sed -n 2p "$answer")"
fi
