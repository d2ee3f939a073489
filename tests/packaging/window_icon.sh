#!/usr/bin/env bash
# The installed window shows its icon on X11: installed into a temporary prefix, started on a
# virtual X display of its own (Xvfb picks a free one), its top-level window must carry
# _NET_WM_ICON, the property window managers and task bars draw. Qt reads the icon from the
# hicolor theme's PNG files by itself (the theme's index comes from the system's
# hicolor-icon-theme, as on a station); the SVG needs the SVG icon engine, which this check does
# not count on.
#
#   window_icon.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; [ -s "$work/tptune.log" ] && cat "$work/tptune.log" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
for size in 48 64 128 256; do
  icon=$work/prefix/share/icons/hicolor/${size}x$size/apps/tptune.png
  kind=$(file -b "$icon" || true)
  [[ "$kind" == "PNG image data, $size x $size,"* ]] || fail "no $size px icon: $kind"
done

Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvfb.log" >&2; fail "Xvfb did not start"; }
export DISPLAY=:$(cat "$work/display")

mkdir -p "$work/home"
(cd "$work/home" && HOME=$work/home XDG_DATA_HOME=$work/data XDG_DATA_DIRS=$work/prefix/share:/usr/share \
   QT_QPA_PLATFORM=xcb exec "$work/prefix/bin/tptune" >"$work/tptune.log" 2>&1) &
pids+=($!)
caption="TallyPilot Pro automatic fine-tuning tool"
window=""
for _ in $(seq 150); do
  window=$(xwininfo -root -tree 2>/dev/null | awk -v c="\"$caption\"" 'index($0, c) {print $1}' || true)
  window=${window%%$'\n'*}
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || fail "the window did not appear on $DISPLAY"
# The title and the icon are set one request after the other; give the icon a moment.
for _ in $(seq 50); do
  icon=$(xprop -id "$window" _NET_WM_ICON)
  [[ "$icon" == *"Icon ("* ]] && break
  sleep 0.1
done
[[ "$icon" == *"Icon (48 x 48)"* ]] \
  || fail "the window $window carries no 48 px icon: $(head -c 200 <<<"$icon")"
echo "window $window on $DISPLAY: $(grep -o 'Icon ([0-9]* x [0-9]*)' <<<"$icon" | tr '\n' ' ')"
echo "window icon: all checks passed"
