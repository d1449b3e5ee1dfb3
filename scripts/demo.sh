#!/bin/sh
# Shows the daemon at work without the product. A sample installation (a
# configuration file and a stand-in registration tool that says what it
# registered) lives in a scratch directory; a private mount namespace puts the
# configuration file at its fixed path for the daemon alone, so nothing on the
# host changes; and a clock sixty times faster than the wall clock brings a
# renewal about every eleven seconds.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-25}

echo "Building..."
cmake -S "$top" -B "$top/build" >/dev/null
cmake --build "$top/build" -j"$(nproc)" --target vexlantor testclock >/dev/null

box=$(mktemp -d /tmp/vexlantor-demo.XXXXXX)
mkdir -p "$box/cimom" "$box/bin" "$box/config/vemrik/halvern/tessmark" "$box/ns"
printf 'CIMOM_ROOTDIR=%s/cimom\n' "$box" >"$box/config/vemrik/halvern/tessmark/cimom"
cat >"$box/bin/trindlet" <<'TOOL'
#!/bin/sh
# Sample registration tool: says what it was asked to register, and succeeds.
for arg; do
	case $arg in
	--url=*) url=${arg#--url=} ;;
	--attributes=*) attributes=${arg#--attributes=} ;;
	--lifetime=*) lifetime=${arg#--lifetime=} ;;
	esac
done
echo "trindlet: registered $url $attributes for $lifetime seconds"
TOOL
chmod 755 "$box/bin/trindlet"
date +%s >"$box/clock"

# As root a mount namespace needs nothing more; otherwise a user namespace
# maps the caller to root inside it.
if [ "$(id -u)" -eq 0 ]; then
	set -- unshare --mount --propagation private
else
	set -- unshare --mount --map-root-user --propagation private
fi
pid=$("$@" sh -c '
	box=$1 top=$2
	mount -t tmpfs tmpfs "$box/ns" &&
	mkdir "$box/ns/upper" "$box/ns/work" &&
	cp -R "$box/config/vemrik" "$box/ns/upper/" &&
	mount -t overlay overlay -o "lowerdir=/etc,upperdir=$box/ns/upper,workdir=$box/ns/work" /etc &&
	cd "$box" &&
	exec env LD_PRELOAD="$top/build/tests/libtestclock.so" TESTCLOCK_FILE="$box/clock" \
		TESTCLOCK_SPEEDUP=60 "$top/build/vexlantor" "$box/vexlantor.err" "$box/vexlantor.log"
' sh "$box" "$top")

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
echo "Its files are in $box: vexlantor.log (trace), vexlantor.err (errors), bin/trindlet (stand-in tool)."
