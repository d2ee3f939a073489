#!/usr/bin/env bash
# Pictures of the window for the documentation. Builds the window program (default preset),
# starts it on the emulated bench under a virtual X display and lets it click through one run
# by itself: the set-up view, the connect prompt, programming with the progress bar, the
# question after a handheld (answered No) and the Run ended view are saved as PNG files in
# docs/screenshots/.
set -euo pipefail
cd "$(dirname "$0")/.."

out="$PWD/docs/screenshots"
speed="${SCREENSHOT_BENCH_SPEED:-20}"  # bench clock against wall time

cmake --preset default >/dev/null
cmake --build --preset default -j 2 --target tptune demo_packages

# The program with its test firmwares beside it and the production packages in its folder,
# named relative to it so that the pictures show plain file names.
app=build/default/app
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$app/tptune" "$app"/{rfmodem.tpf,eeprom.tpf,server.sff,tpftune.tpf,srvftune.sff} "$work/"
# Settings: the server as golden reference with its firmware restored after the test (so the
# question after each handheld is asked), both ports found automatically, the demo packages.
printf '%s\r\n' 192 107 '' '' SR $'Auto detect\t' $'Auto detect\t' \
  rfmodem.tpf eeprom.tpf server.sff >"$work/tptune.INI"

mkdir -p "$out"
rm -f "$out"/{setup,prompt,progress,question,run-ended}.png
(cd "$work" && xvfb-run -a -s "-screen 0 1024x768x24" \
  ./tptune --bench --bench-speed "$speed" --screenshots "$out")
ls -l "$out"
