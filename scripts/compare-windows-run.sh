#!/usr/bin/env bash
# The main job on the emulated bench, once with the Linux program and once with the Windows
# program under Wine (run inside scripts/wine-session.sh): the log, the run trace and the bench
# report must be the same, line ends aside. Needs build/default and build/windows built.
set -euo pipefail
cd "$(dirname "$0")/.."

wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Neither keeps production records here: the Windows build has no record store, and the Linux
# program's record lines (an "already tuned" lookup that took too long, say) are not the job's.
# Each program in a folder of its own with the test firmwares beside it and the production
# packages in the same folder, named relative to it, so both runs see the same names.
run() {  # run NAME PROGRAM [LAUNCHER]
  local dir=$work/$1 program=$2
  shift 2
  mkdir -p "$dir"
  cp "$program" build/default/app/{rfmodem.tpf,eeprom.tpf,server.sff,tpftune.tpf,srvftune.sff} "$dir/"
  (cd "$dir" && "$@" "./$(basename "$program")" --bench --gold server --restore-server \
    --rf-modem rfmodem.tpf --eeprom eeprom.tpf --server-firmware server.sff \
    --answers ok,yes,yes,no --bench-report report.json --records none \
    </dev/null >log.txt 2>progress.txt) || echo "$1: exit status $?" >"$dir/status.txt"
  # Line ends as Linux writes them.
  for f in log.txt progress.txt report.json; do sed -i 's/\r$//' "$dir/$f"; done
}
run linux build/default/app/tptune-cli
run windows build/windows/app/tptune-cli.exe "$wine"

status=0
# The run trace goes beside the program under its default name on both (tptune-cli.ERR).
for f in log.txt report.json tptune-cli.ERR status.txt; do
  if [ -e "$work/linux/$f" ] || [ -e "$work/windows/$f" ]; then
    if cmp -s "$work/linux/$f" "$work/windows/$f"; then
      echo "same $f ($(wc -c <"$work/linux/$f") bytes)"
    else
      echo "*** $f differs between the Linux and the Windows program:" >&2
      diff "$work/linux/$f" "$work/windows/$f" | head -n 20 >&2 || true
      status=1
    fi
  fi
done
exit $status
