#!/bin/sh
# Checks of what an operator installs: the manual page, the installed tree,
# the systemd unit and the Debian package, each by the tool its ecosystem
# uses. A check whose tool is missing here is skipped (status 77) and says so.
#
#   packaging_test.sh manual|install|unit|package|lintian BUILD_DIR SOURCE_DIR
set -eu
check=$1 build=$2 source=$3
prefix=/opt/vemrik/halvern
scratch=$(mktemp -d /tmp/vexlantor-packaging.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

need() {
	for tool; do
		command -v "$tool" >/dev/null 2>&1 || { echo "skipped: $tool is not installed"; exit 77; }
	done
}
fail() { echo "FAILED: $*"; exit 1; }

# "MODE PATH" for each file below a tree, sorted.
modes() { (cd "$1" && find . -type f -exec stat -c '%a %n' {} + | sort); }

expect_modes() {
	actual=$(modes "$1")
	[ "$actual" = "$2" ] || fail "files and modes in $1:
$actual
expected:
$2"
}

install_tree() { # DESTDIR [cmake --install options]
	dest=$1
	shift
	DESTDIR=$dest cmake --install "$build" "$@" >/dev/null
}

# The shared libraries that README.md says the daemon needs, and those a
# binary names, a line each, sorted.
readme_libraries() {
	sed -n 's/^.*the daemon.s shared libraries are `\([^`]*\)` and `\([^`]*\)` alone.*$/\1\n\2/p' \
		"$source/README.md" | sort
}
needed() { readelf -d "$1" | sed -n 's/^.*(NEEDED).*\[\(.*\)\]$/\1/p' | sort; }

make_package() {
	need cpack dpkg-deb dpkg-shlibdeps
	cpack --config "$build/CPackConfig.cmake" -B "$scratch/deb" >"$scratch/cpack.log" 2>&1 ||
		fail "cpack: $(cat "$scratch/cpack.log")"
	package=$(ls "$scratch"/deb/vexlantor_*.deb)
}

case $check in
manual)
	need mandoc
	out=$(mandoc -T lint -W warning "$source/packaging/vexlantor.8" 2>&1) || fail "mandoc: $out"
	[ -z "$out" ] || fail "mandoc: $out"
	echo "mandoc -T lint -W warning: nothing to report"
	;;
install)
	install_tree "$scratch/default"
	expect_modes "$scratch/default" "644 ./lib/systemd/system/vexlantor.service
644 ./opt/vemrik/halvern/share/man/man8/vexlantor.8
644 ./usr/share/doc/vexlantor/changelog.gz
644 ./usr/share/doc/vexlantor/copyright
644 ./usr/share/lintian/overrides/vexlantor
755 ./opt/vemrik/halvern/bin/vexlantor"
	# Nothing installs a stand-in registration tool.
	[ -z "$(find "$scratch/default" -name 'trindlet*')" ] || fail "a trindlet was installed"
	grep -qx "ExecStart=$prefix/bin/vexlantor /var/log/vexlantor/vexlantor.err /var/log/vexlantor/vexlantor.log" \
		"$scratch/default/lib/systemd/system/vexlantor.service" || fail "ExecStart for $prefix"
	# Another prefix moves the program, and the unit follows it.
	install_tree "$scratch/other" --prefix /usr/local
	[ -x "$scratch/other/usr/local/bin/vexlantor" ] || fail "no program under /usr/local"
	grep -q '^ExecStart=/usr/local/bin/vexlantor ' "$scratch/other/lib/systemd/system/vexlantor.service" ||
		fail "ExecStart for /usr/local"
	echo "installed tree as expected"
	;;
unit)
	need systemd-analyze man
	root=$scratch/root
	install_tree "$root"
	# Offline, the unit's dependencies are the system's own targets.
	mkdir -p "$root/usr/lib/systemd"
	cp -R /lib/systemd/system "$root/usr/lib/systemd/"
	out=$(MANPATH=$root$prefix/share/man systemd-analyze verify --root="$root" /lib/systemd/system/vexlantor.service 2>&1) ||
		fail "systemd-analyze verify: $out"
	[ -z "$out" ] || fail "systemd-analyze verify: $out"
	echo "systemd-analyze verify: nothing to report"
	;;
package)
	make_package
	dpkg -x "$package" "$scratch/x"
	expect_modes "$scratch/x" "$(install_tree "$scratch/installed" && modes "$scratch/installed")"
	cmp -s "$scratch/x/opt/vemrik/halvern/share/man/man8/vexlantor.8" "$source/packaging/vexlantor.8" ||
		fail "manual page differs"
	owners=$(dpkg-deb -c "$package" | awk '$2 != "root/root"')
	[ -z "$owners" ] || fail "not owned by root: $owners"
	for field in Package:vexlantor Version:1.0.0 Section:admin Priority:optional; do
		value=$(dpkg-deb -f "$package" "${field%%:*}")
		[ "$value" = "${field#*:}" ] || fail "${field%%:*} is '$value'"
	done
	# The daemon needs what README.md says, and the package depends on that alone.
	libraries=$(needed "$scratch/x$prefix/bin/vexlantor")
	[ -n "$libraries" ] && [ "$libraries" = "$(readme_libraries)" ] ||
		fail "the daemon needs $libraries; README.md says $(readme_libraries)"
	grep -q 'the Debian package depends on `libc6` alone' "$source/README.md" || fail "README.md on Depends"
	depends=$(dpkg-deb -f "$package" Depends)
	case $depends in
	*,* | *\|*) fail "Depends: $depends" ;;
	"libc6 (>= "*) ;;
	*) fail "Depends: $depends" ;;
	esac
	[ -n "$(dpkg-deb -f "$package" Maintainer)" ] || fail "no Maintainer"
	if readelf -S "$scratch/x$prefix/bin/vexlantor" | grep -q '\.debug_info'; then
		fail "the program is not stripped"
	fi
	echo "package $(basename "$package"): files, modes and fields as expected"
	;;
lintian)
	need lintian
	make_package
	lintian --fail-on error,warning --info --pedantic --display-info "$package" || fail "lintian"
	echo "lintian: no errors or warnings"
	;;
*)
	fail "no check named $check"
	;;
esac
