#!/bin/sh
# A packager's flags stronger than the build's own, kept: a configure of its
# own, so not among the fast checks of the tree.
#
#   flags.sh BUILD_DIR SOURCE_DIR
. "$(dirname "$0")/lib.sh"
stronger="-fstack-protector-all -Wp,-D_FORTIFY_SOURCE=3"
logged "configuring with $stronger" cmake -S "$source" -B "$scratch/flags" -DCMAKE_CXX_FLAGS="$stronger"
flags=$(grep -o '"command": ".*main\.cpp' "$scratch/flags/compile_commands.json")
case $flags in *"$stronger"*-fstack-clash-protection*) ;; *) fail "the packager's flags: $flags" ;; esac
case $flags in *-fstack-protector-strong* | *-D_FORTIFY_SOURCE=2*) fail "flags weaker than the packager's: $flags" ;; esac
echo "a packager's flags kept"
