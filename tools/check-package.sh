#!/usr/bin/env bash
# Builds the Debian package from a finished build (configured with -DCMAKE_INSTALL_PREFIX=/usr),
# installs it with dpkg as an operator would, and checks what it brought: both programs run,
# their manual pages are found, the service unit passes systemd's verification, the log
# rotation rules parse, and the fail2ban jail is off as installed and, turned on, passes
# fail2ban's configuration test with the installed filter. The package is purged again at the
# end, whatever the outcome. Needs root.
#
#   bash tools/check-package.sh [BUILD_DIR]      (default: build)
set -euo pipefail
source "$(dirname "$0")/script-paths.sh"
build=$(absolute "${1:-build}")

if dpkg-query -W -f='${Status}' korvane 2>/dev/null | grep -q "install ok installed"; then
    # Installing over it and purging afterwards would take an operator's switches and unit.
    echo "Skipped the package check: korvane is installed on this machine"
    exit 0
fi

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls -t "$build"/korvane_*.deb | head -n 1)
echo "Package: $deb"
dpkg-deb --info "$deb" | sed -n 's/^ \(Depends\|Version\|Installed-Size\):/  \1:/p'

trap 'dpkg --purge korvane >/dev/null 2>&1 || true' EXIT
dpkg --install "$deb" >/dev/null

korvane /? | head -n 1 | grep -qx 'Syntax: korvane \[<switches>\]'
korvane-inspect --help >/dev/null
echo "korvane: $(command -v korvane), korvane-inspect: $(command -v korvane-inspect)"
man -w korvane
man -w korvane-inspect
unit=$(dpkg -L korvane | grep '/systemd/system/korvane.service$')
systemd-analyze verify "$unit"
echo "systemd-analyze verify $unit: clean"
logrotate --debug /etc/logrotate.d/korvane 2>/dev/null
echo "logrotate --debug /etc/logrotate.d/korvane: clean"

# fail2ban's configuration as installed, with no jail but the guard's, read from a copy so that
# the machine's own jails play no part.
for f in /etc/fail2ban/filter.d/korvane.conf /etc/fail2ban/jail.d/korvane.conf; do
    dpkg -S "$f" | grep -q '^korvane:' || { echo "$f is not the package's" >&2; exit 1; }
done
conf=$(mktemp -d)
trap 'rm -rf "$conf"; dpkg --purge korvane >/dev/null 2>&1 || true' EXIT
cp -a /etc/fail2ban/. "$conf"
find "$conf/jail.d" -mindepth 1 ! -name korvane.conf -delete
rm -f "$conf/jail.local"
dump=$(fail2ban-client -c "$conf" -d 2>/dev/null)
if grep -q "'korvane'" <<< "$dump"; then
    echo "The fail2ban jail is on as installed" >&2
    exit 1
fi
: > "$conf/events.jsonl"
printf '[korvane]\nenabled = true\nlogpath = %s\n' "$conf/events.jsonl" > "$conf/jail.d/korvane.local"
fail2ban-client -c "$conf" -t
echo "fail2ban jail korvane: off as installed; on, fail2ban-client -t passes"
echo "Package check passed"
