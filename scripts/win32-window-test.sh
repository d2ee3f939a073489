#!/usr/bin/env bash
# The Windows window (tptune.exe) driven from outside under Wine, compared with the Linux window.
# Run inside scripts/wine-session.sh, after build/default and build/windows are built.
#
# One whole run on the emulated bench with the server as golden reference and its firmware
# restored: a small Win32 program (tests/win32/window_driver.cpp) starts tptune.exe, finds the
# window and its controls, clicks Start, Ok, Yes, Yes and No, reads the log back from the window,
# returns to the set-up view, tries the access keys there, chooses the dongle's port and ends the
# program with Alt+E. The
# Linux window (tests/ui/window_run.cpp) goes through the same run and choices. The two logs must
# be the same, and so must the settings files both windows write, the window's size aside (the
# platforms' frames differ).
#
# Wine needs a display for a window: a virtual X server (Xvfb) on a free display, and a Wine
# desktop of its own on it (the session's Wine server was started without a display), in which
# the driver and the window it starts share one desktop.
#
# The same window at 144 DPI must have its layout scaled: client area, places and the labels'
# texts within them.
#
# With SHOTS=DIR the driver pauses at the set-up view, the connect prompt, programming, the
# question after the last handheld and the end of the run, and the screen is photographed into
# DIR as win32-*.png (scripts/screenshots.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
work=$(mktemp -d)
xvfb_pid=
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Each window in a folder of its own: the program, the test firmwares beside it, the production
# packages named relative to it, and the same settings file (server golden, its firmware
# restored, both ports found automatically).
prepare() {  # prepare DIR PROGRAM NAME
  mkdir -p "$1"
  cp "$2" "$1/$3"
  cp build/default/app/{rfmodem.tpf,eeprom.tpf,server.sff,tpftune.tpf,srvftune.sff} "$1/"
  printf '%s\r\n' 192 107 '' '' SR $'Auto detect\t' $'Auto detect\t' \
    rfmodem.tpf eeprom.tpf server.sff >"$1/tptune.INI"
}
prepare "$work/linux" build/default/app/tptune tptune
prepare "$work/windows" build/windows/app/tptune.exe tptune.exe
# The DLLs the program links (libpq for the records) go with it.
cp build/windows/app/*.dll build/windows/tests/win32/tptune_window_driver.exe "$work/windows/"

(cd "$work/linux" && QT_QPA_PLATFORM=offscreen "$root/build/default/tests/ui/tptune_window_run" \
  log.txt 2>/dev/null)

exec {xvfb_fd}< <(exec Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null)
xvfb_pid=$!
read -r -u "$xvfb_fd" display
export DISPLAY=":$display"

# Fast for the test; slow enough for the pictures to catch the progress bar.
speed=50
shots=()
if [ -n "${SHOTS:-}" ]; then
  speed=${SCREENSHOT_BENCH_SPEED:-2}
  mkdir -p "$work/shots"
  shots=(--shots 'Z:'"${work//\//\\}"'\shots')
fi
# drive DESKTOP DIR LOG DRIVER-OPTIONS... -- PROGRAM ARGS...: the driver in a Wine desktop of
# its own, started in the background; its outcome appears in DIR/LOG.status.
drive() {
  local desktop=$1 dir=$2
  shift 2
  (cd "$dir" && "$wine" explorer "/desktop=$desktop" tptune_window_driver.exe "$@" \
    >/dev/null 2>&1 &)
}
# wait_outcome FILE: waits for the driver's outcome and prints it.
wait_outcome() {
  while [ ! -e "$1" ]; do
    if ((SECONDS - started > 300)); then
      echo "*** the window driver did not finish within 300 s" >&2
      exit 1
    fi
    sleep 0.2
  done
  tr -d '\r' <"$1"
}

started=$SECONDS
drive tptune-test,640x560 "$work/windows" \
  log.txt "${shots[@]}" -- tptune.exe --bench --bench-speed "$speed"
# The driver leaves its outcome beside the log; at each stage asked for, the screen is taken.
status="$work/windows/log.txt.status"
while [ ! -e "$status" ]; do
  if ((SECONDS - started > 300)); then
    echo "*** the window driver did not finish within 300 s" >&2
    exit 1
  fi
  if [ -n "${SHOTS:-}" ]; then
    for ready in "$work"/shots/*.ready; do
      [ -e "$ready" ] || continue
      stage=$(basename "$ready" .ready)
      sleep 0.2  # let the window paint
      place=$(tr -d '\r\n' <"$ready")
      import -display "$DISPLAY" -window root -crop "$place" +repage "$SHOTS/win32-$stage.png"
      rm "$ready"
      : >"$work/shots/$stage.done"
    done
  fi
  sleep 0.2
done
outcome=$(tr -d '\r' <"$status")
echo "window driver: $outcome ($((SECONDS - started)) s under Wine)"
[ "$outcome" = ok ] || exit 1

result=0
if cmp -s "$work/linux/log.txt" "$work/windows/log.txt"; then
  echo "same log in both windows ($(wc -l <"$work/linux/log.txt") lines)"
else
  echo "*** the log differs between the Linux and the Windows window:" >&2
  diff "$work/linux/log.txt" "$work/windows/log.txt" | head -n 20 >&2 || true
  result=1
fi
# The settings files, the window's outer size (lines 3 and 4) aside.
settings() { sed -n '1,2p;5,10p' "$1/tptune.INI"; }
if [ "$(settings "$work/linux")" = "$(settings "$work/windows")" ] &&
   [ "$(sed -n 5,6p "$work/windows/tptune.INI")" = $'BRA\r\nSIM1\tSIM1\r' ]; then
  echo "same settings file from both windows"
else
  echo "*** the settings files differ:" >&2
  diff <(settings "$work/linux") <(settings "$work/windows") >&2 || true
  sed -n 5,6p "$work/windows/tptune.INI" >&2
  result=1
fi

# At 144 DPI (the user's display setting) the layout grows with the texts: a window in a folder
# without settings opens at its design size, scaled.
"$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
mkdir -p "$work/dpi"
cp build/windows/app/tptune.exe build/windows/app/*.dll build/windows/tests/win32/tptune_window_driver.exe \
  build/default/app/{tpftune.tpf,srvftune.sff} "$work/dpi/"
started=$SECONDS
drive tptune-dpi,800x700 "$work/dpi" layout.txt --layout 144 -- tptune.exe --bench
outcome=$(wait_outcome "$work/dpi/layout.txt.status")
"$wine" reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1 || true
if [ "$outcome" = ok ]; then
  echo "the window is laid out for 144 DPI"
else
  echo "*** at 144 DPI: $outcome" >&2
  result=1
fi
exit $result
