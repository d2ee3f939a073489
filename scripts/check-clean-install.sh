#!/usr/bin/env bash
# The package on a clean Debian 12 station, as a factory's IT department tries it: a bookworm
# minbase root (scripts/clean-root.sh, cached between runs) gets the package with
# "apt-get install ./PACKAGE.deb" and its declared dependencies alone; then a user of the
# station runs the programs (--version, a whole tptune-cli job on the emulated bench with the
# installed demo packages, tptune-records, the window under Xvfb clicking through a bench run
# by itself with its records kept in the data folder, the manual page); then the station adds
# the signed repository of scripts/publish-repo.sh and upgrades to the newer build with
# "apt-get upgrade", keeping the user's settings and records byte for byte; and
# "apt-get purge --autoremove" must leave the station's package list as it was. Needs root.
#
#   scripts/check-clean-install.sh PACKAGE.deb NEWER_PACKAGE.deb
#
# Every check runs and is reported; the script fails at the end when one failed (at once when
# the station cannot be set up or the package not installed).
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -eq 2 ] || { sed -n '12p' "$0" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "check-clean-install.sh: needs root (chroot, mounts)" >&2; exit 2; }
old_deb=$(realpath "$1") new_deb=$(realpath "$2")
old_version=$(dpkg-deb --field "$old_deb" Version)
new_version=$(dpkg-deb --field "$new_deb" Version)
dpkg --compare-versions "$old_version" lt "$new_version" \
  || { echo "check-clean-install.sh: $new_version is not newer than $old_version" >&2; exit 2; }

started=$SECONDS
phase() { echo "--- [$((SECONDS - started)) s] $*"; }
failures=()
check_failed() { failures+=("$*"); echo "*** FAILED: $*" >&2; }
die() { echo "*** clean-system check: $*" >&2; exit 1; }

phase "clean root"
# One check at a time on a machine: they share the cached root and apt's downloaded packages.
cache=${TPTUNE_CI_CACHE:-/var/cache/tptune-ci}
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
tarball=$(scripts/clean-root.sh)
work=$(mktemp -d /var/tmp/tptune-clean.XXXXXX)
root=$work/root
mounts=()
xvfb=""
cleanup() {
  [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
  [ -z "${GNUPGHOME:-}" ] || gpgconf --kill gpg-agent 2>/dev/null || true
  # Unmount in reverse order; the root is only deleted when nothing is mounted below it.
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" || true
  done
  if grep -q " $work/" /proc/mounts; then
    echo "*** still mounted below $work; left in place" >&2
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
mkdir -p "$root"
tar --zstd -xf "$tarball" -C "$root"

# What the programs and apt need of the kernel: /proc, and a /dev of its own with only the
# harmless character devices (the host's /dev is not shared).
mount -t proc proc "$root/proc" && mounts+=("$root/proc")
mount -t tmpfs -o mode=755,size=1m tmpfs "$root/dev" && mounts+=("$root/dev")
for dev in "null 1 3" "zero 1 5" "full 1 7" "random 1 8" "urandom 1 9" "tty 5 0"; do
  set -- $dev
  mknod -m 666 "$root/dev/$1" c "$2" "$3"
done
ln -s /proc/self/fd "$root/dev/fd"
mkdir "$root/dev/pts" "$root/dev/shm"
mount --bind "$cache/archives" "$root/var/cache/apt/archives" \
  && mounts+=("$root/var/cache/apt/archives")
cp /etc/resolv.conf "$root/etc/resolv.conf"

in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
              DEBIAN_FRONTEND=noninteractive "$@"; }
packages() { in_root dpkg-query -W -f='${Package}\n' | sort; }
before=$(packages)

phase "installing $(basename "$old_deb") with apt-get"
cp "$old_deb" "$root/tmp/"
in_root apt-get -q update >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; die "apt-get update"; }
in_root apt-get install -y -q "/tmp/$(basename "$old_deb")" >>"$work/apt.log" 2>&1 \
  || { cat "$work/apt.log"; die "the package does not install with its dependencies"; }
echo "added $(comm -13 <(echo "$before") <(packages) | wc -l) packages"

# The station's user: an unprivileged account with the usual data folder.
in_root useradd --create-home --shell /bin/bash technician
uid=$(in_root id -u technician)
as_user() {
  chroot --userspec="$uid:$uid" "$root" env -i PATH=/usr/bin:/bin LANG=C.UTF-8 \
    HOME=/home/technician USER=technician ${DISPLAY:+DISPLAY=$DISPLAY} "$@"
}
data=/home/technician/.local/share/tptune
demo=/usr/share/tptune/demo

phase "the programs as the user"
upstream=${old_version%-*}
for program in tptune tptune-cli tptune-records tptune-sim; do
  line=$(as_user "/usr/bin/$program" --version 2>&1 || true)
  [[ "$line" == "$program $upstream (built "* ]] || check_failed "$program --version printed \"$line\""
done

status=0
as_user sh -c "cd && tptune-cli --bench --gold server --restore-server \
  --rf-modem $demo/rfmodem.tpf --eeprom $demo/eeprom.tpf --server-firmware $demo/server.sff \
  --answers ok,yes,no </dev/null" >"$work/cli.log" 2>&1 || status=$?
completed=$(grep -c '^Completed successfully!$' "$work/cli.log" || true)
echo "tptune-cli --bench: exit status $status, $completed \"Completed successfully!\" lines"
if [ "$status" -ne 0 ] || [ "$completed" -lt 2 ]; then
  tail -n 20 "$work/cli.log"
  check_failed "the bench job of tptune-cli (exit status $status, $completed handhelds completed)"
fi
grep -q '^--- Restoring server firmware' "$work/cli.log" || check_failed "the server was not restored"
[ -s "$root$data/tptune-cli.ERR" ] || check_failed "no error log file in the data folder"
[ ! -e "$root/usr/bin/tptune-cli.ERR" ] || check_failed "tptune-cli wrote into /usr/bin"

# The bench job's records, as the user lists them without naming a store.
if as_user sh -c 'cd && tptune-records list' >"$work/records.log" 2>&1; then
  rows=$(grep -c '00A1' "$work/records.log" || true)
  [ "$rows" -ge 2 ] || check_failed "tptune-records list shows $rows of the bench job's handhelds"
else
  check_failed "tptune-records list: $(tail -n 1 "$work/records.log")"
fi

# The window on a virtual display of the host (its socket is reached from the root through the
# abstract namespace), clicking through one bench run by itself: the settings file in the data
# folder names the demo packages, the server is the golden reference and is restored.
phase "the window under Xvfb"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || die "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=:$(cat "$work/display")
records_before=$(as_user tptune-records --db "$data/tptune-bench.db" list 2>/dev/null \
                 | grep -c '00A1' || true)
printf '%s\r\n' 100 80 '' '' SR $'Auto detect\t' $'Auto detect\t' \
  "$demo/rfmodem.tpf" "$demo/eeprom.tpf" "$demo/server.sff" >"$work/tptune.INI"
as_user mkdir -p "$data"
install -o "$uid" -g "$uid" -m 644 "$work/tptune.INI" "$root$data/tptune.INI"
status=0
as_user timeout 600 sh -c 'cd && tptune --bench --bench-speed 100 --screenshots /tmp/window' \
  >"$work/window.log" 2>&1 || status=$?
echo "tptune --bench (scripted run): exit status $status"
if [ "$status" -ne 0 ]; then
  tail -n 20 "$work/window.log"
  check_failed "the window's scripted bench run ended with $status"
fi
[ -s "$root/tmp/window/run-ended.png" ] || check_failed "the window's run did not reach its end"
records_after=$(as_user tptune-records --db "$data/tptune-bench.db" list 2>/dev/null \
                | grep -c '00A1' || true)
echo "records in $data/tptune-bench.db: $records_before before the window's run, $records_after after"
if [ "$records_after" -le "$records_before" ]; then
  # What the window said about its records, from its error log file.
  tr '\r' '\n' <"$root$data/tptune.ERR" 2>/dev/null | grep -i 'record' | head -n 3 || true
  check_failed "the window's run kept no record in the data folder ($data/tptune-bench.db)"
fi
kill "$xvfb" 2>/dev/null || true
xvfb=""
unset DISPLAY

phase "the manual page"
as_user sh -c 'MANPAGER=cat MANWIDTH=80 man tptune-cli' >"$work/man.txt" 2>&1 || true
for section in SYNOPSIS OPTIONS "EXIT STATUS" FILES; do
  grep -q "^$section" "$work/man.txt" || check_failed "man tptune-cli shows no $section section"
done

phase "upgrade to $new_version from the signed repository"
# What the user keeps: every file of the data folder, compared byte for byte after the upgrade.
(cd "$root$data" && find . -type f -print0 | sort -z | xargs -0 sha256sum) >"$work/kept.sha256"
export GNUPGHOME=$work/gnupg
repo=$work/repo
scripts/publish-repo.sh --throwaway-key "$repo" "$old_deb" >/dev/null
scripts/publish-repo.sh --throwaway-key "$repo" "$new_deb"
mkdir -p "$root/srv/tptune-repo"
mount --bind -o ro "$repo" "$root/srv/tptune-repo" && mounts+=("$root/srv/tptune-repo")
# The station's side: the repository's key and one sources entry.
install -m 644 "$repo/tptune-archive-keyring.gpg" "$root/usr/share/keyrings/"
sed 's|^URIs: .*|URIs: file:/srv/tptune-repo|' "$repo/tptune.sources" \
  >"$root/etc/apt/sources.list.d/tptune.sources"
if in_root apt-get -q update >"$work/upgrade.log" 2>&1 && in_root apt-get -y -q upgrade >>"$work/upgrade.log" 2>&1; then
  installed=$(in_root dpkg-query -W -f='${Version}' tptune)
  [ "$installed" = "$new_version" ] || check_failed "after apt-get upgrade tptune is at $installed"
  line=$(as_user tptune-cli --version)
  [[ "$line" == "tptune-cli ${new_version%-*} (built "* ]] \
    || check_failed "after the upgrade tptune-cli --version printed \"$line\""
  (cd "$root$data" && sha256sum --quiet -c "$work/kept.sha256") \
    || check_failed "the upgrade changed the user's settings or records"
  echo "upgraded to $installed; $(wc -l <"$work/kept.sha256") files of the data folder kept"
else
  cat "$work/upgrade.log"
  check_failed "the upgrade from the repository failed"
fi
grep -q 'NO_PUBKEY\|not signed\|unauthenticated' "$work/upgrade.log" \
  && check_failed "apt did not trust the repository's signature"
rm -f "$root/etc/apt/sources.list.d/tptune.sources" "$root/usr/share/keyrings/tptune-archive-keyring.gpg"

phase "purge --autoremove"
in_root apt-get purge -y -q --autoremove tptune >"$work/purge.log" 2>&1 \
  || { cat "$work/purge.log"; check_failed "apt-get purge --autoremove tptune failed"; }
left=$(diff <(echo "$before") <(packages) || true)
[ -z "$left" ] || check_failed "the package list differs after the purge: $left"
[ ! -e "$root/usr/share/tptune" ] && [ -z "$(ls "$root/usr/bin" | grep '^tptune' || true)" ] \
  || check_failed "files of the package are left after the purge"
in_root apt-get -q autoclean >/dev/null 2>&1 || true

phase "done"
if ((${#failures[@]})); then
  echo "*** clean-system check: ${#failures[@]} check(s) failed:" >&2
  printf '  - %s\n' "${failures[@]}" >&2
  exit 1
fi
echo "--- clean-system check passed"
