#!/bin/sh
# The source package and the binary package, as the archive would see them.
#
#   lintian.sh BUILD_DIR SOURCE_DIR
. "$(dirname "$0")/lib.sh"
need lintian
need_packages
lintian --pedantic --display-experimental --fail-on error,warning,pedantic \
	"$packages"/vexlantor_*_amd64.changes || fail "lintian"
echo "lintian --pedantic: no errors, warnings or pedantic tags"
