#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors, checks the code's format
# and runs the whole test suite. The Windows programs and their tests are cross-built with
# MinGW-w64 first and run under Wine, on their own and in whole runs beside the Linux build.
# Then it builds it all again with clang under AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer, runs the suite there too and gives every fuzz target a short run. Any sanitizer
# report fails. Between the two, the Debian package is built, installed with dpkg, checked and
# purged (tools/check-package.sh). Live-capture tests and the package check need root; elsewhere
# the tests are skipped with their reason printed.
#
# KORVANE_FUZZ_SECONDS (default 60) is how long each fuzz target runs.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh
# The test builds carry no debug information: it adds a third to every compile and is not read
# here. The sanitizer build keeps it for its reports.
optimized=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG")
libpcap_source=$(bash tools/libpcap-source.sh build-win/libpcap-source)
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DKORVANE_WERROR=ON \
    "${optimized[@]}" -DKORVANE_LIBPCAP_SOURCE="$PWD/$libpcap_source"
cmake --build build-win -j2
cmake -S . -B build -DKORVANE_WERROR=ON "${optimized[@]}" -DCMAKE_INSTALL_PREFIX=/usr \
    -DKORVANE_WINDOWS_BUILD="$PWD/build-win"
cmake --build build -j2

sources=$(git ls-files -- '*.cpp' '*.h' 2>/dev/null || find app capture link rules platform tests tools bench fuzz -name '*.cpp' -o -name '*.h')
clang-format --dry-run -Werror $sources

(cd build-win && ctest --output-on-failure --timeout 300)
(cd build && ctest --output-on-failure -j2 --timeout 300)
if [ "$(id -u)" -eq 0 ]; then
    bash tools/check-package.sh build
else
    echo "Skipped the package check: installing a package with dpkg needs root"
fi

CC=clang CXX=clang++ cmake -S . -B build-san -DKORVANE_WERROR=ON -DKORVANE_SANITIZE=ON \
    -DKORVANE_FUZZ=ON
cmake --build build-san -j2
(cd build-san && ctest --output-on-failure -j2 --timeout 600)
bash tools/fuzz-smoke.sh "${KORVANE_FUZZ_SECONDS:-60}" build-san
