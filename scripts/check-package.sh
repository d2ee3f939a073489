#!/usr/bin/env bash
# Installs the Debian package with apt-get, runs the installed programs from a folder that is not
# the build folder -- the version line and a whole job on the emulated bench with the installed
# test firmwares and demo packages -- and purges the package again together with whatever its
# installation brought in, so the machine is left as it was. Needs root.
#
#   scripts/check-package.sh build/default/tptune_<version>_<arch>.deb
set -euo pipefail
deb=$(realpath "$1")

if dpkg-query -W -f='${Status}' tptune 2>/dev/null | grep -q "install ok installed"; then
  echo "tptune is installed on this machine already; the package check leaves it alone" >&2
  exit 0
fi

installed() { dpkg-query -W -f='${Package}\n' | sort; }
before=$(installed)
work=$(mktemp -d)
cleanup() {
  # Everything the installation added, tptune first among them.
  local added
  added=$(comm -13 <(echo "$before") <(installed) | tr '\n' ' ')
  if [ -n "$added" ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y $added >/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$deb" >"$work/apt.log" \
  || { cat "$work/apt.log"; exit 1; }
echo "--- installed: $(comm -13 <(echo "$before") <(installed) | tr '\n' ' ')"

cd "$work"
export HOME="$work/home" XDG_DATA_HOME="$work/data"
mkdir -p "$HOME"
/usr/bin/tptune-cli --version
/usr/bin/tptune --version
demo=/usr/share/tptune/demo
status=0
# The main job: the server as golden reference, two handhelds (Ok, Yes, No), the server restored.
/usr/bin/tptune-cli --bench --gold server --restore-server --rf-modem "$demo/rfmodem.tpf" \
  --eeprom "$demo/eeprom.tpf" --server-firmware "$demo/server.sff" --answers ok,yes,no \
  </dev/null >run.log 2>&1 || status=$?
completed=$(grep -c '^Completed successfully!$' run.log || true)
echo "--- bench job from $work: exit status $status, $completed \"Completed successfully!\" lines"
fail() { cat run.log; echo "*** package check: $*" >&2; exit 1; }
[ "$status" -eq 0 ] || fail "the installed tptune-cli job failed"
grep -q '^--- Restoring server firmware' run.log || fail "the server was not restored"
# The error log file goes to the user's data folder under the name the program gives it.
[ -s "$XDG_DATA_HOME/tptune/tptune-cli.ERR" ] || fail "no error log file in the data folder"
[ ! -e /usr/bin/tptune-cli.ERR ] || fail "the installed program wrote into /usr/bin"
for f in /usr/share/man/man1/tptune-cli.1.gz /usr/share/man/man1/tptune.1.gz \
         /usr/share/applications/tptune.desktop /usr/share/icons/hicolor/scalable/apps/tptune.svg; do
  [ -s "$f" ] || fail "$f is missing"
done
echo "--- package check passed"
