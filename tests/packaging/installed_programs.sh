#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what an installed program does: every
# program answers --version with one line from the project version; tptune-cli, run from a
# folder that is neither the build folder nor its own, finds the installed test firmwares and
# writes its error log file into the user's data folder, not beside itself.
#
#   installed_programs.sh BUILD_DIR VERSION [MORE_PROGRAMS...]
set -euo pipefail
build=$1 version=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "FAILED: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
data=$prefix/share/tptune
for f in bin/tptune-cli share/tptune/tpftune.tpf share/tptune/srvftune.sff \
         share/tptune/demo/rfmodem.tpf share/tptune/demo/eeprom.tpf share/tptune/demo/server.sff \
         share/doc/tptune/examples/99-tptune.rules; do
  [ -s "$prefix/$f" ] || fail "$f was not installed"
done
if [ -e "$build/app/tptune" ]; then
  for f in bin/tptune share/applications/tptune.desktop share/icons/hicolor/scalable/apps/tptune.svg; do
    [ -s "$prefix/$f" ] || fail "$f was not installed"
  done
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$prefix/share/applications/tptune.desktop" || fail "desktop entry"
  fi
fi
if [ -e "$build/packaging/tptune-cli.1.gz" ]; then
  zcat "$prefix/share/man/man1/tptune-cli.1.gz" >"$work/tptune-cli.1"
  grep -qF 'restore\-server' "$work/tptune-cli.1" \
    || fail "the manual page of tptune-cli does not show its options"
  # Every page has the sections a user looks for, in the usual order and no others (a stray one
  # is a line of the page's sources read as a heading), and its whatis line says what the
  # program does.
  sections='NAME|SYNOPSIS|DESCRIPTION|OPTIONS|"EXIT STATUS"|FILES|"SEE ALSO"|'
  for page in "$prefix"/share/man/man1/*.1.gz; do
    name=$(basename "$page" .1.gz)
    got=$(zcat "$page" | sed -n 's/^\.SH //p' | tr '\n' '|')
    [ "$got" = "$sections" ] || fail "$name.1 has the sections $got"
    whatis=$(lexgrog "$page" | sed 's/^[^"]*"//; s/"$//')
    [[ "$whatis" =~ ^$name\ -\ .{20,} && "$whatis" != *"part of"* ]] \
      || fail "$name.1's whatis line is \"$whatis\""
  done
  # The options of the installed window and console name the data folder for their records.
  zcat "$prefix/share/man/man1/tptune-cli.1.gz" | grep -q "user's data folder" \
    || fail "tptune-cli.1 does not say where an installed program keeps its records"
fi
# The licence and the changelogs; the Debian changelog starts at this build's version.
doc=$prefix/share/doc/tptune
grep -q '^License: Expat$' "$doc/copyright" || fail "no machine-readable copyright file"
[ "$(zcat "$doc/changelog.Debian.gz" | head -n 1)" = "tptune ($version-1) bookworm; urgency=medium" ] \
  || fail "the Debian changelog starts with \"$(zcat "$doc/changelog.Debian.gz" | head -n 1)\""
zcat "$doc/changelog.gz" | grep -q '^## \[Unreleased\]' || fail "no upstream changelog"

# One line each: NAME VERSION (built YYYY-MM-DD).
for program in "$prefix"/bin/* "$@"; do
  name=$(basename "$program")
  line=$("$program" --version)
  [[ "$line" =~ ^$name\ ${version//./\\.}\ \(built\ [0-9]{4}-[0-9]{2}-[0-9]{2}\)$ ]] \
    || fail "$name --version printed \"$line\""
done

mkdir -p "$work/elsewhere" "$work/home"
cd "$work/elsewhere"
status=0
HOME=$work/home XDG_DATA_HOME=$work/data "$prefix/bin/tptune-cli" --bench --restore-server \
  --rf-modem "$data/demo/rfmodem.tpf" --eeprom "$data/demo/eeprom.tpf" \
  --server-firmware "$data/demo/server.sff" --answers ok,no </dev/null >run.log 2>&1 || status=$?
[ "$status" -eq 0 ] || { cat run.log; fail "the installed tptune-cli's bench job ended with $status"; }
[ -s "$work/data/tptune/tptune-cli.ERR" ] || fail "no error log file in the user's data folder"
[ ! -e "$prefix/bin/tptune-cli.ERR" ] || fail "the installed program wrote beside itself"
echo "installed programs: all checks passed"
