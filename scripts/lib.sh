# shellcheck shell=sh
# What the scripts that build the trees share, sourced by them: they run from
# the top of the tree, with what the build needs installed, building with
# every core (the presets fix no job count).
cd "$(dirname "$0")/.." || exit 1
scripts/install-deps.sh
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

# build_trees [BUILD_ARGUMENT...]: configures and builds the two Windows trees
# and the Linux tree in turn, quietly, each build with the arguments given (a
# --target); stops at the first tree that fails and names it.
build_trees() {
    for preset in win-i686 win-x86_64 linux; do
        if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" "$@" >/dev/null; then
            echo "$(basename "$0"): build/$preset failed" >&2
            return 1
        fi
    done
}
