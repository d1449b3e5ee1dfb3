#!/bin/sh
# Builds the fuzz target with clang and libFuzzer and runs it for a bounded
# time (60 seconds unless given), starting from the seed corpus in tests/. A
# crash or a failed check ends it non-zero and leaves the input behind.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
cd "$top"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"
corpus=$(mktemp -d /tmp/vexlantor-fuzz.XXXXXX)
trap 'rm -rf "$corpus"' EXIT
cp tests/fuzz/corpus/* "$corpus/"
mkdir -p build-fuzz/crashes
./build-fuzz/tests/fuzz/lookup_command_fuzzer -max_total_time="$seconds" -print_final_stats=1 \
	-artifact_prefix=build-fuzz/crashes/ "$corpus"
