#!/bin/sh
# The .rpm: rpmlint, its files, flags and owners, a gzip payload and no rpm
# feature newer than 4.6's, the scriptlets of systemd 219's macros, and its
# static daemon run in a chroot with nothing else but a static shell.
#
#   rpm.sh BUILD_DIR SOURCE_DIR
. "$(dirname "$0")/lib.sh"
need_packages
need rpm rpmlint rpm2cpio cpio chroot busybox python3
busybox=$(command -v busybox)
if readelf -l "$busybox" | grep -q INTERP; then
	echo "skipped: $busybox is not the static one (busybox-static)"
	exit 77
fi
package=$(ls "$packages"/vexlantor-*.rpm)
lint=$(rpmlint -r "$source/packaging/rpm/vexlantor.rpmlintrc" "$package" "$packages/vexlantor.spec" 2>&1) || true
echo "$lint"
case $lint in *" 0 errors, 0 warnings,"*) ;; *) fail "rpmlint reports errors or warnings" ;; esac
mkdir "$scratch/x"
(cd "$scratch/x" && rpm2cpio "$package" | cpio -idm --quiet)
# The RPM hosts keep units in /usr/lib.
expect_installed "the .rpm" "$(modes "$scratch/x" | sed 's, /usr/lib/systemd/, /lib/systemd/,' | sort)"
# Owned by root, with its two directories, the configuration kept on
# upgrade, and the documents marked as such.
flags=$(rpm -qp --qf '[%{FILENAMES} %{FILEMODES:perms} %{FILEUSERNAME}:%{FILEGROUPNAME} %{FILEFLAGS:fflags}\n]' \
	"$package" | grep -v -e '^[^ ]* -[^ ]* root:root $' | sort)
[ "$flags" = "/etc/logrotate.d/vexlantor -rw-r--r-- root:root cn
/usr/share/doc/vexlantor drwxr-xr-x root:root 
/usr/share/doc/vexlantor/copyright -rw-r--r-- root:root dl
/usr/share/man/man8/vexlantor.8.gz -rw-r--r-- root:root d
/var/log/vexlantor drwxr-xr-x root:root " ] || fail "files in the rpm: $flags"
# rpm 4.11 reads gzip and refuses zstd, whatever the build host chose; nor
# may the package need any other rpm feature newer than 4.6's.
[ "$(rpm -qp --qf '%{PAYLOADCOMPRESSOR}' "$package")" = gzip ] || fail "the payload is not gzip"
newer=$(rpm -qp --requires "$package" | grep '^rpmlib(' | grep -v '<= \([0-3]\|4\.[0-6]\)[.-]') || true
[ -z "$newer" ] || fail "the package needs a newer rpm: $newer"
# The scriptlets are what systemd 219's macros expand to, and nothing else.
for scriptlet in POSTIN:systemd_post PREUN:systemd_preun POSTUN:systemd_postun_with_restart; do
	actual=$(rpm -qp --qf "%{${scriptlet%%:*}}" "$package" | sed 's/ *$//; /^$/d')
	expected=$(rpm --load "$source/packaging/rpm/macros.systemd" --eval "%${scriptlet#*:} vexlantor.service" | sed 's/ *$//; /^$/d')
	if [ -z "$expected" ] || [ "$actual" != "$expected" ]; then
		fail "the ${scriptlet%%:*} scriptlet is not %${scriptlet#*:}: $actual"
	fi
done
daemon=$scratch/x/usr/sbin/vexlantor
expect_static_daemon "$daemon"
# On a host with nothing else but a static shell, it detaches, runs the
# tool at the default root with the fixed arguments, traces, and ends
# with the tool's status, which a subreaper collects.
box=$scratch/box
mkdir -p "$box/bin" "$box/usr/sbin"
cp "$busybox" "$box/bin/sh"
cp "$daemon" "$box/usr/sbin/"
stand_in "$box" 'echo "trindlet ran"; exit 3'
status=$(python3 -c '
import ctypes, os, subprocess, sys
ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
daemon = int(subprocess.run(sys.argv[1:], stdout=subprocess.PIPE, check=True).stdout)
print(os.waitstatus_to_exitcode(os.waitpid(daemon, 0)[1]))
' chroot "$box" /usr/sbin/vexlantor /err /log)
[ "$status" = 3 ] || fail "the daemon ended with $status"
sed -n '1s/^Current time = [0-9]*$/ok/p;2s/^Time after = [0-9]*$/ok/p;3,$p' "$box/log" >"$scratch/log"
printf 'ok\nok\n%s %s\ntrindlet ran\n' "$registration_line" "$(tool_options)" | cmp -s - "$scratch/log" ||
	fail "the log: $(cat "$box/log")"
[ "$(cat "$box/err")" = "vexlantor could not run ${tool%/*}/../bin/trindlet" ] || fail "the errors: $(cat "$box/err")"
given_the_arguments "$box" || fail "the arguments"
echo "package $(basename "$package"): rpmlint, files, gzip, systemd 219's scriptlets, a static PIE that runs in an empty chroot"
