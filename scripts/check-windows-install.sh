#!/usr/bin/env bash
# The Windows installer as a station's administrator uses it, under Wine (run inside
# scripts/wine-session.sh): a silent install (/S) of an older version into Program Files, a job
# on the emulated bench by the installed console program, an upgrade to the newer version over
# it, a second job, and a silent uninstall. Checked on the way:
#   - the installation: the programs, the DLLs they load, test firmwares and demo packages, the
#     uninstaller and its entry (version, icon), the Start-menu entries;
#   - an installed program counts as installed: it reads the installed test firmwares and writes
#     its error log file into the user's data folder (%LOCALAPPDATA%\tptune\), nothing into the
#     installation;
#   - the upgrade replaces the programs and keeps the user's files (settings, records) unchanged;
#   - the uninstaller removes the installation, its entry and Start-menu folder, and leaves the
#     user's files;
#   - the newer installer for a user named beyond ASCII, on a fresh prefix of its own
#     (scripts/check-windows-user-names.sh).
# Wine enforces no access rights, so a write into Program Files would succeed here: the check
# looks at where the files went.
# Usage: scripts/check-windows-install.sh OLDER-SETUP.exe NEWER-SETUP.exe
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

[ $# -eq 2 ] || { echo "usage: $0 OLDER-SETUP.exe NEWER-SETUP.exe" >&2; exit 2; }
[ -n "${WINEPREFIX:-}" ] || { echo "$0: run inside scripts/wine-session.sh" >&2; exit 2; }
older=$(realpath "$1") newer=$(realpath "$2")
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)

version_of() {  # the version in an installer's name: tptune-VERSION-setup.exe
  local name
  name=$(basename "$1")
  name=${name#tptune-}
  echo "${name%-setup.exe}"
}

source scripts/check-lib.sh

# The Linux path of a path on drive C: (C:\ is the prefix's drive_c/).
windows_path() {
  local path=${1//\\//}
  case $path in
    [Cc]:/*) echo "$WINEPREFIX/drive_c/${path:3}" ;;
    *) echo "$path" ;;
  esac
}
env_folder() { windows_path "$("$wine" cmd /c echo "%$1%" | tr -d '\r')"; }

install_win='C:\Program Files\tptune'
install_dir=$(windows_path "$install_win")
menu_dir="$(env_folder ProgramData)/Microsoft/Windows/Start Menu/Programs/tptune"
data_dir="$(env_folder LOCALAPPDATA)/tptune"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\tptune'
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

entry_value() {  # the uninstall entry's value NAME ("" when there is no entry)
  "$wine" reg query "$uninstall_key" /v "$1" 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$1 *REG_SZ *//p"
}
program_version() { "$wine" "$install_win\\bin\\tptune-cli.exe" --version </dev/null | tr -d '\r'; }

# Every file below a folder with its checksum, one a line, paths relative to the folder.
snapshot() { (cd "$1" 2>/dev/null && find . -type f -print0 | sort -z | xargs -0r sha256sum); }

# The job of scripts/compare-windows-run.sh with the installed program and its demo packages,
# started from a folder of its own; exit status 0: every device tuned ended successfully.
job() {  # job NAME
  local dir=$work/$1 demo="$install_win\\share\\tptune\\demo"
  mkdir -p "$dir"
  (cd "$dir" && "$wine" "$install_win\\bin\\tptune-cli.exe" --bench --gold server \
    --restore-server --rf-modem "$demo\\rfmodem.tpf" --eeprom "$demo\\eeprom.tpf" \
    --server-firmware "$demo\\server.sff" --answers ok,yes,yes,no \
    </dev/null >log.txt 2>progress.txt)
}

installed_files() {
  local f
  for f in bin/tptune-cli.exe bin/libpq.dll bin/libssl-3-x64.dll bin/libcrypto-3-x64.dll \
           share/tptune/tpftune.tpf share/tptune/srvftune.sff \
           share/tptune/demo/rfmodem.tpf share/tptune/demo/eeprom.tpf \
           share/tptune/demo/server.sff share/doc/tptune/LICENSE.txt uninstall.exe; do
    [ -f "$install_dir/$f" ] || { echo "missing $f" >&2; return 1; }
  done
}
# Each program starts from the installation alone: a DLL it loads that the installer left out
# stops it before it can answer --version (exit status 0xc0000135 instead of 0).
programs_start() {
  local exe
  for exe in "$install_dir"/bin/*.exe; do
    "$wine" "$install_win\\bin\\$(basename "$exe")" --version </dev/null >/dev/null 2>&1 ||
      { echo "$(basename "$exe") did not start" >&2; return 1; }
  done
}
menu_entries() {
  [ -f "$menu_dir/Uninstall.lnk" ] || return 1
  [ ! -f "$install_dir/bin/tptune.exe" ] || [ -f "$menu_dir/TallyPilot fine-tuning.lnk" ] ||
    return 1
  [ ! -f "$install_dir/bin/tptune-records.exe" ] ||
    [ -f "$menu_dir/TallyPilot production records.lnk" ]
}
# The records the installed records program reads (bench records included), one JSON line each;
# empty when this build has no records program.
records_count() {
  [ -f "$install_dir/bin/tptune-records.exe" ] || return 0
  "$wine" "$install_win\\bin\\tptune-records.exe" export --format json --include-bench \
    </dev/null 2>/dev/null | grep -c '^{'
}
nothing_written_into_installation() {
  local extra
  extra=$(cd "$install_dir" && find . -type f -newer "$work/installed" | grep -v '^./uninstall.exe$')
  [ -z "$extra" ] || { echo "written into the installation: $extra" >&2; return 1; }
}

echo "=== install $(version_of "$older") silently"
started=$SECONDS
"$wine" "$older" /S
echo "install: $((SECONDS - started)) s"
touch "$work/installed"
check "programs, DLLs, test firmwares, demo packages and uninstaller installed" installed_files
check "every installed program starts from the installation" programs_start
check "the programs are the older version" \
  [ "$(program_version | cut -d' ' -f2)" = "$(version_of "$older")" ]
check "uninstall entry carries the version" [ "$(entry_value DisplayVersion)" = "$(version_of "$older")" ]
check "uninstall entry's icon is an installed program" \
  [ -f "$(windows_path "$(entry_value DisplayIcon)")" ]
check "Start-menu entries" menu_entries

echo "=== a bench job by the installed program"
check "the job ends with every device tuned" job first
check "error log file in the user's data folder" [ -f "$data_dir/tptune-cli.ERR" ]
check "nothing written into the installation" nothing_written_into_installation
records_first=$(records_count)
if [ -n "$records_first" ]; then
  check "the job's records kept ($records_first)" [ "$records_first" -gt 0 ]
else
  echo "(records not checked: this build has no tptune-records.exe)"
fi
# The user's settings as the window keeps them beside the records; the upgrade and the
# uninstaller must leave them as they are.
mkdir -p "$data_dir"
printf '[Settings]\r\nCOM1=COM5\r\n' >"$data_dir/tptune.INI"
snapshot "$data_dir" >"$work/data-before"

echo "=== upgrade to $(version_of "$newer") silently"
started=$SECONDS
"$wine" "$newer" /S
echo "upgrade: $((SECONDS - started)) s"
check "the programs are the newer version" \
  [ "$(program_version | cut -d' ' -f2)" = "$(version_of "$newer")" ]
check "one uninstall entry, with the newer version" \
  [ "$(entry_value DisplayVersion)" = "$(version_of "$newer")" ]
check "every installed program starts from the installation" programs_start
check "the user's files kept unchanged" cmp -s "$work/data-before" <(snapshot "$data_dir")
check "a second job ends with every device tuned" job second
[ -z "$records_first" ] ||
  check "the records of both jobs kept" [ "$(records_count)" = $((2 * records_first)) ]

echo "=== uninstall silently"
snapshot "$data_dir" >"$work/data-before"
started=$SECONDS
"$wine" "$install_win\\uninstall.exe" /S
# The uninstaller runs on from a copy of itself in the temporary folder (~nsuN.tmp\Un.exe) and
# ends when it is done: wait for that, at most 30 s.
for _ in $(seq 1 300); do pgrep -f '~nsu[0-9A-Za-z]*\.tmp' >/dev/null || break; sleep 0.1; done
echo "uninstall: $((SECONDS - started)) s"
check "installation folder removed" [ ! -e "$install_dir" ]
check "Start-menu folder removed" [ ! -e "$menu_dir" ]
check "uninstall entry removed" [ -z "$(entry_value DisplayVersion)" ]
check "the user's files kept unchanged" cmp -s "$work/data-before" <(snapshot "$data_dir")

echo "=== the newer installation used by a user named beyond ASCII"
check "the user's files in the data folder of the user's real name" \
  scripts/check-windows-user-names.sh "$newer"

if [ "$failures" -ne 0 ]; then
  echo "*** $failures check(s) of the Windows installer failed" >&2
  for f in "$work"/*/log.txt; do echo "--- $f" >&2; tail -n 5 "$f" >&2; done
  exit 1
fi
echo "Windows installer: every check passed"
