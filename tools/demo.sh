#!/usr/bin/env bash
# Replays the bundled capture of a whole game session against the stand-in game server on
# 127.0.0.1:2300 and shows what Korvane made of it: its console, its log, what the server
# received on Korvane's connection, and the variant file it collected with the variant
# inspector's view of it. Installs what is missing and builds only the program, the stand-in and
# the inspector.
#
# KORVANE_BUILD_DIR (default: build in the clone) is where it builds; KORVANE_DEMO_DIR
# (default: demo-run in the clone) is where the run's files are left. Relative paths are taken
# from the directory the script is run in.
set -euo pipefail
source "$(dirname "$0")/script-paths.sh"
build=$(absolute "${KORVANE_BUILD_DIR:-$top/build}")
run=$(absolute "${KORVANE_DEMO_DIR:-$top/demo-run}")
marker=.korvane-demo-run
capture=tools/demo/session.pcap
switches=(/host:127.0.0.1 /report /puretech /collect /time:1 /events:events.jsonl)

# The run directory is emptied first; one given by KORVANE_DEMO_DIR only if it is empty or an
# earlier demo made it.
if [ -n "${KORVANE_DEMO_DIR:-}" ] && [ -e "$run" ] && [ ! -e "$run/$marker" ] && [ -n "$(ls -A "$run" 2>/dev/null)" ]; then
    echo "$run is not empty and not an earlier demo run; give KORVANE_DEMO_DIR another place." >&2
    exit 1
fi

bash tools/install-deps.sh
echo "Building korvane, the stand-in game server and the variant inspector in $build ..."
mkdir -p "$build"
if ! { { [ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build"; } &&
       cmake --build "$build" -j2 --target korvane korvane-standin korvane-inspect; } > "$build/demo-build.log" 2>&1
then
    cat "$build/demo-build.log"
    echo "The build failed; its output is above." >&2
    exit 1
fi

rm -rf "$run"
mkdir -p "$run"
touch "$run/$marker"
cp tools/demo/Korvane.flunk "$run/"
cd "$run"
"$build/tools/korvane-standin" --address 127.0.0.1 --port 2300 --seconds 60 \
    --port-file standin.port > standin.out 2>&1 &
standin=$!
trap 'kill $standin 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    [ -s standin.port ] && break
    sleep 0.1
done
if [ ! -s standin.port ]; then
    cat standin.out
    echo "The stand-in game server could not listen on 127.0.0.1:2300 (is the port taken?)" >&2
    exit 1
fi

status=0
"$build/korvane" "/replay:$top/$capture" "${switches[@]}" < /dev/null > console.out 2>&1 ||
    status=$?
# Korvane closes its connection as it shuts down; the stand-in reports that once it has printed
# everything that came before.
closed=no
for _ in $(seq 100); do
    if grep -q '^standin: connection 1 closed' standin.out; then
        closed=yes
        break
    fi
    sleep 0.1
done
kill $standin 2>/dev/null || true
wait $standin 2>/dev/null || true
trap - EXIT

heading() {
    printf '\n=== %s\n\n' "$1"
}

cat <<EOF
Korvane demo: a whole game session

The capture $capture (made from tools/demo/session.scenario) holds three
minutes of a game server at 127.0.0.1:2300. Four players join (Kit Fox from Linux, with TCP
time stamps on every segment), pick stock mechs, IS and Clan, and upload custom variants:
Wolfhound's is legal (its pieces in one TCP segment), Kit Fox's mixes IS and Clan weapons,
Jumper's Atlas carries jump jets, which an Atlas may not (its pieces cut over six segments).
They type chat commands, and two of them leave.

Korvane replays it on the capture's clock, finds the server port from the first connect
message, takes its kick messages from Korvane.flunk (a copy of tools/demo/Korvane.flunk) and
writes its events to events.jsonl:

    korvane /replay:$capture ${switches[*]}

A stand-in game server on 127.0.0.1:2300 prints what Korvane sends it.
EOF

heading "Korvane's console"
cat console.out
heading "Korvane.log"
cat Korvane.log
heading "Korvane's event stream (events.jsonl: a JSON object a line, for dashboards and log shippers)"
cat events.jsonl
heading "What the game server received on Korvane's connection"
cat <<'EOF'
"chat A -> B [f]: (version) text" is a chat line: from 00000001 (the host) to player B, or
said on behalf of player A; "delete player N" removes a player from the game.

EOF
sed -n 's/^\[1\] //p' standin.out
if [ "$closed" = no ]; then
    echo "(The stand-in had not seen Korvane's connection close after 10 s: lines may be missing.)"
fi
heading "Collected variants"
collected=$(ls -- *.variant.mw4 2>/dev/null || true)
if [ -n "$collected" ]; then
    for file in $collected; do
        echo "$run/$file ($(wc -c < "$file") bytes: the upload that broke the rules, as it came)"
    done
    echo
    echo "What the variant inspector makes of it (korvane-inspect, the guard's own rules):"
    echo
    # Its exit status says illegal (1); that is what the demo shows, not a failure.
    "$build/tools/korvane-inspect" $collected || true
else
    echo "none"
fi
echo
echo "The run's files are in $run."
exit "$status"
