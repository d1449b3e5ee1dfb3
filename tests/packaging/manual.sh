#!/bin/sh
# The manual page, as mandoc's lint sees it.
#
#   manual.sh BUILD_DIR SOURCE_DIR
. "$(dirname "$0")/lib.sh"
need mandoc
out=$(mandoc -T lint -W warning "$build/packaging/vexlantor.8" 2>&1) || fail "mandoc: $out"
[ -z "$out" ] || fail "mandoc: $out"
echo "mandoc -T lint -W warning: nothing to report"
