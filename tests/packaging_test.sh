#!/bin/sh
# Checks of what an operator installs: the manual page, the installed tree,
# the systemd unit, the Debian and RPM packages, and the Debian package
# under a real systemd, each by the tools its ecosystem uses. A check whose
# tool is missing here is skipped (status 77) and says so.
#
#   packaging_test.sh manual|install|unit|package|lintian|rpm|systemd BUILD_DIR SOURCE_DIR
set -eu
check=$1 build=$2 source=$3
prefix=/opt/vemrik/halvern
# Where scripts/test.sh unpacks the container tools that it fetches rather
# than installs, and where the container's root is kept between runs.
cache=/var/cache/vexlantor-test
PATH=$cache/tools/usr/bin:$PATH
scratch=$(mktemp -d /tmp/vexlantor-packaging.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
trap 'exit 143' INT TERM # through the EXIT trap, which cleans up

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

# The arguments the tool gets, a line each.
tool_arguments() {
	printf '%s\n' --type=service:management-software:virtual-system-management:XEN \
		--url=service:management-software:virtual-system-management:XEN \
		'--attributes=(vse=gadbI)' --lifetime=600 --address=0
}

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
	expect_modes "$scratch/default" "644 ./etc/logrotate.d/vexlantor
644 ./lib/systemd/system/vexlantor.service
644 ./opt/vemrik/halvern/share/man/man8/vexlantor.8
644 ./usr/share/doc/vexlantor/changelog.gz
644 ./usr/share/doc/vexlantor/copyright
644 ./usr/share/lintian/overrides/vexlantor
755 ./opt/vemrik/halvern/bin/vexlantor"
	# Nothing installs a stand-in registration tool.
	[ -z "$(find "$scratch/default" -name 'trindlet*')" ] || fail "a trindlet was installed"
	[ -d "$scratch/default/var/log/vexlantor" ] || fail "no log directory"
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
	mkdir -p "$root/usr/lib/systemd" "$root/bin"
	cp -R /lib/systemd/system "$root/usr/lib/systemd/"
	cp /bin/sh /bin/mkdir "$root/bin/"
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
	for field in Package:vexlantor Version:1.1.0 Section:admin Priority:optional; do
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
	dpkg-deb -e "$package" "$scratch/control"
	[ "$(cat "$scratch/control/conffiles")" = /etc/logrotate.d/vexlantor ] || fail "conffiles"
	for script in postinst prerm postrm; do
		[ -x "$scratch/control/$script" ] || fail "no $script"
	done
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
rpm)
	need rpmbuild rpmlint rpm2cpio cpio chroot busybox python3
	busybox=$(command -v busybox)
	if readelf -l "$busybox" | grep -q INTERP; then
		echo "skipped: $busybox is not the static one (busybox-static)"
		exit 77
	fi
	# The static build, as the rpm preset makes it, in a tree of its own, with
	# a packager's flags stronger than the build's own, which stay in force.
	stronger="-fstack-protector-all -Wp,-D_FORTIFY_SOURCE=3"
	cmake -S "$source" --preset rpm -B "$build/rpm" -DCMAKE_CXX_FLAGS="$stronger" >"$scratch/build.log" 2>&1 &&
		cmake --build "$build/rpm" -j2 >>"$scratch/build.log" 2>&1 &&
		cpack --config "$build/rpm/CPackConfig.cmake" -B "$scratch/rpm" >>"$scratch/build.log" 2>&1 ||
		fail "the rpm build: $(cat "$scratch/build.log")"
	package=$(ls "$scratch"/rpm/vexlantor-*.rpm)
	flags=$(grep -o '"command": "[^"]*main.cpp' "$build/rpm/compile_commands.json")
	case $flags in *"$stronger"*-fstack-clash-protection*) ;; *) fail "the packager's flags: $flags" ;; esac
	case $flags in *-fstack-protector-strong* | *-D_FORTIFY_SOURCE=2*) fail "flags weaker than the packager's: $flags" ;; esac
	lint=$(rpmlint -r "$source/packaging/rpm/vexlantor.rpmlintrc" "$package" 2>&1) || true
	echo "$lint"
	case $lint in *" 0 errors, "*) ;; *) fail "rpmlint reports errors" ;; esac
	# The .deb's files, with the unit where RPM systems keep units.
	files=$(rpm -qp --qf '[%{FILEMODES:perms} %{FILEUSERNAME}:%{FILEGROUPNAME} %{FILENAMES}\n]' "$package" | sort -k3)
	[ "$files" = "-rw-r--r-- root:root /etc/logrotate.d/vexlantor
-rwxr-xr-x root:root $prefix/bin/vexlantor
-rw-r--r-- root:root $prefix/share/man/man8/vexlantor.8
-rw-r--r-- root:root /usr/lib/systemd/system/vexlantor.service
drwxr-xr-x root:root /usr/share/doc/vexlantor
-rw-r--r-- root:root /usr/share/doc/vexlantor/copyright
drwxr-xr-x root:root /var/log/vexlantor" ] || fail "files in the rpm: $files"
	rpm -qp --qf '[%{FILEFLAGS:fflags} %{FILENAMES}\n]' "$package" | grep -qx 'cn /etc/logrotate.d/vexlantor' ||
		fail "the logrotate file is not %config(noreplace)"
	scripts=$(rpm -qp --scripts "$package")
	for call in "systemctl preset vexlantor.service" "systemctl --no-reload disable vexlantor.service" \
		"systemctl stop vexlantor.service" "systemctl daemon-reload" "systemctl try-restart vexlantor.service"; do
		case $scripts in *"$call"*) ;; *) fail "the scriptlets lack $call" ;; esac
	done
	# A static PIE that needs no shared library, so no particular C library,
	# with full RELRO, the stack protector and fortified calls.
	mkdir "$scratch/x"
	(cd "$scratch/x" && rpm2cpio "$package" | cpio -idm --quiet)
	daemon=$scratch/x$prefix/bin/vexlantor
	elf=$(readelf -hld "$daemon")
	for expected in "Type: *DYN" "GNU_RELRO" "BIND_NOW"; do
		echo "$elf" | grep -q "$expected" || fail "the daemon lacks $expected"
	done
	! echo "$elf" | grep -qE "INTERP|NEEDED" || fail "the daemon is not static: $elf"
	for symbol in __stack_chk_fail __fprintf_chk; do
		nm "$build/rpm/vexlantor" | grep -q " $symbol$" || fail "the daemon does not call $symbol"
	done
	# On a host with nothing else but a static shell, it detaches, runs the
	# tool at the default root with the fixed arguments, traces, and ends
	# with the tool's status, which a subreaper collects.
	box=$scratch/box
	mkdir -p "$box/bin" "$box$prefix/bin"
	cp "$busybox" "$box/bin/sh"
	cp "$daemon" "$box$prefix/bin/"
	printf '#!/bin/sh\nprintf "%%s\\n" "$@" >/args\necho "trindlet ran"\nexit 3\n' >"$box$prefix/bin/trindlet"
	chmod 755 "$box$prefix/bin/trindlet"
	status=$(python3 -c '
import ctypes, os, subprocess, sys
ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
daemon = int(subprocess.run(sys.argv[1:], stdout=subprocess.PIPE, check=True).stdout)
print(os.waitstatus_to_exitcode(os.waitpid(daemon, 0)[1]))
' chroot "$box" "$prefix/bin/vexlantor" /err /log)
	[ "$status" = 3 ] || fail "the daemon ended with $status"
	command="$prefix/bin/../bin/trindlet --type=service:management-software:virtual-system-management:XEN"
	command="$command --url=service:management-software:virtual-system-management:XEN"
	command="$command --attributes=\"(vse=gadbI)\" --lifetime=600 --address=0"
	sed -n '1s/^Current time = [0-9]*$/ok/p;2s/^Time after = [0-9]*$/ok/p;3,$p' "$box/log" >"$scratch/log"
	printf 'ok\nok\nComplete registration string = %s\ntrindlet ran\n' "$command" | cmp -s - "$scratch/log" ||
		fail "the log: $(cat "$box/log")"
	[ "$(cat "$box/err")" = "vexlantor could not run $prefix/bin/../bin/trindlet" ] || fail "the errors: $(cat "$box/err")"
	tool_arguments | cmp -s - "$box/args" || fail "the arguments"
	echo "package $(basename "$package"): rpmlint, files, scriptlets, a static PIE that runs in an empty chroot"
	;;
systemd)
	need unshare nsenter systemd-nspawn mmdebstrap flock
	make_package
	# The container's root: Debian with systemd and logrotate, made once.
	image=$cache/bookworm-systemd.tar
	mkdir -p "$cache"
	# mmdebstrap takes the kind of its output from the name's ending.
	flock "$cache/image.lock" sh -c '
		[ -s "$1" ] && exit 0
		rm -rf "$1.new.tar"
		mmdebstrap --quiet --variant=minbase --include=systemd,systemd-sysv,dbus,logrotate bookworm "$1.new.tar" &&
			mv "$1.new.tar" "$1"' sh "$image" || fail "mmdebstrap could not make the container's root"
	root=$scratch/root
	mkdir "$root"
	tar -C "$root" -xf "$image"
	# A stand-in tool at the default root, so that the unit's condition holds:
	# it records its arguments and exits with the status in a file.
	state=/var/lib/stand-in
	mkdir -p "$root$prefix/bin" "$root$state" "$root/etc/systemd/system/vexlantor.service.d"
	printf '#!/bin/sh\nprintf "%%s\\n" "$@" >%s/args\nexit "$(cat %s/status)"\n' "$state" "$state" \
		>"$root$prefix/bin/trindlet"
	chmod 755 "$root$prefix/bin/trindlet"
	echo 0 >"$root$state/status"
	# The test clock, on which a minute takes a tenth of a second, holds the
	# daemon at its 12th sleep, after its second run, until told to go on;
	# and restarts come after two seconds instead of a minute.
	cp "$build/tests/libtestclock.so" "$root/usr/local/lib/"
	date +%s >"$root$state/clock"
	printf '[Service]\nEnvironment=%s %s %s %s\nRestartSec=2s\n' LD_PRELOAD=/usr/local/lib/libtestclock.so \
		"TESTCLOCK_FILE=$state/clock" TESTCLOCK_SPEEDUP=600 TESTCLOCK_HOLD_AT=12 \
		>"$root/etc/systemd/system/vexlantor.service.d/test.conf"
	cp "$package" "$root/root/vexlantor.deb"

	# systemd-nspawn wants a /run of its own.
	unshare --mount --propagation private sh -c 'mount -t tmpfs tmpfs /run && exec systemd-nspawn --quiet -D "$1" -b \
		--register=no --keep-unit --console=passive --private-network --link-journal=no' sh "$root" \
		>"$scratch/nspawn.log" 2>&1 &
	nspawn=$!
	trap 'kill "$nspawn" 2>/dev/null; wait "$nspawn"; rm -rf "$scratch"' EXIT
	# The waits below last as long as it takes; ctest's TIMEOUT is the bound.
	leader=
	until [ "$(cat "/proc/$leader/comm" 2>/dev/null)" = systemd ]; do
		if ! kill -0 "$nspawn" 2>/dev/null; then
			echo "skipped: no container boots here: $(cat "$scratch/nspawn.log")"
			exit 77
		fi
		sleep 0.1
		leader=$(ps -o pid= --ppid "$nspawn" | tr -d ' ')
	done
	inside() { nsenter -t "$leader" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
	show() { inside systemctl show -p "$1" --value vexlantor.service; }
	until booted=$(inside systemctl is-system-running --wait 2>/dev/null) || [ "$booted" = degraded ]; do
		sleep 0.1
	done

	echo "installing the package, which starts the service"
	inside dpkg -i /root/vexlantor.deb >"$scratch/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$scratch/dpkg.log")"
	until [ -e "$root$state/clock.held" ]; do sleep 0.1; done
	main=$(show MainPID)
	[ "$(inside readlink "/proc/$main/exe")" = "$prefix/bin/vexlantor" ] || fail "the main process is not the daemon"
	logs=$root/var/log/vexlantor
	grep -q "^Complete registration string = $prefix/bin/../bin/trindlet --type=" "$logs/vexlantor.log" ||
		fail "no trace: $(cat "$logs/vexlantor.log")"
	tool_arguments | cmp -s - "$root$state/args" || fail "the arguments"

	echo "rotating the log while the daemon waits, then letting it go on"
	inside logrotate -f /etc/logrotate.d/vexlantor || fail "logrotate"
	rm "$root$state/clock.held"
	until [ "$(grep -c '^Complete' "$logs/vexlantor.log")" -ge 1 ]; do sleep 0.1; done
	cat "$logs/vexlantor.log.1" "$logs/vexlantor.log" >"$scratch/trace"
	[ "$(tr -d '\000' <"$scratch/trace" | wc -c)" = "$(wc -c <"$scratch/trace")" ] || fail "NUL bytes in the log"
	head -n 1 "$logs/vexlantor.log" | grep -q '^Current time = [0-9]*$' || fail "the live log starts mid-line"
	# Every line whole, and none lost: each wake-up a minute after the last.
	awk '/^Time after = [0-9]+$/ { if (NR > 2 && $4 != last + 60) exit 1; last = $4; next }
		!/^Current time = [0-9]+$/ && !/^Complete registration string = / { exit 1 }' "$scratch/trace" ||
		fail "lines lost or broken across the rotation: $(cat "$scratch/trace")"

	echo "failing the tool with status 3, five starts in a row"
	echo 3 >"$root$state/status"
	# Between restarts the unit is activating; it is failed once the limit stops it.
	until [ "$(show ActiveState)" = failed ]; do sleep 0.1; done
	for property in Result=exit-code ExecMainStatus=3 NRestarts=5; do
		[ "$(show "${property%%=*}")" = "${property#*=}" ] || fail "$(show "${property%%=*}") for $property"
	done
	# Each of the five failed starts left its reason in the journal.
	inside journalctl -u vexlantor.service --no-pager >"$scratch/journal"
	for line in "status=3/NOTIMPLEMENTED" "Failed with result 'exit-code'" \
		"vexlantor could not run $prefix/bin/../bin/trindlet"; do
		[ "$(grep -cF "$line" "$scratch/journal")" -ge 5 ] || fail "the journal lacks '$line': $(cat "$scratch/journal")"
	done
	grep -q "restart counter is at 5" "$scratch/journal" && grep -q "Start request repeated too quickly" "$scratch/journal" ||
		fail "no start limit: $(cat "$scratch/journal")"

	echo "removing the package while the daemon runs, then purging it"
	echo 0 >"$root$state/status"
	inside systemctl reset-failed vexlantor.service
	inside systemctl start vexlantor.service
	main=$(show MainPID)
	inside dpkg -r vexlantor >"$scratch/dpkg.log" 2>&1 || fail "dpkg -r: $(cat "$scratch/dpkg.log")"
	inside sh -c '! kill -0 "$1" 2>/dev/null' sh "$main" || fail "the daemon outlived its package"
	rm -r "$root/etc/systemd/system/vexlantor.service.d"
	inside dpkg -P vexlantor >"$scratch/dpkg.log" 2>&1 || fail "dpkg -P: $(cat "$scratch/dpkg.log")"
	left=$(inside find / -xdev -name '*vexlantor*' ! -path /root/vexlantor.deb) || fail "find"
	[ -z "$left" ] || fail "left after purge: $left"
	[ -s "$root/var/lib/logrotate/status" ] && ! grep -q vexlantor "$root/var/lib/logrotate/status" ||
		fail "logrotate's state still names the logs, or is gone"
	echo "under systemd: installed, traced, rotated, restarted and stopped at the limit, removed and purged"
	;;
*)
	fail "no check named $check"
	;;
esac
