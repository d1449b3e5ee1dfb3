# How the service stands, and waits on it that end as soon as systemd says
# that no progress can come. The service test runs each command on the host
# itself; the project's container check runs them from outside, through the
# command that $on names, and says in still_there when its container is gone.
# shellcheck shell=sh
on=${on:-}
still_there() { :; }
show() { $on systemctl show -p "$1" --value vexlantor.service; }
unit_state() {
	$on systemctl show -p MainPID,ActiveState,SubState,Result,ConditionResult,NRestarts vexlantor.service |
		paste -sd' '
}
# Waits as long as the condition takes to come true, and fails at once when
# systemd has given up on the service, never started it, left it stopped with
# nothing queued, or runs it without knowing its main process. A restart
# passes through "inactive" with a start queued.
wait_until() { # WHAT COMMAND...
	what=$1
	shift
	until "$@"; do
		still_there
		before=$(unit_state)
		case $before in
		*ActiveState=inactive*) [ -n "$($on systemctl list-jobs --no-legend vexlantor.service)" ] ||
			[ "$(unit_state)" != "$before" ] || stuck=$before ;;
		*ActiveState=failed* | *ConditionResult=no* | *"MainPID=0 "*SubState=running*) stuck=$before ;;
		esac
		[ -z "${stuck:-}" ] ||
			fail "waiting for $what, the service is $stuck: $($on journalctl -u vexlantor.service --no-pager | tail -n 20)"
		sleep 0.1
	done
}
main_is() { [ "$($on readlink "/proc/$(show MainPID)/exe")" = "$1" ]; }
