# shellcheck shell=bash
# Shared by the measurement scripts (sourced from the top of the repository): installs what is
# missing, builds the targets they need, and makes the game-session capture they measure on.

build=$(realpath -m "${KORVANE_BUILD_DIR:-build}")

# Builds the given targets in $build, after installing what is missing; MEASURE_SKIP_BUILD=1
# uses what is there.
measure_build() {
    if [ "${MEASURE_SKIP_BUILD:-0}" = 1 ]; then
        return
    fi
    bash tools/install-deps.sh >&2
    local launcher=()
    if command -v ccache >/dev/null; then
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S . -B "$build" "${launcher[@]}" >/dev/null
    local target
    for target in "$@"; do
        nice cmake --build "$build" -j2 --target "$target" >&2
    done
}

# Makes (once) the capture of a game session from a seed, about the given number of frames, and
# prints its path; the number of frames it holds is in <path>.frames.
measure_capture() {
    local seed=$1 frames=$2
    local dir="$build/measure"
    local capture="$dir/game-seed$seed-$frames.pcap"
    mkdir -p "$dir"
    if [ ! -s "$capture" ] || [ ! -s "$capture.frames" ] ||
        [ "$capture" -ot "$build/tools/korvane-traffic" ]; then
        "$build/tools/korvane-traffic" --seed "$seed" --frames "$frames" - 2>/dev/null |
            "$build/tools/korvane-mkcap" --count /dev/stdin "$capture" >"$capture.frames"
    fi
    echo "$capture"
}
