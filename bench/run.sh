#!/bin/sh
# Builds and measures the daemon, ordinary and static, in the sandbox, with a
# configuration file naming a scratch root that holds the tests' stand-in tool.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
cmake --preset default -DVEXLANTOR_BENCH=ON >/dev/null
cmake --build --preset default -j"$(nproc)" --target vexlantor baseline lookup_once vexlantor_bench >/dev/null
cmake --preset static -DVEXLANTOR_BENCH=ON >/dev/null
cmake --build --preset static -j"$(nproc)" --target vexlantor baseline >/dev/null

box=$(mktemp -d /tmp/vexlantor-bench.XXXXXX)
trap 'rm -rf "$box"' EXIT
cimom_config=$(sed -n 's/^cimom_config=//p' build/product-paths)
default_root=$(sed -n 's/^default_root=//p' build/product-paths)
tool=$(realpath -m "$box/cimom$(sed -n 's/^tool_suffix=//p' build/product-paths)")
mkdir -p "$box/cimom" "${tool%/*}" "$box/steps" "$box/root${cimom_config%/*}" "$box/root$default_root"
printf 'CIMOM_ROOTDIR=%s/cimom\n' "$box" >"$box/root$cimom_config"
cp tests/stand-in-tool.sh "$tool"

echo "vexlantor benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores: $(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n 1)"
"$top/scripts/sandbox.sh" "$box/root" "$top/build/bench/vexlantor_bench" "$box" "$top/build/vexlantor" \
	"$top/build/bench/baseline" "$top/build/bench/lookup_once" "$top/build-static/vexlantor" "$top/build-static/bench/baseline"
