#!/bin/sh
# Builds the daemon and its tests from this checkout and runs the whole suite.
set -eu
cd "$(dirname "$0")/.."
cmake -S . -B build
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j2
