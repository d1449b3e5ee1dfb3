#!/bin/sh
# The test command. With no argument it installs what the build and its
# checks need and this machine lacks, then runs all that CI runs: the fuzzer
# for a minute beside the suite under the sanitizers, then the whole suite in
# the ordinary build, soak, packaging and systemd checks included.
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
# What the build and the checks need from Debian's archive, each beside its
# reason; what this machine lacks is installed.
needs='
cmake make g++ libgtest-dev             the build and its tests
util-linux                              unshare and nsenter: the sandbox and the containers
procps                                  ps: the container checks
python3                                 the RPM check, which collects the daemon as a subreaper
clang libclang-rt-14-dev                the fuzzer
valgrind                                the daemon run under valgrind
clang-format clang-tidy cppcheck        the lint label, on the C++ code
shellcheck                              the lint label, on the shell scripts
mandoc                                  the manual page lint
systemd man-db                          systemd-analyze verify of the unit, and the man page it names
dpkg-dev debhelper lintian              the Debian package, made and judged
logrotate                               the rotation test
rpm rpmlint cpio busybox-static         the RPM package, made, judged and run in an empty chroot
reprepro createrepo-c gnupg             the apt and yum repositories, made and signed
dnf                                     the yum metadata, read by the yum code that Debian has
python3-apt python3-debian python3-distro-info python3-urllib3 debsums lsb-release lsof  piuparts
autopkgtest uidmap                      the tests in debian/tests, run by autopkgtest
'
packages=$(echo "$needs" | sed 's/  .*//')
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
# autopkgtest's unshare runner maps root's subordinate IDs into the roots it
# unpacks.
if ! grep -q '^root:' /etc/subuid 2>/dev/null || ! grep -q '^root:' /etc/subgid 2>/dev/null; then
	echo "Giving root the subordinate IDs 100000-165535 in /etc/subuid and /etc/subgid, for autopkgtest"
	as_root usermod --add-subuids 100000-165535 --add-subgids 100000-165535 root
fi
# Fetched and unpacked where the packaging checks look for them rather than
# installed, since installing them would change the host's own systemd:
# systemd-container (systemd-nspawn, at the host's systemd version) and
# mmdebstrap, for the release containers; and Debian 13's piuparts, which
# knows what each release's base system leaves behind (the one of Debian 12
# blames a Debian 13 package for debconf's files), through a package list of
# its own. The folder is made again when what it should hold changes.
tools=/var/cache/vexlantor-test/tools
holds="systemd-container=$(dpkg-query -W -f='${Version}' systemd) mmdebstrap trixie:piuparts trixie:piuparts-common"
if [ "$(cat "$tools/.holds" 2>/dev/null)" != "$holds" ]; then
	echo "Fetching into $tools: $holds"
	update_once
	debs=$(mktemp -d)
	(cd "$debs" && apt-get download "${holds%% *}" mmdebstrap)
	trixie=$(mktemp -d)
	mkdir -p "$trixie/lists/partial"
	echo "deb http://deb.debian.org/debian trixie main" >"$trixie/sources.list"
	set -- -o Dir::Etc::SourceList="$trixie/sources.list" -o Dir::Etc::SourceParts=/nonexistent \
		-o Dir::State::Lists="$trixie/lists"
	apt-get "$@" update
	(cd "$debs" && apt-get "$@" download piuparts piuparts-common)
	as_root rm -rf "$tools"
	as_root mkdir -p "$tools"
	for deb in "$debs"/*.deb; do
		as_root dpkg -x "$deb" "$tools"
	done
	echo "$holds" | as_root tee "$tools/.holds" >/dev/null
	rm -rf "$debs" "$trixie"
fi

# The fuzzer's minute takes one core, and the sanitizer build and suite the
# other meanwhile; its output follows theirs, whole where it failed.
fuzz_log=$(mktemp)
./scripts/fuzz.sh 60 >"$fuzz_log" 2>&1 &
fuzzer=$!
# Signalled only until it is reaped: its PID is someone else's after that.
trap 'kill "$fuzzer" 2>/dev/null; rm -f "$fuzz_log"' EXIT
suite asan
fuzzed=0
wait "$fuzzer" || fuzzed=$?
trap 'rm -f "$fuzz_log"' EXIT
if [ "$fuzzed" -ne 0 ]; then
	cat "$fuzz_log"
	exit 1
fi
tail -n 4 "$fuzz_log"
suite default
