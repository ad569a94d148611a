#!/usr/bin/env bash
# Unpacks the source of the libpcap the Linux build uses, from Debian's source package, into DIR
# (default build-win/libpcap-source) and prints the source tree's path. The Windows tests build a
# wpcap.dll from it that reads capture files, which Wine's own cannot. The installed revision is
# taken when the archive still has it, else the archive's current one. tools/install-deps.sh
# makes apt look for source packages.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win/libpcap-source}
for tree in "$dir"/libpcap-*/; do
    if [ -f "$tree/CMakeLists.txt" ]; then
        echo "${tree%/}"
        exit 0
    fi
done
mkdir -p "$dir"
version=$(dpkg-query -W -f='${source:Version}' libpcap-dev)
(cd "$dir" && { apt-get source -qq --download-only "libpcap=$version" ||
                apt-get source -qq --download-only libpcap; } >&2)
tarball=$(ls "$dir"/libpcap_*.orig.tar.gz | head -n 1)
tar -xzf "$tarball" -C "$dir"
tree=$(ls -d "$dir"/libpcap-*/ | head -n 1)
echo "${tree%/}"
