#!/bin/sh
# Makes both packages from this checkout and leaves them under build/: the
# Debian package from the ordinary build, and the RPM package from the static
# build (the rpm preset), which needs rpmbuild (Debian's package rpm).
set -eu
cd "$(dirname "$0")/.."
for preset in default rpm; do
	cmake --preset "$preset" >/dev/null
	cmake --build --preset "$preset" -j"$(nproc)" >/dev/null
done
cpack --config build/CPackConfig.cmake -B build >/dev/null
cpack --config build-rpm/CPackConfig.cmake -B build >/dev/null
ls build/vexlantor_*.deb build/vexlantor-*.rpm
