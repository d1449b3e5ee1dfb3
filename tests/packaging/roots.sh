#!/bin/sh
# What a release's checks start from, made once and kept: its minimal root
# for piuparts, its root with systemd for the container, and release 1.1.0's
# package to upgrade from. Made here, beside the rest of the suite, rather
# than inside the container checks, which run one at a time.
#
#   roots.sh BUILD_DIR SOURCE_DIR RELEASE
. "$(dirname "$0")/lib.sh"
release=$3
debian_root minbase "$release"
debian_root systemd "$release"
old_release "$release"
echo "ready: the minimal and systemd roots of $release${old:+, and the package of release 1.1.0}"
