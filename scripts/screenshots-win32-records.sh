#!/usr/bin/env bash
# Pictures of the Win32 Records window for the documentation: the Windows build's probe program
# (tests/win32/records_window_probe.cpp) shows a record store's History, Lot statistics and
# Golden drift pages in turn under Wine, and ImageMagick's import photographs the window as
# win32-records-history.png, win32-records-statistics.png and win32-records-drift.png.
# Runs inside scripts/wine-session.sh on a display of its own (tests/win32/with-xvfb.sh), after
# the windows preset has built records_window_probe:
#   scripts/wine-session.sh tests/win32/with-xvfb.sh scripts/screenshots-win32-records.sh STORE OUTDIR
set -euo pipefail
cd "$(dirname "$0")/.."

store=$1
out=$2
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
probe=build/windows/tests/win32/records_window_probe.exe
[ -n "${DISPLAY:-}" ] || { echo "screenshots-win32-records: no display" >&2; exit 1; }

# The threshold's settings file of a copy, so the pictures show the default band.
settings=$(mktemp --suffix=.ini)
trap 'rm -f "$settings"' EXIT
coproc PROBE { "$wine" "$probe" "$("$wine" winepath -w "$store" 2>/dev/null)" \
                 --drift-settings "$("$wine" winepath -w "$settings" 2>/dev/null)" --pages; }
names=(history statistics drift)
for page in 0 1 2; do
  read -r -t 120 said <&"${PROBE[0]}" || { echo "screenshots-win32-records: no page $page" >&2; exit 1; }
  said=${said%$'\r'}  # the probe writes Windows line ends
  [ "$said" = "page $page" ] || { echo "screenshots-win32-records: $said" >&2; exit 1; }
  window=$(xwininfo -root -tree | awk '/"Records"/ { print $1; exit }')
  [ -n "$window" ] || { echo "screenshots-win32-records: window not found" >&2; exit 1; }
  import -window "$window" "$out/win32-records-${names[$page]}.png"
  echo next >&"${PROBE[1]}"
done
wait "$PROBE_PID" || true
