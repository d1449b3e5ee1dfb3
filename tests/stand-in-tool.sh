#!/bin/sh
# The stand-in registration tool of the tests, the demo, the benchmark and the
# container checks: put at the tool's path, it takes the tool's options and
# does, run by run, what its directory says. That directory is $STAND_IN_DIR,
# or /var/lib/stand-in:
#
#   runs           the number of runs so far
#   args           each run's arguments, after a line "run N"
#   steps/N        shell code for run N; steps/default for the runs without
#                  one; a run with neither succeeds
#   last           where present, the number of runs planned: later ones
#                  fail with 99
#   registrations  "RUN SINCE UNTIL" for each run that succeeded: what an SLP
#                  agent keeps, for the 600-second lifetime on a clock that
#                  setting the wall clock does not move
#   clock          where present, the test clock's file: "WALL ELAPSED"
#
# A step can call: advance N (N seconds pass on the test clock), step N (the
# wall clock alone is set N seconds on), hang (blocks until killed), stray
# (leaves a child in the tool's process group, its PID in "stray"), announce
# (says what it registered), and exit N. Shell built-ins only elsewhere, since
# a process costs more than a cycle of the daemon.
# shellcheck disable=SC2317,SC1090,SC1091 # the steps, sourced at run time, call the functions
dir=${STAND_IN_DIR:-/var/lib/stand-in}
run=0
[ ! -f "$dir/runs" ] || read -r run <"$dir/runs"
run=$((run + 1))
echo "$run" >"$dir/runs"
{
	echo "run $run"
	printf '%s\n' "$@"
} >>"$dir/args"

# Replaces the clock's file, so that the daemon never reads it half written.
clocks() {
	read -r wall elapsed <"$dir/clock"
	echo "$((wall + $1)) $((elapsed + $2))" >"$dir/clock.tool"
	mv "$dir/clock.tool" "$dir/clock"
}
advance() { clocks "$1" "$1"; }
step() { clocks "$1" 0; }
hang() {
	: >"$dir/hanging"
	exec sleep 100000
}
stray() {
	sleep 100000 &
	echo $! >"$dir/stray"
}
announce() {
	for arg; do
		case $arg in
		--url=*) url=${arg#--url=} ;;
		--attributes=*) attributes=${arg#--attributes=} ;;
		--lifetime=*) lifetime=${arg#--lifetime=} ;;
		esac
	done
	echo "trindlet: registered $url $attributes for $lifetime seconds"
}

if [ -f "$dir/last" ]; then
	read -r last <"$dir/last"
	[ "$run" -le "$last" ] || exit 99
fi
if [ -f "$dir/steps/$run" ]; then
	. "$dir/steps/$run"
elif [ -f "$dir/steps/default" ]; then
	. "$dir/steps/default"
fi

if [ -f "$dir/clock" ]; then
	read -r _ elapsed <"$dir/clock"
else
	read -r elapsed _ </proc/uptime
	elapsed=${elapsed%.*}
fi
echo "$run $elapsed $((elapsed + 600))" >>"$dir/registrations"
exit 0
