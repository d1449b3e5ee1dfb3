#!/bin/sh
# Makes the package repositories of a release from the packages that
# scripts/package.sh made, signed with the operator's key, ready to publish as
# they stand: an apt repository for Debian 11, 12 and 13 (reprepro), with the
# source package beside the binary one, and a yum repository for the RPM hosts
# (createrepo_c), its metadata gzipped for EL7's yum. Nothing is uploaded.
# The source package goes to Debian 12 and 13, where it builds.
#
#   scripts/publish.sh KEY [PACKAGES [REPOSITORIES]]
#
# KEY: a GnuPG key ID or fingerprint whose secret key, in $GNUPGHOME (or
# ~/.gnupg), can sign. PACKAGES: where scripts/package.sh left the packages
# (build/). REPOSITORIES: the folder to make or add to (build/repositories):
# apt/, yum/ and the public key in two forms are to publish; reprepro/ holds
# what reprepro keeps of the apt repository, for the next release. The folder is
# made anew beside the old one and takes its place only when all went well: a
# version already published with other content is refused (reprepro's own
# check, and the RPM header's digest), and that, no key, or a key that cannot
# sign, changes nothing.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
fail() {
	echo "publish: $*" >&2
	exit 1
}
[ -n "${1:-}" ] || fail "no key: scripts/publish.sh KEY [PACKAGES [REPOSITORIES]]"
key=$1
packages=${2:-$top/build}
repositories=${3:-$top/build/repositories}
releases="bullseye bookworm trixie"

echo "vexlantor" | gpg --batch --local-user "$key" --detach-sign >/dev/null 2>&1 ||
	fail "GnuPG cannot sign with key '$key'${GNUPGHOME:+ in $GNUPGHOME}"
set -- "$packages"/vexlantor_*_amd64.deb
if [ ! -f "$1" ] || [ $# -ne 1 ]; then fail "not one .deb in $packages: run scripts/package.sh first"; fi
deb=$1
dsc=$(ls "$packages"/vexlantor_*.dsc)
rpm=$(ls "$packages"/vexlantor-[0-9]*.x86_64.rpm)

new=$repositories.new
rm -rf "$new"
if [ -d "$repositories" ]; then cp -a "$repositories" "$new"; else mkdir -p "$new"; fi
trap 'rm -rf "$new"' EXIT

# apt: one distribution a release, the same binary package in each. The
# source package only where its build dependencies can be met: Debian 11 has
# neither g++ 12 nor CMake 3.25.
sources="bookworm trixie"
mkdir -p "$new/reprepro/conf"
for release in $releases; do
	case " $sources " in *" $release "*) architectures="amd64 source" ;; *) architectures=amd64 ;; esac
	printf 'Origin: vexlantor\nLabel: vexlantor\nCodename: %s\nArchitectures: %s\nComponents: main\n' "$release" "$architectures"
	printf 'Description: vexlantor for Debian %s\nSignWith: %s\n\n' "$release" "$key"
done >"$new/reprepro/conf/distributions"
for release in $releases; do
	reprepro --silent -b "$new/reprepro" --outdir "$new/apt" includedeb "$release" "$deb" ||
		fail "reprepro refused $deb for $release"
done
for release in $sources; do
	reprepro --silent -b "$new/reprepro" --outdir "$new/apt" includedsc "$release" "$dsc" ||
		fail "reprepro refused $dsc for $release"
done
gpg --batch --yes --export "$key" >"$new/vexlantor-archive-keyring.gpg"

# yum: the package signed, once a version; the metadata in gzip, which EL7's
# yum reads (createrepo_c 1.0 and later would write zstd), without the sqlite
# databases, which yum makes itself from it.
mkdir -p "$new/yum/Packages"
published=$new/yum/Packages/$(basename "$rpm")
if [ -f "$published" ]; then
	# The signature is added beside the header, whose digest stays the same.
	[ "$(rpm -qp --qf '%{SHA256HEADER}' "$rpm" 2>/dev/null)" = "$(rpm -qp --qf '%{SHA256HEADER}' "$published" 2>/dev/null)" ] ||
		fail "$(basename "$rpm") is already published with other content"
else
	cp "$rpm" "$published"
	rpmsign --addsign --define "_gpg_name $key" --define "__gpg $(command -v gpg)" "$published" >/dev/null 2>&1 ||
		fail "rpmsign could not sign $published"
fi
createrepo_c --quiet --update --no-database --general-compress-type=gz --compress-type=gz "$new/yum" ||
	fail "createrepo_c"
gpg --batch --yes --local-user "$key" --armor --detach-sign "$new/yum/repodata/repomd.xml"
gpg --batch --yes --armor --export "$key" >"$new/RPM-GPG-KEY-vexlantor"

rm -rf "$repositories.old"
[ ! -d "$repositories" ] || mv "$repositories" "$repositories.old"
mv "$new" "$repositories"
rm -rf "$repositories.old"
echo "published in $repositories: apt/ for $releases, yum/, and the public key"
