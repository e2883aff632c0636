#!/bin/sh
# Runs one fuzzer for a bounded time from the seed corpus in the tree; new
# inputs go to a corpus in the build directory, never into the tree.
# usage: run_smoke.sh FUZZER SEED_DIR WORK_DIR SECONDS
set -eu
fuzzer="$1" seeds="$2" work="$3" seconds="$4"
mkdir -p "$work"
exec "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 "$work" "$seeds"
