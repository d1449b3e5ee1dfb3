#!/bin/sh
# Shows the daemon at work without the product. A sample installation (a
# configuration file and a stand-in registration tool that says what it
# registered) lives in a scratch directory; the sandbox puts the configuration
# file at its fixed path for the daemon alone, so nothing on the host changes;
# and a clock sixty times faster than the wall clock brings a renewal about
# every nine seconds.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-25}

echo "Building..."
cmake -S "$top" -B "$top/build" >/dev/null
cmake --build "$top/build" -j"$(nproc)" --target vexlantor testclock >/dev/null

box=$(mktemp -d /tmp/vexlantor-demo.XXXXXX)
# The product's paths, as the build has them.
cimom_config=$(sed -n 's/^cimom_config=//p' "$top/build/product-paths")
default_root=$(sed -n 's/^default_root=//p' "$top/build/product-paths")
tool=$(realpath -m "$box/cimom$(sed -n 's/^tool_suffix=//p' "$top/build/product-paths")")
mkdir -p "$box/cimom" "${tool%/*}" "$box/steps" "$box/root${cimom_config%/*}" "$box/root$default_root"
printf 'CIMOM_ROOTDIR=%s/cimom\n' "$box" >"$box/root$cimom_config"
# The tests' stand-in tool, saying at each run what it registered.
cp "$top/tests/stand-in-tool.sh" "$tool"
echo 'announce "$@"' >"$box/steps/default"
# The wall clock and the seconds since boot, which the test clock moves on.
echo "$(date +%s) $(cut -d. -f1 /proc/uptime)" >"$box/clock"

pid=$(cd "$box" && "$top/scripts/sandbox.sh" "$box/root" env LD_PRELOAD="$top/build/tests/libtestclock.so" \
	STAND_IN_DIR="$box" TESTCLOCK_FILE="$box/clock" TESTCLOCK_SPEEDUP=60 "$top/build/vexlantor" "$box/vexlantor.err" "$box/vexlantor.log")

echo "vexlantor started; the daemon's process ID is $pid"
echo "Its log, $box/vexlantor.log, for $seconds seconds (one second is a minute here):"
echo
timeout "$seconds" tail -n +1 -f "$box/vexlantor.log" || true
echo
if kill "$pid" 2>/dev/null; then
	echo "Stopped the daemon (process $pid)."
else
	echo "The daemon had already ended; its errors: $box/vexlantor.err"
fi
echo "Its files are in $box: vexlantor.log (trace), vexlantor.err (errors), ${tool#"$box"/} (stand-in tool), args (what it was given)."
