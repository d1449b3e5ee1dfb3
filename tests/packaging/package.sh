#!/bin/sh
# The .deb: its files and modes, its fields, its conffiles and its static
# daemon.
#
#   package.sh BUILD_DIR SOURCE_DIR
. "$(dirname "$0")/lib.sh"
need dpkg-deb
need_packages
deb=$(ls "$packages"/vexlantor_*_amd64.deb)
dpkg -x "$deb" "$scratch/x"
# Debian's own: its change log, and lintian's overrides.
expect_installed "the .deb" "$(modes "$scratch/x" | grep -v -e ' /usr/share/doc/vexlantor/changelog.gz$' \
	-e ' /usr/share/lintian/overrides/vexlantor$')"
[ -d "$scratch/x/var/log/vexlantor" ] || fail "no log directory"
gzip -dc "$scratch/x/usr/share/man/man8/vexlantor.8.gz" | cmp -s - "$build/packaging/vexlantor.8" ||
	fail "manual page differs"
owners=$(dpkg-deb -c "$deb" | awk '$2 != "root/root"')
[ -z "$owners" ] || fail "not owned by root: $owners"
version=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)
for field in Package:vexlantor "Version:$version" Section:admin Priority:optional Depends: Pre-Depends:; do
	value=$(dpkg-deb -f "$deb" "${field%%:*}")
	[ "$value" = "${field#*:}" ] || fail "${field%%:*} is '$value'"
done
dpkg-deb -e "$deb" "$scratch/control"
[ "$(cat "$scratch/control/conffiles")" = /etc/logrotate.d/vexlantor ] || fail "conffiles"
expect_static_daemon "$scratch/x/usr/sbin/vexlantor"
echo "package $(basename "$deb"): files, modes, fields and a static daemon"
