#!/bin/sh
# The test command. With no argument it installs what the build and its
# checks need and this machine lacks, then runs all that CI runs: the fuzzer
# for a minute, the suite under the sanitizers, and the whole suite in the
# ordinary build, soak, packaging and systemd checks included.
#
#   ./scripts/test.sh            all of it
#   ./scripts/test.sh PRESET     one preset's suite (default or asan), installing nothing
set -eu
cd "$(dirname "$0")/.."

suite() {
	cmake --preset "$1"
	cmake --build --preset "$1" -j"$(nproc)"
	ctest --preset "$1"
}
if [ $# -gt 0 ]; then
	suite "$1"
	exit
fi

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
# apt's package lists, read once before the first step that needs the archive.
updated=
update_once() {
	[ -n "$updated" ] || as_root apt-get update
	updated=yes
}
packages="cmake make g++ libgtest-dev util-linux procps python3
clang libclang-rt-14-dev
valgrind clang-format clang-tidy cppcheck
mandoc systemd man-db dpkg-dev debhelper lintian logrotate
rpm rpmlint cpio busybox-static
debsums lsb-release lsof python3-apt python3-debian python3-distro-info python3-urllib3"
missing=
for package in $packages; do
	dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $package"
done
if [ -n "$missing" ]; then
	echo "Installing from Debian's archive:$missing"
	update_once
	# shellcheck disable=SC2086 # one word a package
	as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
fi
# The container tools would upgrade the host's own systemd if installed: they
# are fetched and unpacked where the packaging checks look for them, with
# systemd-nspawn at the host's systemd version. So is Debian 13's piuparts,
# which knows what each release's base system leaves behind (the one of
# Debian 12 blames a Debian 13 package for debconf's files), through a
# package list of its own.
tools=/var/cache/vexlantor-test/tools
if [ ! -x "$tools/usr/bin/systemd-nspawn" ] || [ ! -x "$tools/usr/bin/mmdebstrap" ] || [ ! -x "$tools/usr/bin/piuparts" ]; then
	version=$(dpkg-query -W -f='${Version}' systemd)
	echo "Fetching into $tools: systemd-container $version, mmdebstrap, and piuparts of Debian 13"
	update_once
	debs=$(mktemp -d)
	(cd "$debs" && apt-get download "systemd-container=$version" mmdebstrap)
	trixie=$(mktemp -d)
	mkdir -p "$trixie/lists/partial"
	echo "deb http://deb.debian.org/debian trixie main" >"$trixie/sources.list"
	set -- -o Dir::Etc::SourceList="$trixie/sources.list" -o Dir::Etc::SourceParts=/nonexistent \
		-o Dir::State::Lists="$trixie/lists"
	apt-get "$@" update
	(cd "$debs" && apt-get "$@" download piuparts piuparts-common)
	as_root mkdir -p "$tools"
	for deb in "$debs"/*.deb; do
		as_root dpkg -x "$deb" "$tools"
	done
	rm -rf "$debs" "$trixie"
fi

./scripts/fuzz.sh 60
suite asan
suite default
