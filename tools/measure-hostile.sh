#!/usr/bin/env bash
# Korvane under hostile traffic, at full size: makes each capture of tools/hostile/ (an honest
# session with an attack mixed in), replays it through korvane with /test (nothing is sent) and
# reports the peak resident memory of the process, the run time and the frames per second, as
# a block of figures at the end, with whether the honest players' log and configuration lines
# came out as in their session alone (the honest case, which always runs first). Installs what is missing and builds korvane and korvane-mkcap.
#
#   bash tools/measure-hostile.sh [CASE ...]     cases: honest spoof-100k spoof-1m queue queues
#                                                stream split random reuse ahead ports
#                                                fragments synflood
#                                                (default: all)
#
# KORVANE_BUILD_DIR (default: build in the clone) is where it builds; KORVANE_MEASURE_DIR
# (default: <build>/measure-hostile) where the captures and each run's files go (a capture is
# deleted after its run unless KORVANE_KEEP_CAPTURES=1); KORVANE_HOSTILE_SIZE replaces every
# attack's size (for a quick look); KORVANE_MEASURE_LIMIT (default 900) bounds each replay in
# seconds: a replay still running then is stopped and reported as such.
set -euo pipefail
source "$(dirname "$0")/script-paths.sh"
build=$(absolute "${KORVANE_BUILD_DIR:-$top/build}")
out=$(absolute "${KORVANE_MEASURE_DIR:-$build/measure-hostile}")
limit=${KORVANE_MEASURE_LIMIT:-900}

# name, scenario, attack size (${count}), addresses (${addresses}, where the scenario takes
# it); the honest session alone is the baseline.
cases=(
    "honest honest.scenario 0"
    "spoof-100k spoof.scenario 100000"
    "spoof-1m spoof.scenario 1000000"
    "queue queue.scenario 100000"
    "queues queues.scenario 100000 3000"
    "stream stream.scenario 100000"
    "split split.scenario 100000"
    "random random.scenario 100000"
    "reuse reuse.scenario 100000"
    "ahead ahead.scenario 100000 3000"
    "ports ports.scenario 20000"
    "fragments fragments.scenario 100000"
    "synflood synflood.scenario 100000"
)
wanted=("$@")
selected=()
for entry in "${cases[@]}"; do
    read -r name _ _ <<< "$entry"
    if [ ${#wanted[@]} -eq 0 ] || [ "$name" = honest ] ||
        printf '%s\n' "${wanted[@]}" | grep -qx "$name"; then
        selected+=("$entry")
    fi
done
for name in "${wanted[@]}"; do
    if ! printf '%s\n' "${cases[@]}" | grep -q "^$name "; then
        echo "No such case: $name" >&2
        exit 2
    fi
done

bash tools/install-deps.sh
mkdir -p "$build" "$out"
if ! { { [ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build"; } &&
       cmake --build "$build" -j2 --target korvane korvane-mkcap; } > "$out/build.log" 2>&1
then
    cat "$out/build.log"
    echo "The build failed; its output is above." >&2
    exit 1
fi

# What a run shows of the honest players (127.0.0.2 to .4, ids 102, 203, 304): their log lines
# and their configuration and leaving lines on the console.
honest_lines() {
    grep -a -e '\[127\.0\.0\.[234]\]' "$1/Korvane.log" || true
    grep -a -E '^00000(102|203|304) ' "$1/console.out" | grep -v 'User connected$' || true
}

figures=()
for entry in "${selected[@]}"; do
    read -r name scenario count addresses <<< "$entry"
    count=${KORVANE_HOSTILE_SIZE:-$count}
    [ "$name" = honest ] && count=0
    run="$out/$name"
    rm -rf "$run"
    mkdir -p "$run"
    echo "== $name: making the capture ($scenario, size $count) ..."
    frames=$("$build/tools/korvane-mkcap" --count --set port=2300 --set "count=$count" \
        --set "addresses=${addresses:-1}" "tools/hostile/$scenario" "$run/capture.pcap")
    bytes=$(stat -c %s "$run/capture.pcap")
    echo "   $frames frames, $((bytes / 1048576)) MiB; replaying (at most $limit s) ..."
    status=0
    (cd "$run" && /usr/bin/time -o time.out -f '%e %M' timeout "$limit" "$build/korvane" \
        "/replay:$run/capture.pcap" /test /host:127.0.0.1 /port:2300 /report /puretech \
        < /dev/null > console.out 2>&1) || status=$?
    read -r seconds rss_kib < <(tail -1 "$run/time.out")
    read_frames=$(sed -n 's/.*: \([0-9]*\) packets received.*/\1/p' "$run/Korvane.log" | tail -1)
    if [ "$status" -eq 0 ] && [ "$read_frames" = "$frames" ]; then
        note="whole"
    elif [ "$status" -eq 124 ]; then
        note="STOPPED after $limit s (${read_frames:-?} frames read)"
    else
        note="FAILED: exit $status, ${read_frames:-?} of $frames frames read"
    fi
    honest_lines "$run" > "$run/honest.lines"
    if [ "$name" = honest ]; then
        same="reference"
    elif [ "$note" != whole ]; then
        same="-"
    elif cmp -s "$run/honest.lines" "$out/honest/honest.lines"; then
        same="same"
    else
        same="DIFFERENT"
    fi
    rate=$(awk -v f="${read_frames:-0}" -v s="$seconds" 'BEGIN { printf "%.0f", (s > 0 ? f / s : 0) }')
    rss=$(awk -v k="$rss_kib" 'BEGIN { printf "%.1f", k / 1024 }')
    echo "   $seconds s, $rate frames/s, peak RSS $rss MiB ($note); honest players: $same"
    figures+=("$(printf '%-11s %8s %9s %9s %11s %10s  %-9s  %s' "$name" "$count" "$frames" \
        "$seconds" "$rate" "$rss" "$same" "$note")")
    if [ "${KORVANE_KEEP_CAPTURES:-0}" != 1 ]; then
        rm -f "$run/capture.pcap"
    fi
done

echo
echo "=== Hostile traffic: korvane /replay /test, peak memory and speed ($(nproc) cores)"
printf '%-11s %8s %9s %9s %11s %10s  %-9s  %s\n' case attack frames seconds frames/s "RSS MiB" \
    honest run
printf '%s\n' "${figures[@]}"
