#!/bin/sh
# Makes both packages from this checkout, from one source tarball of the
# files git tracks, and leaves them in DIR (build/ unless given): the Debian
# package with dpkg-buildpackage (debian/), and the RPM package with rpmbuild
# (packaging/rpm/vexlantor.spec); or only the one named.
#
#   scripts/package.sh [DIR [deb|rpm]]
#
# VEXLANTOR_RPM_RELEASE gives the RPM package's release, 1 unless given.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
only=${2:-}
mkdir -p "${1:-$top/build}"
out=$(cd "${1:-$top/build}" && pwd)
version=$(cmake -P "$top/packaging/version.cmake")
name=vexlantor-$version
work=$out/package-work
rm -rf "$work" "$out"/vexlantor_*.* "$out"/vexlantor-*.rpm "$out/vexlantor.spec"
mkdir -p "$work/rpm/SOURCES"

# What git tracks, as committed or as changed since in the work tree (git
# stash create records that without touching anything), and no untracked file.
tree=$(cd "$top" && git stash create)
git -C "$top" archive --format=tar.gz --prefix="$name/" -o "$work/rpm/SOURCES/$name.tar.gz" "${tree:-HEAD}"
tar -C "$work" -xzf "$work/rpm/SOURCES/$name.tar.gz"

# The source package and the binary package, in $work beside the tree.
if [ "$only" != rpm ]; then
	(cd "$work/$name" && dpkg-buildpackage --no-sign) >"$work/deb.log" 2>&1 ||
		{ tail -n 40 "$work/deb.log" >&2; exit 1; }
fi
# The spec file with the version and the change log of debian/changelog, and
# the description of debian/control, left beside the packages.
export VERSION="$version" RELEASE="${VEXLANTOR_RPM_RELEASE:-1}"
SUMMARY=$(sed -n 's/^Description: \(.\)\(.*\)/\U\1\E\2/p' "$top/debian/control")
DESCRIPTION=$(sed -n '/^Description:/,/^[^ ]/s/^ //p' "$top/debian/control")
export SUMMARY DESCRIPTION
{
	awk '{ gsub(/@VERSION@/, ENVIRON["VERSION"]); gsub(/@SUMMARY@/, ENVIRON["SUMMARY"]) }
		{ gsub(/@RELEASE@/, ENVIRON["RELEASE"]) }
		$0 == "@DESCRIPTION@" { $0 = ENVIRON["DESCRIPTION"] } { print }' "$top/packaging/rpm/vexlantor.spec"
	echo "%changelog"
	dpkg-parsechangelog -l "$top/debian/changelog" --all --format rfc822 | awk '
		/^Version: / { version = $2 }
		/^Maintainer: / { sub(/^Maintainer: /, ""); maintainer = $0 }
		/^Date: / { split($0, d, /[ ,]+/); date = d[2] " " d[4] " " d[3] " " d[5] }
		/^Changes:/ { printf "%s* %s %s - %s-%s\n", separator, date, maintainer, version, separator ? 1 : ENVIRON["RELEASE"]
			separator = "\n"; next }
		/^   \* / { sub(/^   \* /, "- "); print }
		/^     [^ ]/ { sub(/^     /, "  "); print }'
} >"$out/vexlantor.spec"
# The build hosts' rpm database is not where the build tools come from.
if [ "$only" != deb ]; then
	rpmbuild -bb --nodeps --define "_topdir $work/rpm" --load "$top/packaging/rpm/macros.systemd" \
		"$out/vexlantor.spec" >"$work/rpm.log" 2>&1 ||
		{ tail -n 40 "$work/rpm.log" >&2; exit 1; }
fi

find "$work" -maxdepth 1 -name "vexlantor*_$version*" -exec mv -t "$out/" {} +
[ "$only" = deb ] || find "$work/rpm/RPMS" -name "$name-*.rpm" -exec mv -t "$out/" {} +
rm -rf "$work"
find "$out" -maxdepth 1 \( -name "vexlantor_${version}_*.deb" -o -name "$name-*.rpm" \)
