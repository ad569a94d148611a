#!/usr/bin/env bash
# Reproduces the figures the README gives: peak memory and speed under each hostile capture,
# throughput beside tcpdump on a million frames of game traffic, and frames lost in live capture
# at 100,000 frames a second (root only; skipped with the reason elsewhere). Installs what is
# missing and builds what it needs in build/ (KORVANE_BUILD_DIR). Takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/measure-hostile.sh
bash tools/measure-throughput.sh
MEASURE_SKIP_BUILD=1 bash tools/measure-flood.sh
MEASURE_SKIP_BUILD=1 bash tools/measure-live-loss.sh
