#!/bin/sh
# The package's own tests that need no init (debian/tests), run by Debian's
# autopkgtest in a release's minimal root with its unshare runner, as an
# operator would on a throwaway root of their own; the one that needs systemd
# runs in systemd.sh, under the release's systemd.
#
#   autopkgtest.sh BUILD_DIR SOURCE_DIR RELEASE
. "$(dirname "$0")/lib.sh"
release=$3
need_packages
need autopkgtest newuidmap
# The runner maps root's subordinate IDs into the root it unpacks.
if ! grep -q '^root:' /etc/subuid || ! grep -q '^root:' /etc/subgid; then
	echo "skipped: root has no subordinate IDs in /etc/subuid and /etc/subgid"
	exit 77
fi
debian_root minbase "$release"
# -U: the root's package lists are made new, so that what the tests and the
# unpacking of the source package need comes from the release's archive.
autopkgtest "$packages"/vexlantor_*_amd64.deb "$packages"/vexlantor_*.dsc --test-name=by-hand -U -- \
	unshare -t "$root_image" >"$scratch/autopkgtest.log" 2>&1 ||
	fail "autopkgtest: $(grep -v '^(Reading database' "$scratch/autopkgtest.log" | tail -n 60)"
grep -E '^by-hand +PASS' "$scratch/autopkgtest.log" || fail "by-hand did not pass: $(tail -n 20 "$scratch/autopkgtest.log")"
