#!/bin/sh
# Runs a command in a private mount namespace in which /etc/vemrik and
# /opt/vemrik, where the product keeps its configuration and its programs,
# are ROOT/etc/vemrik and ROOT/opt/vemrik: the daemon finds a test's, the
# demo's or the benchmark's configuration file and tool at their fixed paths,
# sees nothing of a real installation, and nothing on the host changes.
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
mkdir -p "$root/etc/vemrik" "$root/opt/vemrik"

# A read-only overlay with ROOT's directory as the upper layer gives /etc and
# /opt a "vemrik" entry; a bind mount over it then hides whatever the host
# keeps there. Both vanish with the namespace.
# shellcheck disable=SC2086,SC2016 # the options are words; the inner script expands its own arguments
exec unshare $namespace sh -c '
	root=$1
	shift
	for dir in etc opt; do
		mount -t overlay overlay -o "ro,lowerdir=$root/$dir:/$dir" "/$dir" &&
			mount --bind "$root/$dir/vemrik" "/$dir/vemrik" ||
			{ echo "sandbox: cannot lay $root/$dir/vemrik over /$dir/vemrik" >&2; exit 125; }
	done
	exec "$@"
' sh "$root" "$@"
