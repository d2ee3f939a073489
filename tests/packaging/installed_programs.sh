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
# The window and the console of a read-only installation, run by an ordinary user (the tests
# run as root in CI: then as the user nobody), keep their production records in that user's data
# folder, in one file that tptune-records lists. The window clicks through one bench run by
# itself; its settings ask for the server restore (so the question after the handheld comes) and
# leave the file boxes empty, which on the bench start with the installed demo packages.
if [ -e "$prefix/bin/tptune" ]; then
  chmod 755 "$work"
  user_home=$work/user
  user_data=$user_home/.local/share/tptune
  mkdir -p "$user_data"
  printf '%s\r\n' 192 107 '' '' SR $'Auto detect\t' $'Auto detect\t' '' '' '' >"$user_data/tptune.INI"
  as_user() {
    local env=(env -i "HOME=$user_home" "PATH=/usr/bin:/bin" QT_QPA_PLATFORM=offscreen)
    if [ "$(id -u)" -eq 0 ]; then
      chown -R nobody: "$user_home"
      runuser -u nobody -- "${env[@]}" "$@"
    else
      "${env[@]}" "$@"
    fi
  }
  records() {
    as_user "$prefix/bin/tptune-records" --db "$user_data/tptune-bench.db" list | grep -c '\[bench\]' || true
  }
  chmod -R a-w "$prefix"
  trap 'chmod -R u+w "$prefix"; rm -rf "$work"' EXIT
  cd "$user_home"
  as_user "$prefix/bin/tptune" --bench --bench-speed 200 --screenshots "$user_home/shots" \
    >window.log 2>&1 || { cat window.log; fail "the installed window's bench run failed"; }
  [ -s "$user_home/shots/run-ended.png" ] || fail "the installed window did not end its run"
  grep -qF "$data/demo/rfmodem.tpf" "$user_data/tptune.INI" \
    || fail "the installed window's file boxes did not start with the demo packages"
  after_window=$(records)
  [ "$after_window" -ge 1 ] || fail "the installed window kept no record in $user_data"
  as_user "$prefix/bin/tptune-cli" --bench --restore-server --rf-modem "$data/demo/rfmodem.tpf" \
    --eeprom "$data/demo/eeprom.tpf" --server-firmware "$data/demo/server.sff" --answers ok,no \
    </dev/null >cli.log 2>&1 || { cat cli.log; fail "the installed console's bench job failed"; }
  after_cli=$(records)
  [ "$after_cli" -gt "$after_window" ] \
    || fail "tptune-records lists $after_cli records after the console, $after_window before"
  [ -z "$(find "$prefix" -name '*.db' -o -name spool -o -name '*.ERR')" ] \
    || fail "an installed program wrote into the installation"
fi
echo "installed programs: all checks passed"
