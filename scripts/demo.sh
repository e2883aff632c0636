#!/bin/sh
# The main job on the simulated device: builds the tool, starts the device
# simulator on a pseudo-terminal, seals a sample image, flashes it with
# kormelt (progress bars on a terminal) and shows that the device's flash
# now holds the image.
#
# usage: scripts/demo.sh [--unpaced]
#   The simulator runs at the real line rate (19200 baud) unless --unpaced.
set -eu
cd "$(dirname "$0")/.."

PACED="--paced"
case "${1:-}" in
    --unpaced) PACED="" ;;
    "") ;;
    *) echo "usage: scripts/demo.sh [--unpaced]" >&2; exit 2 ;;
esac
# 16 KiB: a multiple of the 128-byte packet, so the flash holds exactly the
# image; about 10 s on the paced line.
SAMPLE_DATA_BYTES=16382

scripts/install-deps.sh
# The presets fix no job count: build with every core.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
echo "== building the library, kormelt and the simulator (a few minutes the first time)"
cmake --preset linux >/dev/null
cmake --build --preset linux --target kormelt kormelt-sim >/dev/null
KORMELT=build/linux/tools/kormelt/kormelt

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kormelt-demo-XXXXXX")
SIM_PID=""
cleanup() {
    if [ -n "$SIM_PID" ]; then
        kill "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

echo "== sealing a sample image"
head -c "$SAMPLE_DATA_BYTES" /dev/urandom > "$WORK/firmware.bin"
"$KORMELT" seal "$WORK/firmware.bin" -o "$WORK/firmware.img"
"$KORMELT" check "$WORK/firmware.img"

echo "== starting the simulated device${PACED:+ (paced at 19200 baud)}"
# shellcheck disable=SC2086
"$KORMELT" sim $PACED --dump "$WORK/flash.bin" > "$WORK/sim.out" 2> "$WORK/sim.err" &
SIM_PID=$!
for _ in $(seq 50); do
    [ -s "$WORK/sim.out" ] && break
    sleep 0.1
done
DEVICE=$(head -n 1 "$WORK/sim.out")
[ -n "$DEVICE" ] || { cat "$WORK/sim.err" >&2; exit 1; }
echo "device on $DEVICE"

echo "== kormelt flash --port $DEVICE firmware.img"
"$KORMELT" flash --port "$DEVICE" "$WORK/firmware.img"

# The simulator writes what was programmed when it stops.
kill -INT "$SIM_PID"
wait "$SIM_PID" || true
SIM_PID=""

echo "== the device's flash against the image"
if cmp -s "$WORK/firmware.img" "$WORK/flash.bin"; then
    echo "flash equals the image: $(wc -c < "$WORK/flash.bin") bytes, sha256 $(sha256sum < "$WORK/flash.bin" | cut -c1-16)"
else
    echo "flash differs from the image" >&2
    cmp "$WORK/firmware.img" "$WORK/flash.bin" >&2 || true
    exit 1
fi
