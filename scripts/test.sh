#!/bin/sh
# Builds the daemon and its tests from this checkout and runs the whole suite:
# under the ordinary build by default, or under the preset named (asan).
set -eu
cd "$(dirname "$0")/.."
preset=${1:-default}
cmake --preset "$preset"
cmake --build --preset "$preset" -j"$(nproc)"
ctest --preset "$preset"
