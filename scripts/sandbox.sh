#!/bin/sh
# Runs a command in a private mount namespace with a root directory of its
# own, in which each directory two levels below ROOT, such as ROOT/etc/vemrik,
# stands in for the same one on the host (/etc/vemrik): the caller lays out
# there the product's directories, so that the daemon finds a test's, the
# demo's or the benchmark's configuration file and tool at their fixed paths,
# sees nothing of a real installation, and nothing on the host changes.
#
#   sandbox.sh ROOT COMMAND [ARG...]
#
# ROOT lies in the caller's scratch directory, below /tmp, which is there,
# writable, at its own path. The rest of /tmp, /bin (but sh, a copy), /etc,
# /opt and any other directory that ROOT lays something in are the host's,
# read-only; /dev is the host's, and every other entry of the host's root is
# a link into it, at /.host. The root directory, those laid on it and /bin/sh
# are the namespace root's, since the daemon runs only what no one but root
# can change on the way to it and to the interpreter of a script: as root a
# mount namespace needs nothing more, and anyone else is made root of a user
# namespace first, where the host's own directories show as the overflow ID.
# Where an ordinary user can have no namespace, or no overlay in one (Linux
# before 5.11), it says why, in a line that begins with "sandbox: " on
# standard error, and exits with 125 before the command has run; as root that
# is a fault, and the line begins with "sandbox failed: ". ROOT must be an
# absolute path without ':' or ','.
set -eu
root=$1
shift

namespace="--mount --propagation private"
cannot="sandbox failed:"
if [ "$(id -u)" -ne 0 ]; then
	namespace="--user --map-root-user $namespace"
	cannot="sandbox:"
fi
# shellcheck disable=SC2086 # the options are words of their own
if ! why=$(unshare $namespace true 2>&1); then
	echo "$cannot no private mount namespace here: $why" >&2
	exit 125
fi

# The new root is a tmpfs made in ROOT/.sandbox, the read-only overlays give
# /bin, /etc, /opt and /tmp entries of their own over the host's (ROOT/etc/vemrik,
# say) and owners of the namespace's, and bind mounts of what ROOT lays out
# and of the scratch directory hide what the host keeps there. The old root
# stays at /.host. All vanish with the namespace.
# shellcheck disable=SC2086,SC2016 # the options are words; the inner script expands its own arguments
exec unshare $namespace sh -c '
	set -eu
	cannot=$1 root=$2
	shift 2
	fail() { echo "$cannot $*" >&2; exit 125; }
	here=$(pwd) box=$root/.sandbox mask=$(umask)
	new=$box/root
	umask 022 # the caller'"'"'s mask is for the command
	mkdir -p "$box"
	mount -t tmpfs -o mode=0755 sandbox "$box" || fail "cannot mount a tmpfs on $box"
	tops="bin etc opt tmp"
	for laid in "$root"/*/; do
		laid=${laid%/}
		[ ! -d "$laid" ] || case " $tops " in *" ${laid##*/} "*) ;; *) tops="$tops ${laid##*/}" ;; esac
	done
	# The directories, made by two processes, since each is a cost of every
	# start; in a function, so that its list has positional parameters of its
	# own. /tmp, which is always among them, is sticky.
	make_directories() {
		set -- "$new" "$new/.host" "$new/dev" "$box/layers"
		for top in $tops; do
			[ "$top" = tmp ] || set -- "$@" "$new/$top" "$box/layers/$top"
		done
		mkdir -m 0755 "$@"
		mkdir -m 1777 "$new/tmp" "$box/layers/tmp"
	}
	make_directories
	mount --bind "$new" "$new"
	# The devices as they are, so that a descriptor of one reads back by its name.
	mount --rbind /dev "$new/dev"
	for top in $tops; do
		lower=$box/layers/$top
		# The shell that scripts name on their first line is judged with them.
		[ "$top" != bin ] || cp /bin/sh "$lower/sh"
		[ ! -d "$root/$top" ] || lower=$lower:$root/$top
		[ ! -d "/$top" ] || lower=$lower:/$top
		mount -t overlay overlay -o "ro,lowerdir=$lower" "$new/$top" || fail "cannot lay an overlay on /$top"
	done
	# Every other entry of the root of the host, as a link into the old root; in a
	# function, so that its list has positional parameters of its own.
	link_the_rest() {
		set --
		for entry in /.[!.]* /*; do
			[ -e "$entry" ] || [ -L "$entry" ] || continue
			[ -e "$new$entry" ] || [ -L "$new$entry" ] || set -- "$@" "/.host$entry"
		done
		ln -s "$@" "$new/"
	}
	link_the_rest
	for laid in "$root"/*/*/; do
		[ -d "$laid" ] || continue
		laid=${laid%/}
		mount --bind "$laid" "$new${laid#"$root"}" || fail "cannot lay $laid over ${laid#"$root"}"
	done
	scratch=${root%/*}
	mount --bind "$scratch" "$new$scratch" || fail "cannot lay $scratch, which holds $root, in /tmp"
	cd "$new"
	pivot_root . .host
	cd "$here"
	umask "$mask"
	exec "$@"
' sh "$cannot" "$root" "$@"
