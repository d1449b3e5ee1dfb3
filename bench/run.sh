#!/bin/sh
# Builds the daemon (the ordinary and the static build) and the benchmark and
# measures them on this machine, in the sandbox that puts a configuration file
# at the fixed path for the benchmark alone; it names a scratch root whose
# stand-in tool succeeds, fails or counts its runs as the benchmark asks.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
cmake --preset default -DVEXLANTOR_BENCH=ON >/dev/null
cmake --build --preset default -j"$(nproc)" --target vexlantor testclock baseline lookup_once vexlantor_bench >/dev/null
cmake --preset static -DVEXLANTOR_BENCH=ON >/dev/null
cmake --build --preset static -j"$(nproc)" --target vexlantor baseline >/dev/null

box=$(mktemp -d /tmp/vexlantor-bench.XXXXXX)
trap 'rm -rf "$box"' EXIT
mkdir -p "$box/cimom" "$box/bin" "$box/root/etc/vemrik/halvern/tessmark"
printf 'CIMOM_ROOTDIR=%s/cimom\n' "$box" >"$box/root/etc/vemrik/halvern/tessmark/cimom"
cat >"$box/bin/trindlet" <<TOOL
#!/bin/sh
dir='$box'
read mode < "\$dir/mode"
case \$mode in
succeed) exit 0 ;;
fail) exit 1 ;;
esac
read run < "\$dir/runs"
read limit < "\$dir/limit"
run=\$((run + 1))
echo "\$run" > "\$dir/runs"
[ "\$run" -le "\$limit" ] && exit 0
read -r _ _ _ _ _ daemon _ < /proc/\$\$/stat
cat /proc/\$daemon/stat > "\$dir/daemon-stat"
exit 1
TOOL
chmod 755 "$box/bin/trindlet"

echo "vexlantor benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores: $(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n 1)"
"$top/scripts/sandbox.sh" "$box/root" "$top/build/bench/vexlantor_bench" "$box" "$top/build/vexlantor" \
	"$top/build/bench/baseline" "$top/build/bench/lookup_once" "$top/build/tests/libtestclock.so" "$top/build-static/vexlantor" "$top/build-static/bench/baseline"
