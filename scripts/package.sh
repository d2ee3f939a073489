#!/usr/bin/env bash
# Builds the Debian package from the default preset: build/default/tptune_<version>_<arch>.deb
# (the programs, the test firmwares and demo packages, the menu entry and icon, manual pages).
# Prints the package's path as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "${PACKAGE_JOBS:-2}"
(cd build/default && cpack -G DEB >/dev/null)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/default/CMakeCache.txt)
deb="build/default/tptune_${version}_$(dpkg --print-architecture).deb"
dpkg-deb --field "$deb" Package Version Depends
echo "$deb"
