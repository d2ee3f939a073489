#!/usr/bin/env bash
# The udev how-to's command, as README.md and the example rule file give it, run on recorded
# "udevadm info --attribute-walk" output of usb-serial adapters: it must print the adapter's own
# idVendor, idProduct and serial -- not stop at the usb-serial block above it, and not take the
# values of a hub or the host controller further up.
#
#   udev_howto.sh SOURCE_DIR FIXTURE_DIR
set -euo pipefail
src=$1 fixtures=$2
fail() { echo "FAILED: $*" >&2; exit 1; }
walk='udevadm info --attribute-walk --name=/dev/ttyUSB0'

command=$(grep -o "\`$walk | [^\`]*\`" "$src/README.md" | tr -d '`')
[ -n "$command" ] || fail "README.md gives no udevadm command"
pipeline=${command#"$walk | "}
grep -qF "$walk | $pipeline" "$src/docs/udev/99-tptune.rules" \
  || fail "the example rule file gives another command than README.md"

# fixture | expected lines
cases=(
  "udevadm-ftdi-ft232r.txt|ATTRS{idProduct}==\"6001\" ATTRS{idVendor}==\"0403\" ATTRS{serial}==\"A10DONGL\""
  "udevadm-ch340-no-serial.txt|ATTRS{idProduct}==\"7523\" ATTRS{idVendor}==\"1a86\""
)
for c in "${cases[@]}"; do
  fixture=${c%%|*} expected=${c#*|}
  got=$(bash -c "cat '$fixtures/$fixture' | $pipeline" | sed 's/^ *//' | tr '\n' ' ')
  [ "$got" = "$expected " ] || fail "$fixture: the command printed \"$got\", not \"$expected\""
  echo "$fixture: $got"
done
# The command the how-to gave before stopped at the usb-serial block.
old=$(grep -m3 -E 'idVendor|idProduct|serial' "$fixtures/udevadm-ftdi-ft232r.txt" | tr -d ' ')
[[ "$old" != *'ATTRS{serial}=="A10DONGL"'* ]] || fail "the fixture does not show the old fault"
echo "udev how-to: all checks passed"
