#!/usr/bin/env bash
# Pictures of the window for the documentation. Builds the window program (default preset),
# starts it on the emulated bench under a virtual X display and lets it click through one run
# by itself: the set-up view, the connect prompt, programming with the progress bar, the
# question after a handheld (answered No) and the Run ended view are saved as PNG files in
# docs/screenshots/. Before that, a bench campaign of 36 handhelds against a golden server whose
# crystal drifts a quarter step with each handheld (two of them fail once and are tuned again)
# leaves its records beside the program, and before the window's own run the Records window
# shows them: its history, lot statistics and golden drift (with the warning) are saved as
# records-*.png; the Win32 Records window shows the same records under Wine as
# win32-records-*.png.
#
# Then the Windows window (tptune.exe, built with mingw-w64) is photographed under Wine on a
# virtual X display at the same stages of a run, driven from outside by a small Win32 program
# (scripts/win32-window-test.sh): win32-setup, win32-prompt, win32-progress, win32-question and
# win32-run-ended.png.
set -euo pipefail
cd "$(dirname "$0")/.."

out="$PWD/docs/screenshots"
speed="${SCREENSHOT_BENCH_SPEED:-20}"  # bench clock against wall time

cmake --preset default >/dev/null
cmake --build --preset default -j 2 --target tptune tptune-cli demo_packages tptune_window_run

# The program with its test firmwares beside it and the production packages in its folder,
# named relative to it so that the pictures show plain file names.
app=build/default/app
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$app/tptune" "$app/tptune-cli" "$app"/{rfmodem.tpf,eeprom.tpf,server.sff,tpftune.tpf,srvftune.sff} "$work/"

# The campaign: handhelds with crystal errors within +/-25 steps whose factory values put them
# within a step of the factory's reference, a server drifting 0.25 steps a handheld, and a test
# cycle that fails once on handhelds 9 and 23 (retried: Yes, then Ok). Its records go where the
# window with --bench keeps its own, tptune-bench.db beside the programs.
python3 - "$work/campaign.json" <<'PY'
import json, random, sys
random.seed(7)
handhelds = []
for i in range(36):
    error = round(random.uniform(-25, 25), 1)
    factory = int(round(-error)) + random.choice([-1, 0, 0, 0, 1])
    handhelds.append({"mac": "0x%08X" % (0x00C10001 + i), "crystal_error": error,
                      "factory_compensation": factory})
json.dump({"server": {"crystal_error": 0.0, "crystal_drift_per_handheld": 0.25},
           "air": {"seed": 5},
           "handhelds": handhelds,
           "faults": [{"kind": "run_status", "handheld": h, "run": 2, "at": 1} for h in (9, 23)]},
          open(sys.argv[1], "w"), indent=1)
PY
answers=ok
for i in $(seq 0 35); do
  if [ "$i" = 9 ] || [ "$i" = 23 ]; then answers="$answers,yes,ok"; fi
  if [ "$i" -lt 35 ]; then answers="$answers,yes"; fi
done
(cd "$work" && ./tptune-cli --bench campaign.json --restore-server --rf-modem rfmodem.tpf \
  --eeprom eeprom.tpf --server-firmware server.sff --answers "$answers,no" >campaign.log)
# The campaign's records as they are now, for the Win32 Records window's pictures below.
mkdir -p "$work/win32"
for f in "$work"/tptune-bench.db*; do cp "$f" "$work/win32/"; done
# Settings: the server as golden reference with its firmware restored after the test (so the
# question after each handheld is asked), both ports found automatically, the demo packages.
printf '%s\r\n' 192 107 '' '' SR $'Auto detect\t' $'Auto detect\t' \
  rfmodem.tpf eeprom.tpf server.sff >"$work/tptune.INI"

mkdir -p "$out"
rm -f "$out"/{setup,prompt,progress,question,run-ended,records-history,records-statistics,records-drift}.png
(cd "$work" && xvfb-run -a -s "-screen 0 1024x768x24" \
  ./tptune --bench --bench-speed "$speed" --screenshots "$out")
ls -l "$out"

# The Windows window under Wine.
rm -f "$out"/win32-{setup,prompt,progress,question,run-ended}.png
scripts/wine-session.sh bash -c "
  set -e
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j 2 --target tptune tptune_window_driver
  SHOTS='$out' scripts/win32-window-test.sh"
ls -l "$out"/win32-*.png

# The Win32 Records window under Wine over the same campaign's records: its three pages as
# win32-records-*.png (scripts/screenshots-win32-records.sh, on a virtual display of its own).
rm -f "$out"/win32-records-{history,statistics,drift}.png
scripts/wine-session.sh bash -c "
  set -e
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j 2 --target records_window_probe
  tests/win32/with-xvfb.sh scripts/screenshots-win32-records.sh '$work/win32/tptune-bench.db' '$out'"
ls -l "$out"/win32-records-*.png
