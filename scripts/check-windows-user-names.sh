#!/usr/bin/env bash
# The installed programs used by a Windows user whose name goes beyond ASCII, under Wine, in a
# fresh prefix of its own made for the user "Jörg Müller" (Wine names the user and the profile
# folder after $USER, so %LOCALAPPDATA% is C:\users\Jörg Müller\AppData\Local):
#   - the installer, run silently, installs into Program Files;
#   - a window job (the installed tptune.exe --bench, clicked through by
#     tests/win32/window_driver.cpp on a virtual display) and a console job (the installed
#     tptune-cli.exe) keep the settings file, their error log files and the records in
#     %LOCALAPPDATA%\tptune\ of that user, the folder of the real name, and nowhere else;
#   - no file or folder named after another reading of the name (its UTF-8 bytes read in the
#     ANSI code page: "JÃ¶rg MÃ¼ller") appears on drive C: or in the jobs' folders;
#   - the console job takes its packages from a folder named with umlauts, and its
#     "--operator Jörg" reads back as "Jörg" from the installed tptune-records.exe.
# The prefix's ANSI code page must not be UTF-8 (a narrow name would then be right by chance);
# that is checked first. Needs build/windows with its tests (the window driver).
# Usage: scripts/check-windows-user-names.sh SETUP.exe
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

[ $# -eq 1 ] || { echo "usage: $0 SETUP.exe" >&2; exit 2; }
user='Jörg Müller'
# A Wine session of its own, for this user, with file names in UTF-8 on the Linux side.
if [ "${TPTUNE_USER_NAMES_SESSION:-}" != 1 ]; then
  export USER=$user LOGNAME=$user LC_ALL=C.UTF-8 TPTUNE_USER_NAMES_SESSION=1
  exec scripts/wine-session.sh "$0" "$(realpath "$1")"
fi
setup=$1
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
driver=build/windows/tests/win32/tptune_window_driver.exe
[ -f "$driver" ] || { echo "$0: $driver is missing (build the windows preset)" >&2; exit 2; }
started=$SECONDS

source scripts/check-lib.sh

work=$(mktemp -d)
xvfb_pid=
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

acp=$("$wine" reg query 'HKLM\System\CurrentControlSet\Control\Nls\CodePage' /v ACP |
      tr -d '\r' | sed -n 's/^ *ACP *REG_SZ *//p')
if [ -z "$acp" ] || [ "$acp" = 65001 ]; then
  echo "*** the prefix's ANSI code page is '${acp:-unknown}': narrow names would not be tried" >&2
  exit 1
fi
echo "ANSI code page $acp"
# What cmd echoes comes in the ANSI code page.
local_app_data=$("$wine" cmd /c echo '%LOCALAPPDATA%' | tr -d '\r' | iconv -f "CP$acp" -t UTF-8)
profile="$WINEPREFIX/drive_c/users/$user"
check "%LOCALAPPDATA% is C:\\users\\$user\\AppData\\Local" \
  [ "$local_app_data" = "C:\\users\\$user\\AppData\\Local" ]
check "the profile folder is named $user" [ -d "$profile/AppData/Local" ]
data_dir="$profile/AppData/Local/tptune"
install_win='C:\Program Files\tptune'
install_dir="$WINEPREFIX/drive_c/Program Files/tptune"

"$wine" "$setup" /S
for exe in tptune.exe tptune-cli.exe tptune-records.exe; do
  check "$exe installed" [ -f "$install_dir/bin/$exe" ]
done
echo "installed: $((SECONDS - started)) s"

# Any installed program makes the user's data folder: the records program, asked before there
# are records, too.
"$wine" "$install_win\\bin\\tptune-records.exe" list </dev/null >/dev/null 2>&1
check "the user's data folder made by the installed program" [ -d "$data_dir" ]

# The production packages in a folder named with umlauts, for both jobs.
packages="$work/Pakete für Jörg"
mkdir -p "$packages"
cp "$install_dir"/share/tptune/demo/{rfmodem.tpf,eeprom.tpf,server.sff} "$packages/"
packages_win="Z:${packages//\//\\}"

# The window: a whole run on the bench, the Records window (the run's three records), the access
# keys, the dongle's port chosen, Exit (which writes the settings file). Its settings file in the
# user's folder chooses the run the driver goes through (server golden, its firmware restored)
# and the packages in the folder named with umlauts; on Exit the window writes its choices back.
# The driver and the window share a Wine desktop on a virtual display.
printf '%s\r\n' 192 107 '' '' SR $'Auto detect\t' $'Auto detect\t' "$packages_win\\rfmodem.tpf" \
  "$packages_win\\eeprom.tpf" "$packages_win\\server.sff" >"$data_dir/tptune.INI"
exec {xvfb_fd}< <(exec Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null)
xvfb_pid=$!
read -r -u "$xvfb_fd" display
cp "$driver" "$work/"
window_started=$SECONDS
(cd "$work" && DISPLAY=":$display" "$wine" explorer /desktop=tptune-user,640x560 \
  tptune_window_driver.exe window.txt -- "$install_win\\bin\\tptune.exe" --bench \
  --bench-speed 50 >/dev/null 2>&1 &)
while [ ! -e "$work/window.txt.status" ] && ((SECONDS - window_started < 300)); do sleep 0.2; done
outcome=$(tr -d '\r' <"$work/window.txt.status" 2>/dev/null || echo "no outcome within 300 s")
check "the window job went through (window driver: $outcome)" [ "$outcome" = ok ]
kill "$xvfb_pid" 2>/dev/null
xvfb_pid=
echo "window job: $((SECONDS - window_started)) s"
check "the window wrote its choices and kept the packages' names in the user's settings file" \
  [ "$(sed -n '5,6p;8,10p' "$data_dir/tptune.INI" | tr -d '\r')" = "$(printf '%s\n' BRA \
    $'SIM1\tSIM1' "$packages_win\\rfmodem.tpf" "$packages_win\\eeprom.tpf" \
    "$packages_win\\server.sff")" ]

# The console: the same packages, and the operator's name.
(cd "$work" && "$wine" "$install_win\\bin\\tptune-cli.exe" --bench --gold server \
  --restore-server --rf-modem "$packages_win\\rfmodem.tpf" --eeprom "$packages_win\\eeprom.tpf" \
  --server-firmware "$packages_win\\server.sff" --answers ok,yes,yes,no --operator 'Jörg' \
  </dev/null >cli-log.txt 2>cli-progress.txt)
cli_status=$?
check "the console job with packages from \"Pakete für Jörg\" ends with every device tuned" \
  [ "$cli_status" -eq 0 ]

for f in tptune.INI tptune.ERR tptune-cli.ERR tptune-bench.db; do
  check "$f in %LOCALAPPDATA%\\tptune\\ of $user" [ -s "$data_dir/$f" ]
done
# Every file the programs wrote, wherever it went on drive C: (the profile's other folders, a
# folder of a misread name, the installation).
misplaced=$(find "$WINEPREFIX/drive_c" -type f \( -name 'tptune*.INI' -o -name 'tptune*.ERR' \
  -o -name 'tptune*.db' \) ! -path "$data_dir/*")
check "no settings, error log or records file elsewhere on C:" [ -z "$misplaced" ]
[ -z "$misplaced" ] || echo "$misplaced" >&2
# The name's UTF-8 bytes read in the ANSI code page ("JÃ¶rg MÃ¼ller" for page 1252).
misread_name=$(printf '%s' "$user" | iconv -f "CP$acp" -t UTF-8)
misread=$(find "$WINEPREFIX/drive_c" "$work" -name "*${misread_name% *}*" -o \
  -name "*${misread_name#* }*")
check "no file or folder of a misread name" [ -z "$misread" ]
[ -z "$misread" ] || echo "$misread" >&2

# The records both jobs kept, as the installed records program reads them from the user's
# folder: the window's three without an operator, the console's three by "Jörg".
"$wine" "$install_win\\bin\\tptune-records.exe" export --format json --include-bench \
  </dev/null >"$work/records.json" 2>"$work/records-errors.txt"
check "tptune-records reads six records from the user's folder" \
  [ "$(grep -c '^{' "$work/records.json")" -eq 6 ]
check "the console job's three records name the operator \"Jörg\"" \
  [ "$(grep -c '"operator":"Jörg"' "$work/records.json")" -eq 3 ]

echo "user named beyond ASCII: $((SECONDS - started)) s"
if [ "$failures" -ne 0 ]; then
  echo "*** $failures check(s) for the user $user failed" >&2
  for f in cli-log.txt cli-progress.txt window.txt records-errors.txt; do
    [ -s "$work/$f" ] && { echo "--- $f" >&2; tail -n 8 "$work/$f" >&2; }
  done
  ls -la "$profile/AppData/Local" "$data_dir" >&2 2>/dev/null
  exit 1
fi
echo "user named beyond ASCII: every check passed"
