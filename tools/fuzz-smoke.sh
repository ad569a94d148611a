#!/usr/bin/env bash
# Runs every fuzz target for a while over its seed corpus, two at a time, and fails on any crash,
# sanitizer report, leak or input that takes over a second. New inputs go to a temporary
# directory, never into the repository; a failing input is kept in the build directory.
#   bash tools/fuzz-smoke.sh [SECONDS] [BUILD_DIR]    (default 60 s, build-san)
# The build directory is one configured with -DKORVANE_SANITIZE=ON -DKORVANE_FUZZ=ON and
# CC=clang CXX=clang++.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${2:-build-san}
artifacts=$build/fuzz-artifacts
# The targets write small files for every input (collected variants, kick files): spare the disk.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$artifacts"

# The longest input each target is given: room for an upload of 16 KiB and more.
declare -A max_len=([capture_pipeline]=20000 [variant_container]=20000 [kick_message_file]=4096
                    [command_line]=1024 [variant_inspection]=20000)

run_one() {
    local target=$1 seconds=$2 build=$3 work=$4 artifacts=$5 max_len=$6
    mkdir -p "$work/$target"
    if "$build/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=1 -max_len="$max_len" \
        -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
        "$work/$target" "fuzz/corpus/$target" > "$work/$target.log" 2>&1; then
        local runs coverage
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
        coverage=$(grep -o 'cov: [0-9]* ft: [0-9]* corp: [^ ]*' "$work/$target.log" | tail -n 1)
        echo "$target: $runs runs, $coverage"
    else
        echo "$target: FAILED; the input is in $artifacts/, the report:"
        grep -v -E '^#[0-9]+' "$work/$target.log" | tail -n 40
        return 1
    fi
}
export -f run_one

targets=()
for target in "${!max_len[@]}"; do
    if [ ! -x "$build/fuzz/${target}_fuzz" ]; then
        echo "fuzz-smoke: $build/fuzz/${target}_fuzz is missing (configure with" \
             "-DKORVANE_SANITIZE=ON -DKORVANE_FUZZ=ON and build)" >&2
        exit 2
    fi
    targets+=("$target ${max_len[$target]}")
done
printf '%s\n' "${targets[@]}" | xargs -P 2 -L 1 bash -c \
    'run_one "$0" '"$seconds $build $work $artifacts"' "$1"'
echo "fuzz-smoke: every target ran ${seconds} s clean"
