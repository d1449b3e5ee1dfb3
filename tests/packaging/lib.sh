# What the packaging checks share, sourced by each with its build and source
# directories as its first two arguments. A check whose tool is missing here
# is skipped (status 77) and says so.
# shellcheck shell=sh disable=SC2034 # the checks use what is set here
set -eu
build=$1 source=$2
# What Packaging.build makes, from scripts/package.sh, for the checks after it.
packages=$build/packages
# Where scripts/test.sh unpacks the container tools that it fetches rather
# than installs, and where the Debian roots are kept between runs.
cache=/var/cache/vexlantor-test
PATH=$cache/tools/usr/bin:$PATH
# The tool at the product's default root, where the daemon looks for it, as
# the build names it.
tool=$VEXLANTOR_DEFAULT_TOOL
scratch=$(mktemp -d /tmp/vexlantor-packaging.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
trap 'exit 143' INT TERM # through the EXIT trap, which cleans up

need() {
	for need; do
		command -v "$need" >/dev/null 2>&1 || { echo "skipped: $need is not installed"; exit 77; }
	done
}
fail() { echo "FAILED: $*"; exit 1; }
# Runs a command with its output kept, which is the failure's reason.
logged() { # WHAT COMMAND...
	what=$1
	shift
	"$@" >"$scratch/logged.log" 2>&1 || fail "$what: $(tail -n 40 "$scratch/logged.log")"
}
# The checks of the packages skip where Packaging.build was skipped.
need_packages() { [ -d "$packages" ] || { echo "skipped: no packages in $packages, which Packaging.build makes"; exit 77; }; }

# What an installation holds, as "MODE PATH", in the .deb as in the .rpm but
# for where each system keeps units and for what each adds of its own.
installed='644 /etc/logrotate.d/vexlantor
644 /lib/systemd/system/vexlantor.service
644 /usr/share/doc/vexlantor/copyright
644 /usr/share/man/man8/vexlantor.8
755 /usr/sbin/vexlantor'
# "MODE PATH" for each file below a tree, sorted, with the manual page
# uncompressed.
modes() { (cd "$1" && find . -type f -exec stat -c '%a %n' {} + | sed 's, \., ,; s,\.8\.gz$,.8,' | sort); }
expect_installed() { # WHAT FILES
	[ "$2" = "$installed" ] || fail "files and modes in $1:
$2
expected:
$installed"
}
install_tree() { # DESTDIR [cmake --install options]
	dest=$1
	shift
	DESTDIR=$dest cmake --install "$build" "$@" >/dev/null
}

# What the tool is given, from the file the tests' header is made from: the
# options as the command line writes them, on one line, and the arguments the
# shell makes of them, a line each. Neither may come out empty.
tool_options() {
	options=$(paste -sd' ' "$source/tests/tool-options")
	[ -n "$options" ] || fail "no options in tests/tool-options"
	echo "$options"
}
# shellcheck disable=SC2120 # "$@" is what the shell made of the options
tool_arguments() {
	eval "set -- $(tool_options)"
	printf '%s\n' "$@"
}
# The names of the settings of unit files, one a line, sorted.
settings() { sed -n 's/^\([A-Za-z]*\)=.*/\1/p' "$@" | sort -u; }
# The unit's sandboxing settings, from their file, which none may lack.
sandboxing=$(settings "$source/packaging/sandboxing.conf")
[ -n "$sandboxing" ] || fail "no settings in packaging/sandboxing.conf"

# The log's line for a run of the tool at the default root.
registration_line="Complete registration string = $VEXLANTOR_DEFAULT_ROOT$VEXLANTOR_TOOL_SUFFIX"
# The stand-in tool at a root's tool path, its state in /var/lib/stand-in
# there; a step of shell code for every run, where given.
stand_in() { # ROOT [STEP]
	mkdir -p "$1${tool%/*}" "$1/var/lib/stand-in/steps"
	cp "$source/tests/stand-in-tool.sh" "$1$tool"
	[ $# -lt 2 ] || echo "$2" >"$1/var/lib/stand-in/steps/default"
}
# Whether the last run that the stand-in tool below ROOT recorded was given
# the tool's arguments.
given_the_arguments() {
	tool_arguments >"$scratch/arguments"
	tail -n "$(wc -l <"$scratch/arguments")" "$1/var/lib/stand-in/args" | cmp -s - "$scratch/arguments"
}

# Both packages hold the same daemon: a static PIE that needs no shared
# library, with full RELRO, stripped. docs/packaging.md says so, and that
# neither package depends on a C library.
expect_static_daemon() {
	tr '\n' ' ' <"$source/docs/packaging.md" | grep -q 'The packaged daemon is a static PIE: it needs no shared library' ||
		fail "docs/packaging.md no longer says what the packaged daemon links"
	elf=$(readelf -hlSd "$1")
	for expected in "Type: *DYN" "GNU_RELRO" "BIND_NOW"; do
		echo "$elf" | grep -q "$expected" || fail "the daemon lacks $expected"
	done
	! echo "$elf" | grep -qE "INTERP|NEEDED|\.debug_info" || fail "the daemon is not static or not stripped: $elf"
}

# A Debian root, made once with mmdebstrap and kept under a name that says
# what it holds, so that a change of its packages makes it again: minbase
# alone for piuparts, which installs what it tests against; with systemd and
# logrotate to boot in a container, rpm to try the RPM package there, and the
# release's autopkgtest, with dpkg-dev to unpack the source package, to run
# the package's own tests.
# dpkg skips its fsyncs: a root that a crash cut short is made again. Each
# root has a lock of its own, so that two checks make two roots at once.
debian_root() { # KIND RELEASE
	need mmdebstrap flock
	case $1 in systemd) include=--include=systemd,systemd-sysv,dbus,logrotate,rpm,autopkgtest,dpkg-dev ;; *) include= ;; esac
	root_image=$cache/$2-$1-$(echo "$include" | cksum | cut -d' ' -f1).tar.gz
	mkdir -p "$cache"
	# mmdebstrap takes the kind of its output from the name's ending.
	# shellcheck disable=SC2016 # the script expands its own arguments
	flock "$root_image.lock" sh -c '
		[ -s "$1" ] && exit 0
		rm -f "$1.new.tar.gz" "$4"-*.tar.gz
		mmdebstrap --quiet --variant=minbase --dpkgopt=force-unsafe-io $3 "$2" "$1.new.tar.gz" &&
			mv "$1.new.tar.gz" "$1"' \
		sh "$root_image" "$2" "$include" "$cache/$2-$1" || fail "mmdebstrap could not make a $2 root"
}

# Release 1.1.0's package, the last with its files under /opt, made once
# from this repository's history as it was made then, as $old. It needs the C
# library of Debian 12: there is no upgrade from it on Debian 11.
old_release() { # RELEASE
	[ "$1" != bullseye ] || return 0
	need git cmake cpack flock
	commit=ec2564df4bc12919c187b21566afc370a8c480ef
	old=$cache/vexlantor_1.1.0_amd64-$commit.deb
	mkdir -p "$cache" "$scratch/old-release"
	# shellcheck disable=SC2016 # the script expands its own arguments
	logged "release 1.1.0 from commit $commit" flock "$old.lock" sh -c '
		[ -s "$1" ] && exit 0
		git -C "$2" archive --prefix=old/ "$3" | tar -C "$4" -x &&
			cmake -S "$4/old" -B "$4/old/build" -DVEXLANTOR_TESTS=OFF &&
			cpack --config "$4/old/build/CPackConfig.cmake" -B "$4/old/deb" &&
			mv "$4/old/deb/vexlantor_1.1.0_amd64.deb" "$1"' sh "$old" "$source" "$commit" "$scratch/old-release"
}

# A signing key made for a check alone, RSA, which the RPM hosts' rpm
# verifies, in a GnuPG home of its own; its fingerprint.
new_key() { # GNUPGHOME
	mkdir -m 700 "$1"
	GNUPGHOME=$1 gpg --batch --passphrase '' --quick-gen-key "vexlantor check <check@vexlantor.invalid>" \
		rsa3072 sign never 2>/dev/null
	GNUPGHOME=$1 gpg --list-keys --with-colons 2>/dev/null | awk -F: '/^fpr/ { print $10; exit }'
}
# The release's repositories made or added to by scripts/publish.sh with a
# key of the given GnuPG home.
publish_into() { # GNUPGHOME KEY PACKAGES REPOSITORIES
	GNUPGHOME=$1 logged "scripts/publish.sh $2 $3 $4" "$source/scripts/publish.sh" "$2" "$3" "$4"
}
# A copy of the packages in DIR, with the .deb's tree changed by a command
# run in it before the .deb is made again.
packages_changed() { # DIR COMMAND...
	dir=$1
	shift
	deb=$(ls "$packages"/vexlantor_*_amd64.deb)
	mkdir "$dir"
	dpkg-deb -R "$deb" "$dir/tree"
	(cd "$dir/tree" && "$@")
	dpkg-deb -b "$dir/tree" "$dir/$(basename "$deb")" >/dev/null
	rm -r "$dir/tree"
	cp "$packages"/vexlantor_*.dsc "$packages"/vexlantor_*.tar.* "$packages"/vexlantor-*.rpm "$dir/"
}

# On a host with nothing else but a static shell, and the libraries that the
# daemon at BOX/usr/sbin/vexlantor links, it detaches, runs the tool at the
# default root with the fixed arguments, traces, and ends with the tool's
# status, which a subreaper collects.
expect_runs_alone() { # BOX
	need chroot busybox python3
	busybox=$(command -v busybox)
	if readelf -l "$busybox" | grep -q INTERP; then
		echo "skipped: $busybox is not the static one (busybox-static)"
		exit 77
	fi
	mkdir -p "$1/bin"
	cp "$busybox" "$1/bin/sh"
	stand_in "$1" 'echo "trindlet ran"; exit 3'
	status=$(python3 -c '
import ctypes, os, subprocess, sys
ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
daemon = int(subprocess.run(sys.argv[1:], stdout=subprocess.PIPE, check=True).stdout)
print(os.waitstatus_to_exitcode(os.waitpid(daemon, 0)[1]))
' chroot "$1" /usr/sbin/vexlantor /err /log)
	[ "$status" = 3 ] || fail "the daemon ended with $status"
	sed -n '1s/^Current time = [0-9]*$/ok/p;2s/^Time after = [0-9]*$/ok/p;3,$p' "$1/log" >"$scratch/log"
	printf 'ok\nok\n%s %s\ntrindlet ran\n' "$registration_line" "$(tool_options)" | cmp -s - "$scratch/log" ||
		fail "the log: $(cat "$1/log")"
	[ "$(cat "$1/err")" = "vexlantor could not run $VEXLANTOR_DEFAULT_ROOT$VEXLANTOR_TOOL_SUFFIX" ] ||
		fail "the errors: $(cat "$1/err")"
	given_the_arguments "$1" || fail "the arguments"
}
