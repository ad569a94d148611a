#!/usr/bin/env bash
# Installs the Debian packages Korvane builds and tests with, when any is missing.
set -euo pipefail

# clang and libclang-rt-dev (its sanitizer runtimes and libFuzzer) build the sanitizer and fuzz
# build: -DKORVANE_SANITIZE=ON -DKORVANE_FUZZ=ON. dpkg-dev, man-db, groff-base, systemd,
# logrotate and util-linux (setpriv) make and check the package, the manual pages, the service
# unit and the log rotation; nlohmann-json3-dev reads the inspector's JSON in the tests.
# g++-mingw-w64-x86-64-posix builds the Windows programs (cmake/mingw-w64-x86_64.cmake), wine64
# runs them in the tests, and flex and bison build the tests' libpcap for Windows
# (tools/libpcap-source.sh).
packages=(cmake g++ make pkg-config libpcap-dev libgtest-dev libgmock-dev libbenchmark-dev
          libgif-dev clang-format tcpdump tcpreplay clang libclang-rt-dev time
          dpkg-dev man-db groff-base systemd logrotate util-linux nlohmann-json3-dev
          g++-mingw-w64-x86-64-posix wine wine64 flex bison)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "Installing: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    as_root=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
