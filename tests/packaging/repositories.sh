#!/bin/sh
# The signed repositories that scripts/publish.sh makes, with a key made for
# the check: every signature verified, gzip metadata, bad input refused with
# nothing changed, and another key refused by apt and dnf.
#
#   repositories.sh BUILD_DIR SOURCE_DIR
. "$(dirname "$0")/lib.sh"
need_packages
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

# apt: each release's index signed, the binary package in each, the source
# package beside it only where its build dependencies can be met.
for release in bullseye bookworm trixie; do
	gpgv --keyring "$repos/vexlantor-archive-keyring.gpg" "$repos/apt/dists/$release/InRelease" 2>/dev/null ||
		fail "the $release index is not signed by the key"
	grep -qx 'Package: vexlantor' "$repos/apt/dists/$release/main/binary-amd64/Packages" ||
		fail "no binary package for $release"
	sources=$(zcat "$repos/apt/dists/$release/main/source/Sources.gz" 2>/dev/null | grep -x 'Package: vexlantor') || true
	case $release:$sources in bullseye:) ;; bullseye:*) fail "a source package for bullseye, where it cannot build" ;;
	*:) fail "no source package for $release" ;; esac
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
packages_changed "$scratch/changed" sh -c 'echo changed >>usr/share/doc/vexlantor/copyright'
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
