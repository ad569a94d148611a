#!/usr/bin/env bash
# Korvane's throughput beside tcpdump's on the same capture: a game session of 32 players on
# 127.0.0.2 and up against a server on 127.0.0.1 port 2300 (korvane-traffic, about a million
# frames, made once into the build directory), replayed through the whole program
#   korvane /replay:FILE /test /port:2300 /host:127.0.0.1
# and read by
#   tcpdump -r FILE 'dst port 2300' -w /dev/null
# each several times. Prints the best wall-clock and the best CPU time (user + system) of each,
# frames per second and the ratio korvane/tcpdump, and ends with a short block of figures.
#
# Environment: KORVANE_BUILD_DIR (default build), MEASURE_FRAMES (1000000), MEASURE_SEED (1),
# MEASURE_RUNS (5), MEASURE_SKIP_BUILD=1 to use what is built.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/measure-common.sh

frames_wanted=${MEASURE_FRAMES:-1000000}
seed=${MEASURE_SEED:-1}
runs=${MEASURE_RUNS:-5}

measure_build korvane korvane-traffic korvane-mkcap
capture=$(measure_capture "$seed" "$frames_wanted")
frames=$(cat "$capture.frames")
work="$build/measure/throughput"
rm -rf "$work"
mkdir -p "$work"

# One timed run: "<wall> <cpu>" in seconds on standard output.
timed() {
    local TIMEFORMAT='%R %U %S'
    local times
    times=$({ time "$@" >/dev/null 2>&1 </dev/null; } 2>&1)
    awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' <<<"$times"
}

best_korvane_wall="" best_korvane_cpu="" best_tcpdump_wall="" best_tcpdump_cpu=""
better() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a < b) ? a : b }'; }
for ((run = 1; run <= runs; run++)); do
    rm -f "$work/Korvane.log"
    read -r k_wall k_cpu < <(cd "$work" && timed "$build/korvane" "/replay:$capture" /test \
        /port:2300 /host:127.0.0.1)
    read -r t_wall t_cpu < <(timed tcpdump -r "$capture" 'dst port 2300' -w /dev/null)
    printf 'run %d: korvane %ss (cpu %ss), tcpdump %ss (cpu %ss)\n' "$run" "$k_wall" "$k_cpu" \
        "$t_wall" "$t_cpu"
    best_korvane_wall=$(better "$k_wall" "$best_korvane_wall")
    best_korvane_cpu=$(better "$k_cpu" "$best_korvane_cpu")
    best_tcpdump_wall=$(better "$t_wall" "$best_tcpdump_wall")
    best_tcpdump_cpu=$(better "$t_cpu" "$best_tcpdump_cpu")
done

# The run must have read every frame, or the figures mean nothing.
if ! grep -q ": $frames packets received. 0 Packets lost" "$work/Korvane.log"; then
    echo "korvane did not read the whole capture:" >&2
    tail -5 "$work/Korvane.log" >&2
    exit 1
fi

rate() { awk -v f="$frames" -v t="$1" 'BEGIN { printf "%.0f", (t > 0 ? f / t : 0) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
echo
echo "== throughput: $frames frames, best of $runs runs ($(basename "$capture")) =="
printf 'korvane  wall %6.3f s  %9s frames/s   cpu %6.3f s  %9s frames/s\n' \
    "$best_korvane_wall" "$(rate "$best_korvane_wall")" "$best_korvane_cpu" \
    "$(rate "$best_korvane_cpu")"
printf 'tcpdump  wall %6.3f s  %9s frames/s   cpu %6.3f s  %9s frames/s\n' \
    "$best_tcpdump_wall" "$(rate "$best_tcpdump_wall")" "$best_tcpdump_cpu" \
    "$(rate "$best_tcpdump_cpu")"
printf 'ratio korvane/tcpdump: wall %s, cpu %s (goal 1.2 or less)\n' \
    "$(ratio "$best_korvane_wall" "$best_tcpdump_wall")" \
    "$(ratio "$best_korvane_cpu" "$best_tcpdump_cpu")"
