#!/bin/sh
# The .deb installed, removed and installed again by piuparts on a release's
# minimal root, with Debian 13's piuparts, which scripts/test.sh fetches: it
# knows what each release's own base system leaves behind.
#
#   piuparts.sh BUILD_DIR SOURCE_DIR RELEASE
. "$(dirname "$0")/lib.sh"
release=$3
need_packages
[ -x "$cache/tools/usr/bin/piuparts" ] || { echo "skipped: no piuparts in $cache/tools"; exit 77; }
debian_root minbase "$release"
PYTHONPATH=$cache/tools/usr/lib/python3/dist-packages "$cache/tools/usr/bin/piuparts" --basetgz="$root_image" \
	--distribution="$release" --mirror=http://deb.debian.org/debian --install-remove-install \
	"$packages"/vexlantor_*_amd64.deb >"$scratch/piuparts.log" 2>&1 ||
	fail "piuparts: $(grep -A 10 -E 'ERROR|FAIL' "$scratch/piuparts.log" | head -n 60)"
grep 'PASS:' "$scratch/piuparts.log"
