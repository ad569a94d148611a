#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors, checks the code's format
# and runs the whole test suite. Live-capture tests need root; elsewhere they are skipped with
# their reason printed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
cmake -S . -B build -DKORVANE_WERROR=ON
cmake --build build -j2

sources=$(git ls-files -- '*.cpp' '*.h' 2>/dev/null || find app capture link rules platform tests tools bench -name '*.cpp' -o -name '*.h')
clang-format --dry-run -Werror $sources

cd build
ctest --output-on-failure -j2 --timeout 300
