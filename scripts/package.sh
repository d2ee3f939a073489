#!/usr/bin/env bash
# Builds the Debian package from the default preset (built with Debian's hardening flags):
# build/default/tptune_<version>_<arch>.deb -- the programs, the test firmwares and demo
# packages, the menu entry and icons, manual pages, copyright and changelogs. Prints the
# package's path as its last line.
#
# The version comes from the project version and git (cmake/TptuneVersion.cmake). Environment:
#   SOURCE_DATE_EPOCH         the build date and the newest changelog entry's date (default: the
#                             time of configuring); the commit's time, git log -1 --format=%ct,
#                             makes the same commit give the same package
#   TPTUNE_MAINTAINER         the package's maintainer, "NAME <MAIL>" (default: the cached one)
#   TPTUNE_VERSION_OVERRIDE   build as this version instead (empty: from git)
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup-deps.sh >&2
options=(-DTPTUNE_VERSION_OVERRIDE="${TPTUNE_VERSION_OVERRIDE:-}")
[ -z "${TPTUNE_MAINTAINER:-}" ] || options+=(-DTPTUNE_MAINTAINER="$TPTUNE_MAINTAINER")
cmake --preset default "${options[@]}" >/dev/null
cmake --build --preset default -j "${PACKAGE_JOBS:-2}" >&2
(cd build/default && cpack -G DEB >/dev/null)
deb=build/default/$(sed -n 's/^set(CPACK_DEBIAN_FILE_NAME "\(.*\)")$/\1/p' build/default/CPackConfig.cmake)
dpkg-deb --field "$deb" Package Version Depends Recommends >&2
echo "$deb"
