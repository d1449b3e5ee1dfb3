#!/bin/sh
# Checks of what an operator installs: the manual page, the installed tree,
# the systemd unit, the Debian and RPM packages, and the Debian package with
# piuparts and under a real systemd on each Debian release it is for, each by
# the tools its ecosystem uses. A check whose tool is missing here is skipped
# (status 77) and says so.
#
#   packaging_test.sh build|manual|install|unit|package|lintian|rpm|repositories BUILD_DIR SOURCE_DIR
#   packaging_test.sh piuparts|systemd BUILD_DIR SOURCE_DIR RELEASE
# shellcheck disable=SC2016 # each sh -c script expands its own arguments
set -eu
check=$1 build=$2 source=$3 release=${4:-}
# What "build" makes, from scripts/package.sh, for the checks after it.
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

# What the tool is given, from the tests' one statement of it: the options
# as the command line writes them, and the arguments it gets, a line each.
tool_options() {
	sed -n '/expected_options =/,/;$/p' "$source/tests/expected_command.h" | grep -o '"\([^"\\]\|\\.\)*"' |
		sed 's/^"//; s/"$//; s/\\"/"/g' | tr -d '\n'
}
tool_arguments() { sed -n 's/^\t"\(--.*\)",$/\1/p' "$source/tests/expected_command.h"; }
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
# The log's line for a run of the tool at the default root.
registration_line="Complete registration string = ${tool%/*}/../bin/trindlet"

# Both packages hold the same daemon: a static PIE that needs no shared
# library, with full RELRO, stripped. README.md says so, and that neither
# package depends on a C library.
expect_static_daemon() {
	grep -q 'The packaged daemon is a static PIE: it needs no shared library' "$source/README.md" ||
		fail "README.md no longer says what the packaged daemon links"
	elf=$(readelf -hlSd "$1")
	for expected in "Type: *DYN" "GNU_RELRO" "BIND_NOW"; do
		echo "$elf" | grep -q "$expected" || fail "the daemon lacks $expected"
	done
	! echo "$elf" | grep -qE "INTERP|NEEDED|\.debug_info" || fail "the daemon is not static or not stripped: $elf"
}

# A Debian root, made once with mmdebstrap and kept under a name that says
# what it holds, so that a change of its packages makes it again: minbase
# alone for piuparts, which installs what it tests against; with systemd and
# logrotate to boot in a container, and rpm to try the RPM package there.
debian_root() { # KIND RELEASE
	need mmdebstrap flock
	case $1 in systemd) include=--include=systemd,systemd-sysv,dbus,logrotate,rpm ;; *) include= ;; esac
	root_image=$cache/$2-$1-$(echo "$include" | cksum | cut -d' ' -f1).tar.gz
	mkdir -p "$cache"
	# mmdebstrap takes the kind of its output from the name's ending.
	flock "$cache/image.lock" sh -c '
		[ -s "$1" ] && exit 0
		rm -f "$1.new.tar.gz" "$4"-*.tar.gz
		mmdebstrap --quiet --variant=minbase $3 "$2" "$1.new.tar.gz" && mv "$1.new.tar.gz" "$1"' \
		sh "$root_image" "$2" "$include" "$cache/$2-$1" || fail "mmdebstrap could not make a $2 root"
}

# Release 1.1.0, the last with its files under /opt, made once from this
# repository's history as it was made then.
old_package() {
	need git cpack
	commit=ec2564df4bc12919c187b21566afc370a8c480ef
	# Named by the commit it is built from.
	old=$cache/vexlantor_1.1.0_amd64-$commit.deb
	flock "$cache/image.lock" sh -c '
		[ -s "$1" ] && exit 0
		git -C "$2" archive --prefix=old/ "$3" | tar -C "$4" -x &&
			cmake -S "$4/old" -B "$4/old/build" -DVEXLANTOR_TESTS=OFF &&
			cpack --config "$4/old/build/CPackConfig.cmake" -B "$4/old/deb" &&
			mv "$4/old/deb/vexlantor_1.1.0_amd64.deb" "$1"' \
		sh "$old" "$source" "$commit" "$scratch" >"$scratch/old.log" 2>&1 ||
		fail "release 1.1.0 from commit $commit: $(tail -n 20 "$scratch/old.log")"
}

# A signing key made for a check alone, RSA, which the RPM hosts' rpm
# verifies, in a GnuPG home of its own; its fingerprint.
new_key() { # GNUPGHOME
	mkdir -m 700 "$1"
	GNUPGHOME=$1 gpg --batch --passphrase '' --quick-gen-key "vexlantor check <check@vexlantor.invalid>" \
		rsa3072 sign never 2>/dev/null
	GNUPGHOME=$1 gpg --list-keys --with-colons 2>/dev/null | awk -F: '/^fpr/ { print $10; exit }'
}

# The release's repositories made or added to by scripts/publish.sh with a key
# of the given GnuPG home; its output is the failure's reason.
publish_into() { # GNUPGHOME KEY PACKAGES REPOSITORIES
	GNUPGHOME=$1 "$source/scripts/publish.sh" "$2" "$3" "$4" >"$scratch/publish.log" 2>&1 ||
		fail "scripts/publish.sh $2 $3 $4: $(cat "$scratch/publish.log")"
}

# The checks of the packages skip where "build" was skipped.
case $check in
package | lintian | rpm | repositories | piuparts | systemd)
	[ -d "$packages" ] || { echo "skipped: no packages in $packages, which Packaging.build makes"; exit 77; }
	;;
esac

case $check in
build)
	need dpkg-buildpackage dh rpmbuild git
	# A build host whose rpm macros choose zstd, as Fedora's do: the package
	# must still carry gzip, which rpm 4.11 reads.
	printf '%%_binary_payload w19.zstdio\n' >"$scratch/.rpmmacros"
	HOME=$scratch "$source/scripts/package.sh" "$packages" || fail "scripts/package.sh"
	# A later release of the .rpm, for the container checks to upgrade to.
	HOME=$scratch VEXLANTOR_RPM_RELEASE=2 "$source/scripts/package.sh" "$packages/release-2" >/dev/null ||
		fail "scripts/package.sh, release 2"
	;;
manual)
	need mandoc
	out=$(mandoc -T lint -W warning "$build/packaging/vexlantor.8" 2>&1) || fail "mandoc: $out"
	[ -z "$out" ] || fail "mandoc: $out"
	echo "mandoc -T lint -W warning: nothing to report"
	;;
install)
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
	# A packager's flags stronger than the build's own stay in force.
	stronger="-fstack-protector-all -Wp,-D_FORTIFY_SOURCE=3"
	cmake -S "$source" -B "$scratch/flags" -DCMAKE_CXX_FLAGS="$stronger" >"$scratch/flags.log" 2>&1 ||
		fail "configuring with $stronger: $(cat "$scratch/flags.log")"
	flags=$(grep -o '"command": ".*main\.cpp' "$scratch/flags/compile_commands.json")
	case $flags in *"$stronger"*-fstack-clash-protection*) ;; *) fail "the packager's flags: $flags" ;; esac
	case $flags in *-fstack-protector-strong* | *-D_FORTIFY_SOURCE=2*) fail "flags weaker than the packager's: $flags" ;; esac
	echo "installed trees as expected, and a packager's flags kept"
	;;
unit)
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
	;;
package)
	need dpkg-deb
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
	;;
lintian)
	need lintian
	# The source package and the binary package, as the archive would see them.
	lintian --pedantic --display-experimental --fail-on error,warning,pedantic \
		"$packages"/vexlantor_*_amd64.changes || fail "lintian"
	echo "lintian --pedantic: no errors, warnings or pedantic tags"
	;;
rpm)
	need rpm rpmlint rpm2cpio cpio chroot busybox python3
	busybox=$(command -v busybox)
	if readelf -l "$busybox" | grep -q INTERP; then
		echo "skipped: $busybox is not the static one (busybox-static)"
		exit 77
	fi
	package=$(ls "$packages"/vexlantor-*.rpm)
	lint=$(rpmlint -r "$source/packaging/rpm/vexlantor.rpmlintrc" "$package" "$packages/vexlantor.spec" 2>&1) || true
	echo "$lint"
	case $lint in *" 0 errors, 0 warnings,"*) ;; *) fail "rpmlint reports errors or warnings" ;; esac
	mkdir "$scratch/x"
	(cd "$scratch/x" && rpm2cpio "$package" | cpio -idm --quiet)
	# The RPM hosts keep units in /usr/lib.
	expect_installed "the .rpm" "$(modes "$scratch/x" | sed 's, /usr/lib/systemd/, /lib/systemd/,' | sort)"
	# Owned by root, with its two directories, the configuration kept on
	# upgrade, and the documents marked as such.
	flags=$(rpm -qp --qf '[%{FILENAMES} %{FILEMODES:perms} %{FILEUSERNAME}:%{FILEGROUPNAME} %{FILEFLAGS:fflags}\n]' \
		"$package" | grep -v -e '^[^ ]* -[^ ]* root:root $' | sort)
	[ "$flags" = "/etc/logrotate.d/vexlantor -rw-r--r-- root:root cn
/usr/share/doc/vexlantor drwxr-xr-x root:root 
/usr/share/doc/vexlantor/copyright -rw-r--r-- root:root d
/usr/share/man/man8/vexlantor.8.gz -rw-r--r-- root:root d
/var/log/vexlantor drwxr-xr-x root:root " ] || fail "files in the rpm: $flags"
	# rpm 4.11 reads gzip and refuses zstd, whatever the build host chose; nor
	# may the package need any other rpm feature newer than 4.6's.
	[ "$(rpm -qp --qf '%{PAYLOADCOMPRESSOR}' "$package")" = gzip ] || fail "the payload is not gzip"
	newer=$(rpm -qp --requires "$package" | grep '^rpmlib(' | grep -v '<= \([0-3]\|4\.[0-6]\)[.-]') || true
	[ -z "$newer" ] || fail "the package needs a newer rpm: $newer"
	# The scriptlets are what systemd 219's macros expand to, and nothing else.
	for scriptlet in POSTIN:systemd_post PREUN:systemd_preun POSTUN:systemd_postun_with_restart; do
		actual=$(rpm -qp --qf "%{${scriptlet%%:*}}" "$package" | sed 's/ *$//; /^$/d')
		expected=$(rpm --load "$source/packaging/rpm/macros.systemd" --eval "%${scriptlet#*:} vexlantor.service" | sed 's/ *$//; /^$/d')
		if [ -z "$expected" ] || [ "$actual" != "$expected" ]; then
			fail "the ${scriptlet%%:*} scriptlet is not %${scriptlet#*:}: $actual"
		fi
	done
	daemon=$scratch/x/usr/sbin/vexlantor
	expect_static_daemon "$daemon"
	# On a host with nothing else but a static shell, it detaches, runs the
	# tool at the default root with the fixed arguments, traces, and ends
	# with the tool's status, which a subreaper collects.
	box=$scratch/box
	mkdir -p "$box/bin" "$box/usr/sbin"
	cp "$busybox" "$box/bin/sh"
	cp "$daemon" "$box/usr/sbin/"
	stand_in "$box" 'echo "trindlet ran"; exit 3'
	status=$(python3 -c '
import ctypes, os, subprocess, sys
ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
daemon = int(subprocess.run(sys.argv[1:], stdout=subprocess.PIPE, check=True).stdout)
print(os.waitstatus_to_exitcode(os.waitpid(daemon, 0)[1]))
' chroot "$box" /usr/sbin/vexlantor /err /log)
	[ "$status" = 3 ] || fail "the daemon ended with $status"
	sed -n '1s/^Current time = [0-9]*$/ok/p;2s/^Time after = [0-9]*$/ok/p;3,$p' "$box/log" >"$scratch/log"
	printf 'ok\nok\n%s %s\ntrindlet ran\n' "$registration_line" "$(tool_options)" | cmp -s - "$scratch/log" ||
		fail "the log: $(cat "$box/log")"
	[ "$(cat "$box/err")" = "vexlantor could not run ${tool%/*}/../bin/trindlet" ] || fail "the errors: $(cat "$box/err")"
	given_the_arguments "$box" || fail "the arguments"
	echo "package $(basename "$package"): rpmlint, files, gzip, systemd 219's scriptlets, a static PIE that runs in an empty chroot"
	;;
repositories)
	need reprepro createrepo_c gpg gpgv rpm apt-get dnf
	publish=$source/scripts/publish.sh
	repos=$scratch/repositories
	key=$(new_key "$scratch/gnupg")
	other=$(new_key "$scratch/other")
	export GNUPGHOME="$scratch/gnupg"
	refused() { # WHY KEY PACKAGES
		! "$publish" "$2" "$3" "$repos" 2>"$scratch/publish.err" || fail "published with $1"
		grep -q "^publish: " "$scratch/publish.err" || fail "no reason given for $1: $(cat "$scratch/publish.err")"
		head -n 1 "$scratch/publish.err"
	}
	refused "no key" "" "$packages"
	refused "a key that is not there" "$other" "$packages"
	[ ! -e "$repos" ] || fail "a refused publication left $repos"
	publish_into "$scratch/gnupg" "$key" "$packages" "$repos"

	# apt: each release's index signed, the source package beside the binary.
	for release in bullseye bookworm trixie; do
		gpgv --keyring "$repos/vexlantor-archive-keyring.gpg" "$repos/apt/dists/$release/InRelease" 2>/dev/null ||
			fail "the $release index is not signed by the key"
		zcat "$repos/apt/dists/$release/main/source/Sources.gz" | grep -qx 'Package: vexlantor' ||
			fail "no source package for $release"
	done
	# yum: gzip metadata that EL7's yum reads, signed, and the package signed.
	gpg --dearmor <"$repos/RPM-GPG-KEY-vexlantor" >"$scratch/rpm-key.gpg"
	gpgv --keyring "$scratch/rpm-key.gpg" "$repos/yum/repodata/repomd.xml.asc" "$repos/yum/repodata/repomd.xml" 2>/dev/null ||
		fail "repomd.xml is not signed by the key"
	locations=$(sed -n 's/.*<location href="\([^"]*\)".*/\1/p' "$repos/yum/repodata/repomd.xml")
	for location in $locations; do
		case $location in *.xml.gz) gzip -t "$repos/yum/$location" || fail "$location is not gzip" ;;
		*) fail "metadata that EL7's yum may not read: $location" ;; esac
	done
	rpm --dbpath "$scratch/rpmdb" --import "$repos/RPM-GPG-KEY-vexlantor"
	rpm --dbpath "$scratch/rpmdb" -K "$repos"/yum/Packages/vexlantor-*.rpm | grep -q 'signatures OK' ||
		fail "the rpm's signature: $(rpm --dbpath "$scratch/rpmdb" -K "$repos"/yum/Packages/vexlantor-*.rpm)"

	# dnf, the yum code Debian's archive has, reads the metadata, its signature
	# checked with the key, and refuses it with another.
	dnf_query() { # KEY-FILE
		rm -rf "$scratch/dnf"
		mkdir "$scratch/dnf"
		dnf -y -q --installroot="$scratch/dnf" --releasever=7 --setopt=reposdir=/dev/null --setopt=skip_if_unavailable=0 \
			--repofrompath=vexlantor,"file://$repos/yum" --repo=vexlantor --setopt=vexlantor.gpgcheck=1 \
			--setopt=vexlantor.repo_gpgcheck=1 --setopt=vexlantor.gpgkey="file://$1" \
			repoquery --qf '%{name} %{version}-%{release} %{arch}' vexlantor 2>&1
	}
	out=$(dnf_query "$repos/RPM-GPG-KEY-vexlantor") || fail "dnf: $out"
	echo "$out" | grep -x "vexlantor $(rpm -qp --qf '%{VERSION}-%{RELEASE} %{ARCH}' "$repos"/yum/Packages/vexlantor-*.rpm 2>/dev/null)" ||
		fail "dnf does not find the package: $out"
	GNUPGHOME="$scratch/other" gpg --armor --export "$other" >"$scratch/other.asc"
	! out=$(dnf_query "$scratch/other.asc") || fail "dnf took metadata signed by another key: $out"
	echo "$out" | grep -m 1 "signature" || fail "dnf's refusal: $out"

	# Published again, the same packages change nothing; other content under
	# the same version is refused, and changes nothing either.
	listing() { (cd "$repos" && find apt yum -type f ! -name 'repomd.xml*' ! -name '*.xml.gz' -exec sha256sum {} + | sort); }
	listing >"$scratch/before"
	publish_into "$scratch/gnupg" "$key" "$packages" "$repos"
	listing | cmp -s - "$scratch/before" || fail "publishing the same packages again changed them"
	mkdir "$scratch/changed"
	dpkg-deb -R "$packages"/vexlantor_*_amd64.deb "$scratch/changed/tree"
	echo "changed" >>"$scratch/changed/tree/usr/share/doc/vexlantor/copyright"
	dpkg-deb -b "$scratch/changed/tree" "$scratch/changed/$(basename "$packages"/vexlantor_*_amd64.deb)" >/dev/null
	cp "$packages"/vexlantor_*.dsc "$packages"/vexlantor_*.tar.* "$packages"/vexlantor-*.rpm "$scratch/changed/"
	refused "other content under a published version" "$key" "$scratch/changed"
	listing | cmp -s - "$scratch/before" || fail "a refused publication changed the repositories"

	# apt itself takes the repository with its key, and with another refuses
	# it: a warning of its own, and no package from it.
	apt_in() { # STATE KEYRING apt-get|apt-cache ARGUMENTS...
		state=$1 keyring=$2
		shift 2
		mkdir -p "$state/lists/partial"
		echo "deb [signed-by=$keyring] file:$repos/apt bookworm main" >"$state/sources.list"
		"$@" -o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts=- -o Dir::State="$state" \
			-o Dir::Cache="$state" -o APT::Sandbox::User=root 2>&1
	}
	candidate() { apt_in "$1" "$2" apt-cache policy vexlantor | sed -n 's/^ *Candidate: //p'; }
	out=$(apt_in "$scratch/apt" "$repos/vexlantor-archive-keyring.gpg" apt-get update) || fail "apt-get update: $out"
	version=$(dpkg-deb -f "$packages"/vexlantor_*_amd64.deb Version)
	[ "$(candidate "$scratch/apt" "$repos/vexlantor-archive-keyring.gpg")" = "$version" ] || fail "apt finds no $version"
	GNUPGHOME="$scratch/other" gpg --export "$other" >"$scratch/other.gpg"
	out=$(apt_in "$scratch/apt-other" "$scratch/other.gpg" apt-get update) || true
	echo "$out" | grep -m 1 "NO_PUBKEY" || fail "apt's refusal: $out"
	[ -z "$(candidate "$scratch/apt-other" "$scratch/other.gpg")" ] || fail "apt took a repository signed by another key"
	echo "repositories: apt for three releases and yum, signed; bad input refused; another key refused by apt and dnf"
	;;
piuparts)
	# Debian 13's piuparts, which scripts/test.sh fetches: it knows what each
	# release's own base system leaves behind.
	[ -x "$cache/tools/usr/bin/piuparts" ] || { echo "skipped: no piuparts in $cache/tools"; exit 77; }
	debian_root minbase "$release"
	PYTHONPATH=$cache/tools/usr/lib/python3/dist-packages "$cache/tools/usr/bin/piuparts" --basetgz="$root_image" \
		--distribution="$release" --mirror=http://deb.debian.org/debian --install-remove-install \
		"$packages"/vexlantor_*_amd64.deb >"$scratch/piuparts.log" 2>&1 ||
		fail "piuparts: $(grep -A 10 -E 'ERROR|FAIL' "$scratch/piuparts.log" | head -n 60)"
	grep 'PASS:' "$scratch/piuparts.log"
	;;
systemd)
	need unshare nsenter systemd-nspawn reprepro createrepo_c gpg
	debian_root systemd "$release"
	# Release 1.1.0 needs the C library of Debian 12: there is no upgrade from
	# it on Debian 11.
	[ "$release" = bullseye ] || old_package
	root=$scratch/root
	mkdir "$root"
	tar -C "$root" -xzf "$root_image"
	# The stand-in tool at the default root, so that the unit's condition holds.
	state=/var/lib/stand-in
	stand_in "$root"
	mkdir -p "$root/etc/systemd/system/vexlantor.service.d"
	# Restarts come after two seconds instead of a minute.
	printf '[Service]\nRestartSec=2s\n' >"$root/etc/systemd/system/vexlantor.service.d/test.conf"
	# A stand-in SLP agent under the usual name, running from boot.
	printf '[Service]\nExecStart=/bin/sleep infinity\n[Install]\nWantedBy=multi-user.target\n' \
		>"$root/etc/systemd/system/slpd.service"
	mkdir -p "$root/etc/systemd/system/multi-user.target.wants"
	ln -s ../slpd.service "$root/etc/systemd/system/multi-user.target.wants/slpd.service"
	# The host installs from the release's apt repository, as a fleet does,
	# and from nowhere else.
	key=$(new_key "$scratch/gnupg")
	publish_into "$scratch/gnupg" "$key" "$packages" "$scratch/repositories"
	lay_repository() { rm -rf "$root/srv/vexlantor" && mkdir -p "$root/srv" && cp -R "$scratch/repositories/apt" "$root/srv/vexlantor"; }
	lay_repository
	mkdir -p "$root/etc/apt/keyrings"
	cp "$scratch/repositories/vexlantor-archive-keyring.gpg" "$root/etc/apt/keyrings/vexlantor.gpg"
	rm -f "$root/etc/apt/sources.list" "$root"/etc/apt/sources.list.d/*
	echo "deb [signed-by=/etc/apt/keyrings/vexlantor.gpg] file:/srv/vexlantor $release main" \
		>"$root/etc/apt/sources.list.d/vexlantor.list"
	[ -z "${old:-}" ] || cp "$old" "$root/root/vexlantor-1.1.0.deb"

	# systemd-nspawn wants a /run of its own.
	unshare --mount --propagation private sh -c 'mount -t tmpfs tmpfs /run && exec systemd-nspawn --quiet -D "$1" -b \
		--register=no --keep-unit --console=passive --private-network --link-journal=no' sh "$root" \
		>"$scratch/nspawn.log" 2>&1 &
	nspawn=$!
	trap 'kill "$nspawn" 2>/dev/null; wait "$nspawn"; rm -rf "$scratch"' EXIT
	leader=
	until [ "$(cat "/proc/$leader/comm" 2>/dev/null)" = systemd ]; do
		if ! kill -0 "$nspawn" 2>/dev/null; then
			echo "skipped: no container boots here: $(cat "$scratch/nspawn.log")"
			exit 77
		fi
		sleep 0.1
		leader=$(ps -o pid= --ppid "$nspawn" | tr -d ' ')
	done
	inside() { nsenter -t "$leader" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
	show() { inside systemctl show -p "$1" --value vexlantor.service; }
	until booted=$(inside systemctl is-system-running --wait 2>/dev/null) || [ "$booted" = degraded ]; do
		kill -0 "$nspawn" 2>/dev/null || fail "the container ended while booting: $(cat "$scratch/nspawn.log")"
		sleep 0.1
	done
	# Waits as long as the condition takes to come true, and no longer than
	# progress can come: it fails at once when the container is gone, or when
	# systemd has given up on the service, never started it, left it stopped
	# with nothing queued, or runs it without knowing its main process. A
	# restart passes through "inactive" with a start queued, and counts in
	# NRestarts.
	unit_state() {
		inside systemctl show -p MainPID,ActiveState,SubState,Result,ConditionResult,NRestarts vexlantor.service |
			paste -sd' '
	}
	wait_until() { # WHAT COMMAND...
		what=$1
		shift
		until "$@"; do
			kill -0 "$nspawn" 2>/dev/null || fail "the container ended, waiting for $what"
			before=$(unit_state)
			case $before in
			*ActiveState=inactive*) [ -n "$(inside systemctl list-jobs --no-legend vexlantor.service)" ] ||
				[ "$(unit_state)" != "$before" ] || stuck=$before ;;
			*ActiveState=failed* | *ConditionResult=no* | *"MainPID=0 "*SubState=running*) stuck=$before ;;
			esac
			[ -z "${stuck:-}" ] ||
				fail "waiting for $what, the service is $stuck: $(inside journalctl -u vexlantor.service --no-pager | tail -n 20)"
			sleep 0.1
		done
	}
	main_is() { [ "$(inside readlink "/proc/$(show MainPID)/exe")" = "$1" ]; }
	logs=$root/var/log/vexlantor

	if [ -n "${old:-}" ]; then
		echo "installing release 1.1.0, editing its logrotate file, then upgrading"
		inside dpkg -i /root/vexlantor-1.1.0.deb >"$scratch/dpkg.log" 2>&1 || fail "dpkg -i 1.1.0: $(cat "$scratch/dpkg.log")"
		wait_until "1.1.0 to run" main_is /opt/vemrik/halvern/bin/vexlantor
		echo "# kept by the administrator" >>"$root/etc/logrotate.d/vexlantor"
		cp "$root/etc/logrotate.d/vexlantor" "$scratch/edited"
	else
		echo "installing the package, which starts the service"
	fi
	rm -f "$root$state/args"
	inside sh -c 'apt-get update && apt-get install -y vexlantor' >"$scratch/apt.log" 2>&1 ||
		fail "apt-get install: $(cat "$scratch/apt.log")"
	grep -E "^(Get|Setting up)" "$scratch/apt.log"
	wait_until "the daemon to run" main_is /usr/sbin/vexlantor
	[ "$(inside systemctl is-enabled vexlantor.service)" = enabled ] || fail "the service is not enabled"
	if [ -n "${old:-}" ]; then
		cmp -s "$scratch/edited" "$root/etc/logrotate.d/vexlantor" || fail "the edited logrotate file was replaced"
		left=$(inside find /opt -name '*vexlantor*')
		[ -z "$left" ] || fail "left under /opt by the upgrade: $left"
	fi
	wait_until "the first registration" test -s "$root$state/args"
	grep -qxF "$registration_line $(tool_options)" "$logs/vexlantor.log" ||
		fail "no trace: $(cat "$logs/vexlantor.log")"
	given_the_arguments "$root" || fail "the arguments"
	# systemd of this release reads every line of the unit.
	inside journalctl -b --no-pager >"$scratch/journal"
	# Its "not our child" for a main PID that the daemon gave while the
	# starter still ran is no fault: the daemon is systemd's child once the
	# starter has ended, and the outage below counts each of its failures.
	! grep 'vexlantor\.service:[0-9]' "$scratch/journal" || fail "systemd warns of the unit"

	# Without NotifyAccess= systemd names no socket, and nothing would come.
	inside sh -c 'tr "\0" "\n" </proc/"$1"/environ' sh "$(show MainPID)" | grep -q '^NOTIFY_SOCKET=' ||
		fail "systemd gives the daemon no NOTIFY_SOCKET"
	status_shown() { case $(show StatusText) in "Registered at "*"; next run due at "*) ;; *) false ;; esac; }
	wait_until "the Status line" status_shown
	inside systemctl status --no-pager vexlantor.service | head -n 12

	# The agent forgets registrations when it stops: the daemon registers
	# again as soon as the agent is back.
	for change in "restart" "stop, then start"; do
		registrations=$(wc -l <"$root$state/registrations")
		main=$(show MainPID)
		from=$(date +%s%N)
		if [ "$change" = restart ]; then
			inside systemctl restart slpd.service
		else
			inside systemctl stop slpd.service
			[ "$(show ActiveState)" = inactive ] || fail "the daemon outlived the agent: $(unit_state)"
			inside systemctl start slpd.service
		fi
		# The agent's jobs and the daemon's are one transaction: once systemctl
		# is back, a daemon with its old PID and no job queued stays as it is.
		registered_again() {
			[ "$(show MainPID)" != "$main" ] || [ -n "$(inside systemctl list-jobs --no-legend vexlantor.service)" ] ||
				fail "the daemon did not follow the agent's $change: $(unit_state)"
			[ "$(wc -l <"$root$state/registrations")" -gt "$registrations" ]
		}
		wait_until "a registration after the agent's $change" registered_again
		took=$((($(date +%s%N) - from) / 1000000))
		echo "registered again ${took} ms after the agent's $change"
		[ "$took" -lt 10000 ] || fail "the agent's $change: registered again only after $took ms"
	done

	echo "stopping the service while a run of the tool hangs with a child"
	echo 'stray; hang' >"$root$state/steps/default"
	inside systemctl restart vexlantor.service
	wait_until "a run that hangs" test -e "$root$state/hanging"
	stray=$(cat "$root$state/stray")
	inside systemctl stop vexlantor.service
	rm "$root$state/steps/default" "$root$state/hanging"
	# Gone, or a zombie that systemd has still to collect.
	inside sh -c '[ ! -e "/proc/$1" ] || grep -q "^$1 (.*) Z " "/proc/$1/stat"' sh "$stray" ||
		fail "the stop left the tool's child running: $(inside cat "/proc/$stray/cmdline" | tr '\0' ' ')"
	inside systemctl start vexlantor.service
	wait_until "the daemon to run again" main_is /usr/sbin/vexlantor

	echo "rotating the log while the daemon waits"
	cp "$logs/vexlantor.log" "$scratch/trace"
	inside logrotate -f /etc/logrotate.d/vexlantor || fail "logrotate"
	head -c "$(wc -c <"$scratch/trace")" "$logs/vexlantor.log.1" | cmp -s - "$scratch/trace" ||
		fail "the rotated log does not hold the trace"
	[ "$(tr -d '\000' <"$logs/vexlantor.log" | wc -c)" = "$(wc -c <"$logs/vexlantor.log")" ] || fail "NUL bytes in the live log"
	main_is /usr/sbin/vexlantor || fail "the daemon did not outlive the rotation"

	echo "an outage: the tool fails with 3 for longer than any start limit, then succeeds again"
	# From the next start on: the daemon's own clock is the wall clock, which
	# a static program cannot be given another of, and it would not run the
	# tool again for nine minutes.
	echo 'exit 3' >"$root$state/steps/default"
	# The unit makes the log directory again should it be gone.
	rm -r "$logs"
	inside systemctl restart vexlantor.service
	# Between restarts the unit is activating; it must never be left failed.
	restarted() { [ "$(show NRestarts)" -ge 7 ]; }
	wait_until "seven restarts" restarted
	registrations=$(wc -l <"$root$state/registrations")
	rm "$root$state/steps/default"
	ended=$(date +%s)
	registered() { [ "$(wc -l <"$root$state/registrations")" -gt "$registrations" ] && [ "$(show SubState)" = running ]; }
	wait_until "a registration after the outage" registered
	echo "registered again $(($(date +%s) - ended)) s after the outage ended, with restarts every 2 s"
	inside journalctl -u vexlantor.service --no-pager >"$scratch/journal"
	for line in "status=3/NOTIMPLEMENTED" "Failed with result 'exit-code'" \
		"vexlantor could not run ${tool%/*}/../bin/trindlet"; do
		[ "$(grep -cF "$line" "$scratch/journal")" -ge 7 ] || fail "the journal lacks '$line': $(cat "$scratch/journal")"
	done
	! grep -q "Start request repeated too quickly" "$scratch/journal" || fail "a start limit stopped the service"
	# Without the test's drop-in, starts are a minute apart: the service is
	# advertised again within two minutes of an outage's end.
	rm -r "$root/etc/systemd/system/vexlantor.service.d"
	inside systemctl daemon-reload
	[ "$(show RestartUSec)" = 1min ] || fail "restarts after $(show RestartUSec)"

	echo "a newer build published into the same repository, taken by apt-get upgrade"
	cp "$root/etc/logrotate.d/vexlantor" "$scratch/logrotate-before"
	echo "# kept by the administrator through the upgrade" >>"$root/etc/logrotate.d/vexlantor"
	cp "$root/etc/logrotate.d/vexlantor" "$scratch/edited"
	newer=$(dpkg-deb -f "$packages"/vexlantor_*_amd64.deb Version)+check1
	mkdir "$scratch/newer"
	dpkg-deb -R "$packages"/vexlantor_*_amd64.deb "$scratch/newer/tree"
	sed -i "s/^Version: .*/Version: $newer/" "$scratch/newer/tree/DEBIAN/control"
	dpkg-deb -b "$scratch/newer/tree" "$scratch/newer/vexlantor_${newer}_amd64.deb" >/dev/null
	cp "$packages"/vexlantor_*.dsc "$packages"/vexlantor_*.tar.* "$packages"/vexlantor-*.rpm "$scratch/newer/"
	publish_into "$scratch/gnupg" "$key" "$scratch/newer" "$scratch/repositories"
	lay_repository
	main=$(show MainPID)
	inside sh -c 'apt-get update && apt-get upgrade -y' >"$scratch/apt.log" 2>&1 || fail "apt-get upgrade: $(cat "$scratch/apt.log")"
	grep -E "^(Get|Unpacking|Setting up)" "$scratch/apt.log"
	[ "$(inside dpkg-query -W -f='${Version}' vexlantor)" = "$newer" ] || fail "apt-get upgrade did not bring $newer"
	cmp -s "$scratch/edited" "$root/etc/logrotate.d/vexlantor" || fail "the upgrade replaced the edited logrotate file"
	restarted_on_upgrade() { [ "$(show MainPID)" != "$main" ] && main_is /usr/sbin/vexlantor; }
	wait_until "the daemon to run again after the upgrade" restarted_on_upgrade

	echo "a repository signed by another key, which apt refuses"
	other=$(new_key "$scratch/other")
	publish_into "$scratch/other" "$other" "$packages" "$scratch/other-repositories"
	cp -R "$scratch/other-repositories/apt" "$root/srv/other"
	echo "deb [signed-by=/etc/apt/keyrings/vexlantor.gpg] file:/srv/other $release main" \
		>"$root/etc/apt/sources.list.d/other.list"
	inside apt-get update >"$scratch/apt.log" 2>&1 || true
	# In apt's words: gpgv's before Debian 13, sqv's since.
	grep -m 1 -E "NO_PUBKEY|Missing key" "$scratch/apt.log" || fail "apt did not refuse another key: $(cat "$scratch/apt.log")"
	rm -r "$root/etc/apt/sources.list.d/other.list" "$root/srv/other"

	echo "removing the package while the daemon runs, then purging it"
	main=$(show MainPID)
	inside dpkg -r vexlantor >"$scratch/dpkg.log" 2>&1 || fail "dpkg -r: $(cat "$scratch/dpkg.log")"
	inside sh -c '! kill -0 "$1" 2>/dev/null' sh "$main" || fail "the daemon outlived its package"
	inside dpkg -P vexlantor >"$scratch/dpkg.log" 2>&1 || fail "dpkg -P: $(cat "$scratch/dpkg.log")"
	# The repository, its source and keyring and apt's copies of it are the
	# administrator's, not the package's.
	left=$(inside find / -xdev -name '*vexlantor*' ! -path '/root/vexlantor*.deb' ! -path '/srv/vexlantor*' \
		! -path '/etc/apt/*' ! -path '/var/lib/apt/lists/*' ! -path '/var/cache/apt/*') || fail "find"
	[ -z "$left" ] || fail "left after purge: $left"
	if [ ! -s "$root/var/lib/logrotate/status" ] || grep -q vexlantor "$root/var/lib/logrotate/status"; then
		fail "logrotate's state still names the logs, or is gone"
	fi
	echo "the .rpm under the same systemd, with Debian's rpm: installed, upgraded to a newer release, erased"
	cp "$packages"/vexlantor-*.rpm "$root/root/vexlantor.rpm"
	cp "$packages"/release-2/vexlantor-*-2.x86_64.rpm "$root/root/vexlantor-2.rpm"
	rpm_in() { inside rpm "$@" >"$scratch/rpm.log" 2>&1 || fail "rpm $*: $(cat "$scratch/rpm.log")"; }
	# Its scriptlets are systemd 219's: the preset on installation...
	rpm_in -Uvh --nodeps /root/vexlantor.rpm
	echo "the system's preset leaves the service $(inside systemctl is-enabled vexlantor.service)"
	inside systemctl start vexlantor.service
	wait_until "the .rpm's daemon to run" main_is /usr/sbin/vexlantor
	# ...a restart of the running service on upgrade...
	main=$(show MainPID)
	rpm_in -Uvh --nodeps /root/vexlantor-2.rpm
	[ "$(inside rpm -q --qf '%{RELEASE}' vexlantor)" = 2 ] || fail "rpm -Uvh did not bring release 2"
	wait_until "the daemon to run again after the .rpm's upgrade" restarted_on_upgrade
	# ...and on erasure the service disabled and stopped.
	inside rpm -e vexlantor >"$scratch/rpm.log" 2>&1 || fail "rpm -e: $(cat "$scratch/rpm.log")"
	[ "$(show ActiveState)" = inactive ] || fail "erasing the .rpm left the service $(unit_state)"
	! inside systemctl is-enabled vexlantor.service >/dev/null 2>&1 || fail "erasing the .rpm left the service enabled"
	# The logs stay, as an RPM package's own logs do.
	left=$(inside find / -xdev -name '*vexlantor*' ! -path '/root/vexlantor*' ! -path '/srv/vexlantor*' \
		! -path '/etc/apt/*' ! -path '/var/lib/apt/lists/*' ! -path '/var/cache/apt/*' ! -path '/var/lib/rpm/*' \
		! -path '/var/log/vexlantor*') || fail "find"
	[ -z "$left" ] || fail "left after erasing the .rpm: $left"

	echo "systemd on $release: ${old:+upgraded from 1.1.0, }installed from its repository, traced, its status shown, following the SLP agent, rotated, restarted through an outage, upgraded by apt, another key refused, removed and purged"
	;;
*)
	fail "no check named $check"
	;;
esac
