#!/bin/sh
# The tree that cmake --install makes, under /usr and under the default
# prefix.
#
#   install.sh BUILD_DIR SOURCE_DIR
. "$(dirname "$0")/lib.sh"
install_tree "$scratch/usr" --prefix /usr
expect_installed "the installed tree" "$(modes "$scratch/usr")"
[ -d "$scratch/usr/var/log/vexlantor" ] || fail "no log directory"
grep -qx "ExecStart=/usr/sbin/vexlantor /var/log/vexlantor/vexlantor.err /var/log/vexlantor/vexlantor.log" \
	"$scratch/usr/lib/systemd/system/vexlantor.service" || fail "ExecStart for /usr"
# The default prefix, /usr/local, moves the program, and the unit follows it.
install_tree "$scratch/local"
[ -x "$scratch/local/usr/local/sbin/vexlantor" ] || fail "no program under /usr/local"
grep -q '^ExecStart=/usr/local/sbin/vexlantor ' "$scratch/local/lib/systemd/system/vexlantor.service" ||
	fail "ExecStart for /usr/local"
echo "installed trees as expected"
