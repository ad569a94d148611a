#!/usr/bin/env bash
# Installs the Debian packages Korvane builds and tests with, when any is missing.
set -euo pipefail

# clang and libclang-rt-dev (its sanitizer runtimes and libFuzzer) build the sanitizer and fuzz
# build: -DKORVANE_SANITIZE=ON -DKORVANE_FUZZ=ON. dpkg-dev, man-db, groff-base, systemd,
# logrotate and util-linux (setpriv) make and check the package, the manual pages, the service
# unit and the log rotation; fail2ban checks the shipped filter and jail; nlohmann-json3-dev
# (header-only) writes the event stream and the inspector's JSON.
# g++-mingw-w64-x86-64-posix builds the Windows programs (cmake/mingw-w64-x86_64.cmake), wine64
# runs them in the tests, and flex and bison build the tests' libpcap for Windows
# (tools/libpcap-source.sh).
packages=(cmake g++ make pkg-config libpcap-dev libgtest-dev libgmock-dev libbenchmark-dev
          libgif-dev clang-format tcpdump tcpreplay clang libclang-rt-dev time
          dpkg-dev man-db groff-base systemd logrotate util-linux fail2ban nlohmann-json3-dev
          g++-mingw-w64-x86-64-posix wine wine64 flex bison)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The Windows tests build a libpcap from Debian's source package (tools/libpcap-source.sh): apt
# must look in the archive's source part too.
sources_missing=false
if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    sources_missing=true
fi
if [ ${#missing[@]} -eq 0 ] && ! $sources_missing; then
    exit 0
fi
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    as_root=(sudo)
fi
if $sources_missing; then
    echo "Adding Debian's source packages to apt's list"
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
            "${as_root[@]}" tee /etc/apt/sources.list.d/korvane-deb-src.sources > /dev/null
    else
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
            "${as_root[@]}" tee /etc/apt/sources.list.d/korvane-deb-src.list > /dev/null
    fi
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
if [ ${#missing[@]} -ne 0 ]; then
    echo "Installing: ${missing[*]}"
    "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
