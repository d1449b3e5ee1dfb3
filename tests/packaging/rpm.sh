#!/bin/sh
# The .rpm: rpmlint, its files, flags, owners and requires, a gzip payload and
# no rpm feature newer than 4.6's, the scriptlets of systemd 219's macros, a
# unit with no setting that systemd 219 does not know and its sandboxing laid
# only where systemd knows it, and its static daemon run in a chroot with
# nothing else but a static shell.
#
#   rpm.sh BUILD_DIR SOURCE_DIR
. "$(dirname "$0")/lib.sh"
need_packages
need rpm rpmlint rpm2cpio cpio
package=$(ls "$packages"/vexlantor-*.rpm)
lint=$(rpmlint -r "$source/packaging/rpm/vexlantor.rpmlintrc" "$package" "$packages/vexlantor.spec" 2>&1) || true
echo "$lint"
case $lint in *" 0 errors, 0 warnings,"*) ;; *) fail "rpmlint reports errors or warnings" ;; esac
mkdir "$scratch/x"
(cd "$scratch/x" && rpm2cpio "$package" | cpio -idm --quiet)
# The RPM hosts keep units in /usr/lib; the preset and the unit's sandboxing
# are the .rpm's own.
expect_installed "the .rpm" "$(modes "$scratch/x" | grep -v -e ' /usr/lib/systemd/system-preset/80-vexlantor.preset$' \
	-e ' /usr/share/vexlantor/sandboxing.conf$' | sed 's, /usr/lib/systemd/, /lib/systemd/,' | sort)"
# Owned by root, with its two directories, the configuration kept on
# upgrade, and the documents marked as such.
flags=$(rpm -qp --qf '[%{FILENAMES} %{FILEMODES:perms} %{FILEUSERNAME}:%{FILEGROUPNAME} %{FILEFLAGS:fflags}\n]' \
	"$package" | grep -v -e '^[^ ]* -[^ ]* root:root $' | sort)
[ "$flags" = "/etc/logrotate.d/vexlantor -rw-r--r-- root:root cn
/usr/lib/systemd/system/vexlantor.service.d drwxr-xr-x root:root 
/usr/lib/systemd/system/vexlantor.service.d/sandboxing.conf lrwxrwxrwx root:root g
/usr/share/doc/vexlantor drwxr-xr-x root:root 
/usr/share/doc/vexlantor/copyright -rw-r--r-- root:root dl
/usr/share/man/man8/vexlantor.8.gz -rw-r--r-- root:root d
/usr/share/vexlantor drwxr-xr-x root:root 
/var/log/vexlantor drwxr-xr-x root:root " ] || fail "files in the rpm: $flags"
# rpm 4.11 reads gzip and refuses zstd, whatever the build host chose; nor
# may the package need any other rpm feature newer than 4.6's.
[ "$(rpm -qp --qf '%{PAYLOADCOMPRESSOR}' "$package")" = gzip ] || fail "the payload is not gzip"
newer=$(rpm -qp --requires "$package" | grep '^rpmlib(' | grep -v '<= \([0-3]\|4\.[0-6]\)[.-]') || true
[ -z "$newer" ] || fail "the package needs a newer rpm: $newer"
# Nor anything else than docs/packaging.md says: no shared library, and of glibc
# only rtld(GNU_HASH), which the static PIE's hash table brings.
requires=$(rpm -qp --requires "$package" | grep -v '^rpmlib(' | sort -u)
[ "$requires" = "/bin/sh
config(vexlantor) = $(rpm -qp --qf '%{VERSION}-%{RELEASE}' "$package")
logrotate
rtld(GNU_HASH)
systemd" ] || fail "the package requires: $requires"
# shellcheck disable=SC2016 # the backquotes are the document's own
tr '\n' ' ' <"$source/docs/packaging.md" | grep -q 'and the .rpm requires logrotate, systemd, /bin/sh and `rtld(GNU_HASH)`' ||
	fail "docs/packaging.md no longer says what the .rpm requires"
# The scriptlets are what systemd 219's macros expand to, after, in %post,
# the laying of the unit's sandboxing.
for scriptlet in POSTIN:systemd_post PREUN:systemd_preun POSTUN:systemd_postun_with_restart; do
	actual=$(rpm -qp --qf "%{${scriptlet%%:*}}" "$package" | sed 's/ *$//; /^$/d')
	expected=$(rpm --load "$source/packaging/rpm/macros.systemd" --eval "%${scriptlet#*:} vexlantor.service" | sed 's/ *$//; /^$/d')
	[ "${scriptlet%%:*}" != POSTIN ] || actual=$(echo "$actual" | sed '1,/^fi$/d')
	if [ -z "$expected" ] || [ "$actual" != "$expected" ]; then
		fail "the ${scriptlet%%:*} scriptlet is not %${scriptlet#*:}: $actual"
	fi
done
# The unit holds only settings that systemd 219 knows, which would warn of
# any other at every load; with its sandboxing, those of the .deb's unit.
known_to_219="After ConditionPathExists Description Documentation ExecStart ExecStartPre ExecStopPost NotifyAccess
PartOf Restart RestartSec StartLimitInterval Type Wants WantedBy"
unknown=$(settings "$scratch/x/usr/lib/systemd/system/vexlantor.service" | grep -vxF "$(echo "$known_to_219" | tr ' ' '\n')") || true
[ -z "$unknown" ] || fail "the .rpm's unit has settings that systemd 219 does not know: $unknown"
install_tree "$scratch/tree" --prefix /usr
[ "$(settings "$scratch/x/usr/lib/systemd/system/vexlantor.service" "$scratch/x/usr/share/vexlantor/sandboxing.conf")" = \
	"$(settings "$scratch/tree/lib/systemd/system/vexlantor.service")" ] || fail "the .rpm's unit and sandboxing differ from the .deb's unit"
daemon=$scratch/x/usr/sbin/vexlantor
expect_static_daemon "$daemon"
box=$scratch/box
mkdir -p "$box/usr/sbin"
cp "$daemon" "$box/usr/sbin/"
expect_runs_alone "$box"
# %post lays the sandboxing where systemd knows it, and only there: run in the
# chroot, under a systemctl that says it is of each version in turn.
dropin=/usr/lib/systemd/system/vexlantor.service.d/sandboxing.conf
mkdir -p "$box/usr/bin" "$box/dev" "$box${dropin%/*}" "$box/usr/share/vexlantor"
mknod -m 666 "$box/dev/null" c 1 3 && ln -s sh "$box/bin/sed" && ln -s sh "$box/bin/ln"
: >"$box/usr/share/vexlantor/sandboxing.conf"
# shellcheck disable=SC2016 # a script of its own, which expands its own
printf '#!/bin/sh\nread -r v </version\n[ "$1" != --version ] || echo "systemd $v"\n' >"$box/usr/bin/systemctl"
chmod +x "$box/usr/bin/systemctl"
for version in 219:absent 244:absent 245:laid 257:laid; do
	echo "${version%:*}" >"$box/version"
	chroot "$box" /bin/sh -c "PATH=/usr/bin:/bin; $(rpm -qp --qf '%{POSTIN}' "$package")" sh 1 || fail "%post under ${version%:*}"
	laid=absent && [ ! -e "$box$dropin" ] || laid=laid
	[ "$laid" = "${version#*:}" ] || fail "%post under systemd ${version%:*} left the sandboxing $laid"
done
echo "package $(basename "$package"): rpmlint, files, requires, gzip, systemd 219's scriptlets and settings, the sandboxing laid from systemd 245 on, a static PIE that runs in an empty chroot"
