#!/bin/sh
# Makes both packages as scripts/package.sh does, for the checks after it,
# on a build host whose rpm macros choose zstd, as Fedora's do: the package
# must still carry gzip, which rpm 4.11 reads. And release 2 of the .rpm
# alone, for the container checks to upgrade to.
#
#   build.sh BUILD_DIR SOURCE_DIR
. "$(dirname "$0")/lib.sh"
need dpkg-buildpackage dh rpmbuild git
printf '%%_binary_payload w19.zstdio\n' >"$scratch/.rpmmacros"
HOME=$scratch "$source/scripts/package.sh" "$packages" || fail "scripts/package.sh"
HOME=$scratch VEXLANTOR_RPM_RELEASE=2 logged "scripts/package.sh, release 2" "$source/scripts/package.sh" "$packages/release-2" rpm
