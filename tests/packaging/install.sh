#!/bin/sh
# The tree that cmake --install makes, under /usr and under the default
# prefix, and a packager's flags stronger than the build's own kept.
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
stronger="-fstack-protector-all -Wp,-D_FORTIFY_SOURCE=3"
logged "configuring with $stronger" cmake -S "$source" -B "$scratch/flags" -DCMAKE_CXX_FLAGS="$stronger"
flags=$(grep -o '"command": ".*main\.cpp' "$scratch/flags/compile_commands.json")
case $flags in *"$stronger"*-fstack-clash-protection*) ;; *) fail "the packager's flags: $flags" ;; esac
case $flags in *-fstack-protector-strong* | *-D_FORTIFY_SOURCE=2*) fail "flags weaker than the packager's: $flags" ;; esac
echo "installed trees as expected, and a packager's flags kept"
