#!/usr/bin/env bash
# Builds and tests everything: the default and sanitizer presets, the Windows build under Wine,
# then a short fuzzing round.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup-deps.sh

jobs=$(nproc)
for preset in default asan tsan; do
  echo "=== preset $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

# The Debian package from the default preset, checked by lintian (no error, no warning); as root
# (CI) also tried on a clean Debian 12 station: installed, run by a user, upgraded to a newer
# build from a signed repository and purged (scripts/check-clean-install.sh). The newer build is
# the same source built again as a later version; the build folder is set back afterwards.
echo "=== package"
started=$SECONDS
# (Not through tee /dev/stderr: when the output goes to a file, that would truncate it.)
deb=$(./scripts/package.sh)
echo "$deb"
lintian --fail-on error,warning "$deb"
echo "lintian: no errors, no warnings"
if [ "$(id -u)" -eq 0 ]; then
  version=$(dpkg-deb --field "$deb" Version)
  newer=$(TPTUNE_VERSION_OVERRIDE="${version%-*}+rebuild1" ./scripts/package.sh)
  cmake --preset default -DTPTUNE_VERSION_OVERRIDE= >/dev/null
  # The programs themselves too: the Windows comparison below reads the version they keep in
  # every production record.
  cmake --build --preset default -j "$jobs" >/dev/null
  clean_started=$SECONDS
  ./scripts/check-clean-install.sh "$deb" "$newer"
  echo "clean-system check: $((SECONDS - clean_started)) s"
else
  echo "(not root: the package is built and checked by lintian, not tried on a clean system)"
fi
echo "package step: $((SECONDS - started)) s"

# The Windows programs and every test that needs neither Qt nor a pseudo-terminal, built with
# mingw-w64 and run under Wine in a throwaway prefix; then the main job on the emulated bench by
# the Windows program must give what the Linux program gives, and the Windows window, clicked
# through the same job on a virtual display, the log and settings file of the Linux window. Under load Wine now and then fails
# to start a program at all (it ends at once without output), so a failed test gets one rerun.
echo "=== preset windows (tests under Wine)"
windows_start=$SECONDS
# SQLite and libpq for the Windows programs, from Debian's source packages: fetched and built
# once into the machine's cache (some three minutes), found there by every later run.
deps=$(scripts/build-windows-deps.sh)
echo "SQLite and libpq for mingw: $deps ($((SECONDS - windows_start)) s)"
scripts/wine-session.sh bash -c "
  set -e
  cmake --preset windows -DTPTUNE_WINDOWS_DEPS=$deps >/dev/null
  cmake --build --preset windows -j $jobs
  ctest --preset windows -j $jobs --repeat until-pass:2
  scripts/compare-windows-run.sh
  scripts/win32-window-test.sh"
echo "=== preset windows: $((SECONDS - windows_start)) s"

# The Windows installer on a fresh Wine prefix, as on a new station: the same source built as an
# older version (0.1.0) and as this one, the older installed silently, a bench job, the upgrade,
# another job, the uninstall (scripts/check-windows-install.sh); then the newer one on a prefix
# of its own for a user named beyond ASCII, with a window job and a console job
# (scripts/check-windows-user-names.sh). The build folder ends configured as this version again.
echo "=== Windows installer (under Wine)"
installer_start=$SECONDS
scripts/wine-session.sh bash -c '
  set -e
  setups=$(mktemp -d)
  trap "rm -rf \"$setups\"" EXIT
  older=$(TPTUNE_VERSION_OVERRIDE=0.1.0 scripts/package-windows.sh | tail -n 1)
  mv "$older" "$setups/"
  newer=$(scripts/package-windows.sh | tail -n 1)
  mv "$newer" "$setups/"
  echo "installers built: $((SECONDS)) s"
  scripts/check-windows-install.sh "$setups/$(basename "$older")" "$setups/$(basename "$newer")"'
echo "=== Windows installer: $((SECONDS - installer_start)) s"

if [ -x scripts/fuzz.sh ]; then
  echo "=== fuzz"
  ./scripts/fuzz.sh
fi
