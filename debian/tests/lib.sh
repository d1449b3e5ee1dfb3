# What the package's tests share, sourced from the source tree's top, which is
# where autopkgtest runs them: the stand-in registration tool of the project's
# tests at the tool's path that the installed unit names, and the arguments
# it must be given.
# shellcheck shell=sh disable=SC2034 # the tests use what is set here
set -eu
fail() {
	echo "FAILED: $*" >&2
	exit 1
}
unit=/lib/systemd/system/vexlantor.service
# The unit starts only where the product's configuration file or its tool is
# there: the second names the tool at the default root.
tool=$(sed -n 's/^ConditionPathExists=|//p' "$unit" | sed -n 2p)
[ -n "$tool" ] || fail "$unit names no tool"
bin=${tool%/*}
state=/var/lib/stand-in
mkdir -p "$bin" "$state/steps"
cp tests/stand-in-tool.sh "$tool"
chmod 0755 "$tool"
# The options as the command line writes them, and as the tool gets them.
options=$(paste -sd' ' tests/tool-options)
[ -n "$options" ] || fail "no options in tests/tool-options"
eval "set -- $options"
printf '%s\n' "$@" >"$state/expected-arguments"
registrations() { if [ -f "$state/registrations" ]; then wc -l <"$state/registrations"; else echo 0; fi; }
# Whether the last run of the tool was given the options.
given_the_arguments() {
	tail -n "$(wc -l <"$state/expected-arguments")" "$state/args" | cmp -s - "$state/expected-arguments"
}
