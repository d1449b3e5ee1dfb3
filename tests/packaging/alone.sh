#!/bin/sh
# The daemon of this build on a host with nothing else but a static shell
# and the libraries it links, as the .rpm's static one is run too: it needs
# no other file, not even /proc or /dev.
#
#   alone.sh BUILD_DIR SOURCE_DIR
. "$(dirname "$0")/lib.sh"
need ldd
box=$scratch/box
mkdir -p "$box/usr/sbin"
cp "$build/vexlantor" "$box/usr/sbin/"
for library in $(ldd "$build/vexlantor" | sed -n 's,.* => \(/[^ ]*\) .*,\1,p; s,^[[:space:]]*\(/[^ ]*\) .*,\1,p'); do
	mkdir -p "$box${library%/*}"
	cp "$library" "$box$library"
done
expect_runs_alone "$box"
echo "the daemon, with $(find "$box" -name '*.so*' | wc -l) libraries and a static shell, runs alone"
