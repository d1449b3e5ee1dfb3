#!/bin/sh
# Runs a command in a private mount namespace in which each directory two
# levels below ROOT, such as ROOT/etc/vemrik, stands in for the same one on
# the host (/etc/vemrik): the caller lays out there the product's
# directories, so that the daemon finds a test's, the demo's or the
# benchmark's configuration file and tool at their fixed paths, sees nothing
# of a real installation, and nothing on the host changes.
#
#   sandbox.sh ROOT COMMAND [ARG...]
#
# As root a mount namespace needs nothing more; anyone else is made root of a
# user namespace first. Where neither can be had it says why, in a line that
# begins with "sandbox: " on standard error, and exits with 125 before the
# command has run. ROOT must be an absolute path without ':' or ','.
set -eu
root=$1
shift

namespace="--mount --propagation private"
[ "$(id -u)" -eq 0 ] || namespace="--user --map-root-user $namespace"
# shellcheck disable=SC2086 # the options are words of their own
if ! why=$(unshare $namespace true 2>&1); then
	echo "sandbox: no private mount namespace here: $why" >&2
	exit 125
fi

# A read-only overlay with ROOT/A as the upper layer gives /A a B entry, where
# the host has none; a bind mount of ROOT/A/B over it then hides whatever the
# host keeps there. Both vanish with the namespace.
# shellcheck disable=SC2086,SC2016 # the options are words; the inner script expands its own arguments
exec unshare $namespace sh -c '
	root=$1
	shift
	for laid in "$root"/*/*/; do
		[ -d "$laid" ] || continue
		laid=${laid%/}
		dir=${laid#"$root"}
		top=${dir%/*}
		mount -t overlay overlay -o "ro,lowerdir=$root$top:$top" "$top" &&
			mount --bind "$laid" "$dir" ||
			{ echo "sandbox: cannot lay $laid over $dir" >&2; exit 125; }
	done
	exec "$@"
' sh "$root" "$@"
