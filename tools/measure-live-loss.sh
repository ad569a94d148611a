#!/usr/bin/env bash
# Live loss: Korvane guards 127.0.0.1 port 2300 live on the loopback interface while tcpreplay
# puts the game-session capture of tools/measure-throughput.sh onto lo at 100,000 frames a
# second; then the same capture is replayed. Checks that the statistics line logged at shutdown
# counts no lost frames and that the players are followed and judged as in the replay: the same
# player log lines (without their time stamps) and the same console lines about players, in the
# same order. Both runs use /test, so Korvane sends nothing (its own link traffic would otherwise
# go to port 2300 on lo as well).
#
# Needs root (capture and tcpreplay); elsewhere it prints why it is skipped and exits 0.
# Environment: KORVANE_BUILD_DIR (default build), MEASURE_FRAMES (1000000), MEASURE_SEED (1),
# MEASURE_PPS (100000, or max for as fast as tcpreplay can send), MEASURE_CAPTURE (another
# capture to send, such as tools/measure-flood.sh's), MEASURE_SKIP_BUILD=1 to use what is built.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/measure-common.sh

if [ "$(id -u)" -ne 0 ]; then
    echo "live loss: skipped: live capture and tcpreplay need root (uid $(id -u))"
    exit 0
fi
pps=${MEASURE_PPS:-100000}
measure_build korvane korvane-traffic korvane-mkcap
if [ -n "${MEASURE_CAPTURE:-}" ]; then
    capture=$(realpath "$MEASURE_CAPTURE")
    frames="the"  # tcpreplay tells how many
else
    capture=$(measure_capture "${MEASURE_SEED:-1}" "${MEASURE_FRAMES:-1000000}")
    frames=$(cat "$capture.frames")
fi
if [ "$pps" = max ]; then
    rate=(--topspeed)
else
    rate=(--pps="$pps")
fi
work="$build/measure/live-loss"
rm -rf "$work"
mkdir -p "$work/live" "$work/replay"
args=(/host:127.0.0.1 /port:2300 /test)

# The number under which Korvane lists lo: it lists the adapters, then finds no answer to its
# question on standard input.
adapter=$(cd "$work" && "$build/korvane" "${args[@]}" </dev/null 2>/dev/null |
    sed -n 's/^\([0-9]\+\)- lo\( .*\)\?$/\1/p' | head -1 || true)
rm -f "$work/Korvane.log"
if [ -z "$adapter" ]; then
    echo "live loss: skipped: Korvane lists no loopback interface lo"
    exit 0
fi

korvane_pid=""
stop_korvane() {
    if [ -n "$korvane_pid" ]; then
        kill -TERM "$korvane_pid" 2>/dev/null || true
        wait "$korvane_pid" 2>/dev/null || true
        korvane_pid=""
    fi
}
trap stop_korvane EXIT

(cd "$work/live" && exec "$build/korvane" "/adapter:$adapter" "${args[@]}" </dev/null \
    >korvane.out 2>&1) &
korvane_pid=$!
for ((i = 0; i < 100; i++)); do
    if grep -q "^Analyzing traffic on server port 2300" "$work/live/korvane.out" 2>/dev/null ||
        ! kill -0 "$korvane_pid" 2>/dev/null; then
        break
    fi
    sleep 0.1
done
if ! grep -q "^Analyzing traffic on server port 2300" "$work/live/korvane.out"; then
    if grep -q "Unable to open the adapter" "$work/live/korvane.out"; then
        echo "live loss: skipped: capture on lo is not permitted here:"
        grep "Unable to open the adapter" "$work/live/korvane.out"
        exit 0
    fi
    echo "live loss: Korvane did not start capturing:" >&2
    cat "$work/live/korvane.out" >&2
    exit 1
fi

echo "live loss: $frames frames onto lo at $pps frames/s"
tcpreplay --intf1=lo "${rate[@]}" "$capture" >"$work/tcpreplay.out" 2>&1 || {
    cat "$work/tcpreplay.out" >&2
    exit 1
}
sleep 2  # what is still in the kernel's buffer is read
stop_korvane
(cd "$work/replay" && "$build/korvane" "/replay:$capture" "${args[@]}" </dev/null \
    >korvane.out 2>&1)

# The player log lines without their stamps, and the console lines about players: joining,
# leaving and each selection's configuration line.
player_log() {
    sed -n 's/^[A-Z][a-z][a-z] [A-Z][a-z][a-z] [0-9][0-9] [0-9:]\{8\}: \([0-9a-f]\{8\} ".*\)$/\1/p' \
        "$1/Korvane.log"
}
player_console() { grep -E '^[0-9a-f]{8} ' "$1/korvane.out" || true; }
player_log "$work/live" >"$work/live.log-lines"
player_log "$work/replay" >"$work/replay.log-lines"
player_console "$work/live" >"$work/live.console-lines"
player_console "$work/replay" >"$work/replay.console-lines"

stats=$(grep -o '[0-9-]* packets received. [0-9-]* Packets lost' "$work/live/Korvane.log" || true)
sent=$(sed -n 's/.*Actual: \([0-9]*\) packets.*/\1/p' "$work/tcpreplay.out" | head -1)
lost=$(awk '{ print $4 }' <<<"$stats")
same_log=yes
same_console=yes
cmp -s "$work/live.log-lines" "$work/replay.log-lines" || same_log=no
cmp -s "$work/live.console-lines" "$work/replay.console-lines" || same_console=no

echo
echo "== live loss: $frames frames onto lo at $pps frames/s ($(basename "$capture")) =="
echo "tcpreplay sent:          ${sent:-?} frames ($(grep -o 'Rated: [^;]*' "$work/tcpreplay.out" | head -1))"
echo "korvane at shutdown:     ${stats:-no statistics line}"
echo "player log lines:        $(wc -l <"$work/live.log-lines") live, $(wc -l <"$work/replay.log-lines") replayed, same: $same_log"
echo "player console lines:    $(wc -l <"$work/live.console-lines") live, $(wc -l <"$work/replay.console-lines") replayed, same: $same_console"
if [ "$lost" != 0 ] || [ "$same_log" != yes ] || [ "$same_console" != yes ]; then
    [ "$same_log" = yes ] || diff "$work/replay.log-lines" "$work/live.log-lines" | head -10
    [ "$same_console" = yes ] ||
        diff "$work/replay.console-lines" "$work/live.console-lines" | head -10
    echo "live loss: FAILED (files in $work)"
    exit 1
fi
echo "live loss: no frame lost, players judged as in the replay"
