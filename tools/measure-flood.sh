#!/usr/bin/env bash
# The cost of a frame from a new address beside that of a frame from a known one: a million game
# messages to 127.0.0.1 port 2300, one from each of a million spoofed addresses (the player table
# full and dropping a record for every frame), against the same messages from 32 addresses
# (tools/hostile/flood.scenario, made once into the build directory), each replayed through the
# whole program
#   korvane /replay:FILE /test /port:2300 /host:127.0.0.1
# side by side, several times. Prints the best CPU time (user + system) of each and their ratio.
#
# Environment: KORVANE_BUILD_DIR (default build), MEASURE_FRAMES (1000000), MEASURE_RUNS (5),
# MEASURE_SKIP_BUILD=1 to use what is built.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/measure-common.sh

frames=${MEASURE_FRAMES:-1000000}
runs=${MEASURE_RUNS:-5}
measure_build korvane korvane-mkcap
work="$build/measure/flood"
mkdir -p "$work"
capture() {
    local file="$work/flood-$1-$frames.pcap"
    if [ ! -s "$file" ] || [ "$file" -ot "$build/tools/korvane-mkcap" ]; then
        "$build/tools/korvane-mkcap" --set port=2300 --set "count=$frames" \
            --set "addresses=$1" tools/hostile/flood.scenario "$file"
    fi
    echo "$file"
}
spoofed=$(capture "$frames")
known=$(capture 32)

# One timed run's CPU time in seconds; the run must have read every frame.
cpu() {
    local TIMEFORMAT='%U %S'
    local times
    rm -f "$work/Korvane.log"
    times=$({ time (cd "$work" && "$build/korvane" "/replay:$1" /test /port:2300 \
        /host:127.0.0.1 >/dev/null 2>&1 </dev/null); } 2>&1)
    if ! grep -q ": $frames packets received. 0 Packets lost" "$work/Korvane.log"; then
        echo "korvane did not read the whole of $1" >&2
        exit 1
    fi
    awk '{ printf "%.3f\n", $1 + $2 }' <<<"$times"
}

best_spoofed="" best_known=""
better() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a < b) ? a : b }'; }
for ((run = 1; run <= runs; run++)); do
    s=$(cpu "$spoofed")
    k=$(cpu "$known")
    printf 'run %d: %s addresses %ss, 32 addresses %ss (cpu)\n' "$run" "$frames" "$s" "$k"
    best_spoofed=$(better "$s" "$best_spoofed")
    best_known=$(better "$k" "$best_known")
done
echo
echo "== flood: $frames frames, best of $runs runs =="
printf 'from %s addresses  cpu %6.3f s  %5.0f ns a frame\n' "$frames" "$best_spoofed" \
    "$(awk -v t="$best_spoofed" -v f="$frames" 'BEGIN { print t * 1e9 / f }')"
printf 'from 32 addresses  cpu %6.3f s  %5.0f ns a frame\n' "$best_known" \
    "$(awk -v t="$best_known" -v f="$frames" 'BEGIN { print t * 1e9 / f }')"
printf 'ratio new/known: %s (goal 2 or less)\n' \
    "$(awk -v a="$best_spoofed" -v b="$best_known" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')"
