#!/bin/sh
# The systemd unit, as systemd-analyze verify reads it, offline.
#
#   unit.sh BUILD_DIR SOURCE_DIR
. "$(dirname "$0")/lib.sh"
need systemd-analyze man
root=$scratch/root
install_tree "$root" --prefix /usr
# Offline, the unit's dependencies are the system's own targets.
mkdir -p "$root/usr/lib/systemd" "$root/bin"
cp -R /lib/systemd/system "$root/usr/lib/systemd/"
cp /bin/sh /bin/mkdir "$root/bin/"
out=$(MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" /lib/systemd/system/vexlantor.service 2>&1) ||
	fail "systemd-analyze verify: $out"
[ -z "$out" ] || fail "systemd-analyze verify: $out"
echo "systemd-analyze verify: nothing to report"
