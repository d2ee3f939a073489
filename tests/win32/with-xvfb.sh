#!/usr/bin/env bash
# Runs a command (a Windows program under Wine) on a virtual X display of its own: Xvfb picks a
# free display number itself, so tests running at the same time never share one. The screen is
# 1024x768 unless TPTUNE_XVFB_SCREEN says otherwise (e.g. 1920x1200x24).
# Usage: with-xvfb.sh COMMAND [ARGS...]
set -euo pipefail
fifo=$(mktemp -u)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 "${TPTUNE_XVFB_SCREEN:-1024x768x24}" -nolisten tcp 3>"$fifo" 2>/dev/null &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true; rm -f "$fifo"' EXIT
read -r -t 20 display <"$fifo" || { echo "with-xvfb: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$display"
"$@"
