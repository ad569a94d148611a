#!/usr/bin/env bash
# Installs what is missing, builds, and replays the bundled capture against the stand-in game
# server on 127.0.0.1:2300; shows the log and what the server received.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

bash tools/install-deps.sh
cmake -S . -B build
cmake --build build -j2

run="$top/demo-run"
rm -rf "$run"
mkdir -p "$run"
cd "$run"
"$top/build/tools/korvane-standin" --address 127.0.0.1 --port 2300 --seconds 60 \
    --port-file standin.port > standin.out 2>&1 &
standin=$!
trap 'kill $standin 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    [ -s standin.port ] && break
    sleep 0.1
done
if [ ! -s standin.port ]; then
    cat standin.out
    echo "The stand-in game server could not listen on 127.0.0.1:2300 (is the port taken?)" >&2
    exit 1
fi

echo "=== korvane /replay:tools/demo/basic.pcap /host:127.0.0.1 /port:2300"
"$top/build/korvane" "/replay:$top/tools/demo/basic.pcap" /host:127.0.0.1 /port:2300 < /dev/null
sleep 0.5
kill $standin 2>/dev/null || true
wait $standin 2>/dev/null || true
trap - EXIT
echo
echo "=== Korvane.log"
cat Korvane.log
echo "=== what the stand-in game server received"
cat standin.out
