#!/usr/bin/env bash
# Runs a command (the Windows build, its CTest, a Windows program) inside a throwaway Wine
# prefix, without a display:
#   - a fresh WINEPREFIX, initialised and kept up by one persistent Wine server, so that the
#     first programs of a build (test discovery, the demo packages) do not pay the start-up;
#   - COM5 mapped to a pseudo-terminal whose far side echoes every byte
#     (tests/serial/wine_com_peer.py), named to the tests in TPTUNE_WINE_COM;
#   - everything stopped and removed at the end.
# Usage: scripts/wine-session.sh COMMAND [ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."

wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
[ -x "$wine" ] || { echo "wine-session: Wine is not installed (scripts/setup-deps.sh)" >&2; exit 1; }

export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/tptune-wine.XXXXXX)
export WINEDEBUG=-all WINEARCH=win64
# No display, and no offers to install Mono or Gecko.
unset DISPLAY WAYLAND_DISPLAY
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

peer_pid=
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  [ -n "$peer_pid" ] && kill "$peer_pid" 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

"$wine" wineboot -i >/dev/null 2>&1
"$wineserver" -w

# The echoing far side of COM5. A new prefix maps COM1 to /dev/ttyS0, which may exist here:
# the tests use only the port registered below.
exec {peer_out}< <(exec python3 tests/serial/wine_com_peer.py)
peer_pid=$!
read -r -u "$peer_out" pty
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$pty" /f >/dev/null 2>&1
"$wineserver" -w
# The device map is made when the server starts: start it again, for good this time.
"$wineserver" -p
"$wine" cmd /c exit >/dev/null 2>&1 || true
export TPTUNE_WINE_COM=COM5

"$@"
