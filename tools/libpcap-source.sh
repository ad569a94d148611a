#!/usr/bin/env bash
# Unpacks the source of the libpcap release the Linux build uses, from Debian's source package,
# into DIR (default build-win/libpcap-source) and prints the source tree's path. The Windows
# tests build a wpcap.dll from it that reads capture files, which Wine's own cannot.
# Asks apt for Debian's source packages when it does not yet look for them (needs root then).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win/libpcap-source}
version=$(dpkg-query -W -f='${source:Version}' libpcap-dev)
upstream=${version%-*}
tree="$dir/libpcap-$upstream"
if [ -f "$tree/CMakeLists.txt" ]; then
    echo "$tree"
    exit 0
fi
if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    # The archive the binary packages come from.
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            > /etc/apt/sources.list.d/korvane-deb-src.sources
    else
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list > /etc/apt/sources.list.d/korvane-deb-src.list
    fi
    apt-get update -qq >&2
fi
mkdir -p "$dir"
(cd "$dir" && apt-get source -qq --download-only "libpcap=$version" >&2)
tar -xzf "$dir/libpcap_$upstream.orig.tar.gz" -C "$dir"
echo "$tree"
