#!/usr/bin/env bash
# Builds the Windows installer from the windows preset (mingw-w64, CPack's NSIS generator):
# build/windows/tptune-<version>-setup.exe -- the programs and the DLLs they load, the test
# firmwares and demo packages, Start-menu entries, an uninstaller (packaging/windows.cmake).
# Prints the installer's path as its last line.
#
# The build runs Windows programs (the demo package builder, the tests' discovery) under Wine: in
# the caller's Wine session when there is one, else in one of its own (scripts/wine-session.sh).
# Environment:
#   TPTUNE_VERSION_OVERRIDE   build as this version instead (empty: from git)
#   PACKAGE_JOBS              parallel build jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."

[ -n "${WINEPREFIX:-}" ] || exec scripts/wine-session.sh "$0" "$@"
./scripts/setup-deps.sh >&2
cmake --preset windows -DTPTUNE_VERSION_OVERRIDE="${TPTUNE_VERSION_OVERRIDE:-}" >/dev/null
cmake --build --preset windows -j "${PACKAGE_JOBS:-2}" >&2
(cd build/windows && cpack -G NSIS >/dev/null)
name=$(sed -n 's/^set(CPACK_PACKAGE_FILE_NAME "\(.*\)")$/\1/p' build/windows/CPackConfig.cmake)
echo "build/windows/$name.exe"
