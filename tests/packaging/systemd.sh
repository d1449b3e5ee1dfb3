#!/bin/sh
# The .deb and the .rpm under the real systemd of a Debian release, booted in
# a container (systemd-nspawn, a root made by mmdebstrap): the package's own
# tests (debian/tests), run there by the release's autopkgtest, and what they
# cannot say: the upgrade from 1.1.0 and from the signed repository, another
# key refused, removal and purge, and the .rpm. Each stage says when it has
# passed; the waits end as soon as systemd says that no progress can come.
#
#   systemd.sh BUILD_DIR SOURCE_DIR RELEASE
# shellcheck disable=SC2016 # each sh -c script expands its own arguments
. "$(dirname "$0")/lib.sh"
release=$3
need_packages
need unshare nsenter systemd-nspawn reprepro createrepo_c gpg git cpack
debian_root systemd "$release"

stage() {
	[ -z "${stage:-}" ] || echo "passed: $stage"
	stage=$1
	[ -z "$stage" ] || echo "stage: $stage"
}

old_release "$release"

root=$scratch/root
mkdir "$root"
tar -C "$root" -xzf "$root_image"
# The stand-in tool at the default root, so that the unit's condition holds.
state=/var/lib/stand-in
stand_in "$root"
# A stand-in SLP agent under the usual name, running from boot.
printf '[Service]\nExecStart=/bin/sleep infinity\n[Install]\nWantedBy=multi-user.target\n' \
	>"$root/etc/systemd/system/slpd.service"
mkdir -p "$root/etc/systemd/system/multi-user.target.wants"
ln -s ../slpd.service "$root/etc/systemd/system/multi-user.target.wants/slpd.service"
# The host installs from the release's apt repository, as a fleet does, and
# from nowhere else.
key=$(new_key "$scratch/gnupg")
publish_into "$scratch/gnupg" "$key" "$packages" "$scratch/repositories"
lay_repository() { rm -rf "$root/srv/vexlantor" && mkdir -p "$root/srv" && cp -R "$scratch/repositories/apt" "$root/srv/vexlantor"; }
lay_repository
mkdir -p "$root/etc/apt/keyrings"
cp "$scratch/repositories/vexlantor-archive-keyring.gpg" "$root/etc/apt/keyrings/vexlantor.gpg"
rm -f "$root/etc/apt/sources.list" "$root"/etc/apt/sources.list.d/*
echo "deb [signed-by=/etc/apt/keyrings/vexlantor.gpg] file:/srv/vexlantor $release main" \
	>"$root/etc/apt/sources.list.d/vexlantor.list"
[ -z "${old:-}" ] || cp "$old" "$root/root/vexlantor-1.1.0.deb"

# systemd-nspawn wants a /run of its own.
unshare --mount --propagation private sh -c 'mount -t tmpfs tmpfs /run && exec systemd-nspawn --quiet -D "$1" -b \
	--register=no --keep-unit --console=passive --private-network --link-journal=no' sh "$root" \
	>"$scratch/nspawn.log" 2>&1 &
nspawn=$!
trap 'kill "$nspawn" 2>/dev/null; wait "$nspawn"; rm -rf "$scratch"' EXIT
leader=
until [ "$(cat "/proc/$leader/comm" 2>/dev/null)" = systemd ]; do
	if ! kill -0 "$nspawn" 2>/dev/null; then
		echo "skipped: no container boots here: $(cat "$scratch/nspawn.log")"
		exit 77
	fi
	sleep 0.1
	leader=$(ps -o pid= --ppid "$nspawn" | tr -d ' ')
done
inside() { nsenter -t "$leader" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
until booted=$(inside systemctl is-system-running --wait 2>/dev/null) || [ "$booted" = degraded ]; do
	kill -0 "$nspawn" 2>/dev/null || fail "the container ended while booting: $(cat "$scratch/nspawn.log")"
	sleep 0.1
done
# The waits of the package's service test, on the container from outside,
# which fail at once too when the container is gone.
on=inside
# shellcheck source=../../debian/tests/unit.sh
. "$source/debian/tests/unit.sh"
still_there() { kill -0 "$nspawn" 2>/dev/null || fail "the container ended, waiting for $what"; }
restarted() { [ "$(show MainPID)" != "$main" ] && main_is /usr/sbin/vexlantor; }
registration_count() { wc -l <"$root$state/registrations"; }
registered_again() { [ "$(registration_count)" -gt "$registrations" ] && [ "$(show SubState)" = running ]; }
# What is left of the package: the repository, its source and keyring and
# apt's copies of it are the administrator's, not the package's.
left_behind() { # FIND-CONDITIONS...
	inside find / -xdev -name '*vexlantor*' ! -path '/root/vexlantor*' ! -path '/srv/vexlantor*' ! -path '/etc/apt/*' \
		! -path '/var/lib/apt/lists/*' ! -path '/var/cache/apt/*' "$@" || fail "find"
}

if [ -n "${old:-}" ]; then
	stage "release 1.1.0 installed and its logrotate file edited, then upgraded from the signed repository"
	logged "dpkg -i 1.1.0" inside dpkg -i /root/vexlantor-1.1.0.deb
	wait_until "1.1.0 to run" main_is /opt/vemrik/halvern/bin/vexlantor
	echo "# kept by the administrator" >>"$root/etc/logrotate.d/vexlantor"
	cp "$root/etc/logrotate.d/vexlantor" "$scratch/edited"
else
	stage "installed from the signed repository, which starts the service"
fi
rm -f "$root$state/args"
logged "apt-get install" inside sh -c 'apt-get update && apt-get install -y vexlantor'
grep -E "^(Get|Setting up)" "$scratch/logged.log"
wait_until "the daemon to run" main_is /usr/sbin/vexlantor
[ "$(inside systemctl is-enabled vexlantor.service)" = enabled ] || fail "the service is not enabled"
if [ -n "${old:-}" ]; then
	cmp -s "$scratch/edited" "$root/etc/logrotate.d/vexlantor" || fail "the edited logrotate file was replaced"
	left=$(inside find /opt -name '*vexlantor*')
	[ -z "$left" ] || fail "left under /opt by the upgrade: $left"
fi

stage "the package's own tests under this systemd, run by the release's autopkgtest"
# What an operator runs on a test host of their own: the source package's
# debian/tests against the installed .deb, on the host itself (null). The
# host is a container with systemd as PID 1, which null does not claim to be
# from Debian 13 on, and is thrown away, so it may be broken for other tests.
cp "$packages"/vexlantor_*.dsc "$packages"/vexlantor_*.tar.* "$packages"/vexlantor_*_amd64.deb "$root/root/"
inside sh -c 'cd /root && autopkgtest --test-name=service --ignore-restrictions=breaks-testbed,isolation-container \
	vexlantor_*_amd64.deb vexlantor_*.dsc -- null' \
	>"$scratch/autopkgtest.log" 2>&1 || fail "autopkgtest: $(tail -n 60 "$scratch/autopkgtest.log")"
grep -E '^service +PASS' "$scratch/autopkgtest.log" || fail "service did not pass: $(tail -n 20 "$scratch/autopkgtest.log")"

stage "a newer build published into the same repository, taken by apt-get upgrade with the edited logrotate file kept"
cp "$root/etc/logrotate.d/vexlantor" "$scratch/logrotate-before"
echo "# kept by the administrator through the upgrade" >>"$root/etc/logrotate.d/vexlantor"
cp "$root/etc/logrotate.d/vexlantor" "$scratch/edited"
newer=$(dpkg-deb -f "$packages"/vexlantor_*_amd64.deb Version)+check1
packages_changed "$scratch/newer" sed -i "s/^Version: .*/Version: $newer/" DEBIAN/control
publish_into "$scratch/gnupg" "$key" "$scratch/newer" "$scratch/repositories"
lay_repository
main=$(show MainPID)
logged "apt-get upgrade" inside sh -c 'apt-get update && apt-get upgrade -y'
grep -E "^(Get|Unpacking|Setting up)" "$scratch/logged.log"
[ "$(inside dpkg-query -W -f='${Version}' vexlantor)" = "$newer" ] || fail "apt-get upgrade did not bring $newer"
cmp -s "$scratch/edited" "$root/etc/logrotate.d/vexlantor" || fail "the upgrade replaced the edited logrotate file"
wait_until "the daemon to run again after the upgrade" restarted

stage "a repository signed by another key, which apt refuses"
other=$(new_key "$scratch/other")
publish_into "$scratch/other" "$other" "$packages" "$scratch/other-repositories"
cp -R "$scratch/other-repositories/apt" "$root/srv/other"
echo "deb [signed-by=/etc/apt/keyrings/vexlantor.gpg] file:/srv/other $release main" \
	>"$root/etc/apt/sources.list.d/other.list"
inside apt-get update >"$scratch/apt.log" 2>&1 || true
# In apt's words: gpgv's before Debian 13, sqv's since.
grep -m 1 -E "NO_PUBKEY|Missing key" "$scratch/apt.log" || fail "apt did not refuse another key: $(cat "$scratch/apt.log")"
rm -r "$root/etc/apt/sources.list.d/other.list" "$root/srv/other"

stage "removed while the daemon runs, then purged, with nothing left"
main=$(show MainPID)
logged "dpkg -r" inside dpkg -r vexlantor
inside sh -c '! kill -0 "$1" 2>/dev/null' sh "$main" || fail "the daemon outlived its package"
logged "dpkg -P" inside dpkg -P vexlantor
left=$(left_behind)
[ -z "$left" ] || fail "left after purge: $left"
# logrotate's record of the logs is logrotate's, which forgets a file that no
# configuration names once a year has passed since its last rotation: with
# the record made that much older, its next run drops it.
status=$root/var/lib/logrotate/status
grep -q '^"/var/log/vexlantor/' "$status" || fail "logrotate's state never named the logs"
sed -i 's|^\("/var/log/vexlantor/[^"]*"\) [0-9]*-|\1 2000-|' "$status"
inside logrotate /etc/logrotate.conf || fail "logrotate"
! grep -q vexlantor "$status" || fail "logrotate's state still names the logs: $(cat "$status")"

stage "the .rpm under the same systemd, with Debian's rpm, on a host whose preset policy enables nothing: enabled, started by the agent, sandboxed"
cp "$packages"/vexlantor-*.rpm "$root/root/vexlantor.rpm"
cp "$packages"/release-2/vexlantor-*-2*.x86_64.rpm "$root/root/vexlantor-2.rpm"
# The RPM hosts' policy: only what a preset names is enabled.
mkdir -p "$root/usr/lib/systemd/system-preset"
echo 'disable *' >"$root/usr/lib/systemd/system-preset/99-default-disable.preset"
# Its scriptlets are systemd 219's: the preset on installation, which the
# package's own preset file turns to enable, and no start...
logged "rpm -Uvh" inside rpm -Uvh --nodeps /root/vexlantor.rpm
enabled=$(inside systemctl is-enabled vexlantor.service) || true
echo "under a default-off preset policy the .rpm leaves the service $enabled, $(show ActiveState)"
[ "$enabled" = enabled ] || fail "the .rpm's preset /usr/lib/systemd/system-preset/80-vexlantor.preset did not enable it"
[ "$(show ActiveState)" = inactive ] || fail "the .rpm's installation started the service: $(unit_state)"
# ...so that the agent's start brings it up.
registrations=$(registration_count)
inside systemctl stop slpd.service
inside systemctl start slpd.service
wait_until "the .rpm's daemon to register after the agent's start" registered_again
# This systemd knows every sandboxing setting, which %post laid as a drop-in.
for setting in $sandboxing; do
	[ "$(show "$setting")" = yes ] || fail "$setting is '$(show "$setting")' under the .rpm's unit"
done

stage "the .rpm upgraded to release 2, then erased"
# ...a restart of the running service on upgrade...
main=$(show MainPID)
logged "rpm -Uvh release 2" inside rpm -Uvh --nodeps /root/vexlantor-2.rpm
case $(inside rpm -q --qf '%{RELEASE}' vexlantor) in 2*) ;; *) fail "rpm -Uvh did not bring release 2" ;; esac
wait_until "the daemon to run again after the .rpm's upgrade" restarted
# ...and on erasure the service disabled and stopped.
logged "rpm -e" inside rpm -e vexlantor
[ "$(show ActiveState)" = inactive ] || fail "erasing the .rpm left the service $(unit_state)"
! inside systemctl is-enabled vexlantor.service >/dev/null 2>&1 || fail "erasing the .rpm left the service enabled"
# The logs stay, as an RPM package's own logs do.
left=$(left_behind ! -path '/var/lib/rpm/*' ! -path '/var/log/vexlantor*')
[ -z "$left" ] || fail "left after erasing the .rpm: $left"
stage ""
echo "systemd on $release: every stage passed"
