#!/usr/bin/env bash
# The clean Debian 12 station the clean-system check installs the package on: a debootstrap'd
# bookworm minbase root with the few tools the check itself uses (man-db for "man"), made once
# and kept as a tarball in the cache folder, keyed by suite, mirror and package list, so a
# second run on the same machine unpacks it in seconds instead of bootstrapping again (for two
# weeks; then it is made anew). The packages apt downloads into the root are kept in the cache
# as well.
#
#   scripts/clean-root.sh                 makes the cached root if it is missing; prints its path
#
# Environment: TPTUNE_CI_CACHE (default /var/cache/tptune-ci), TPTUNE_CI_MIRROR (default the
# mirror the machine's own apt set-up names for bookworm). Needs root.
set -euo pipefail

cache=${TPTUNE_CI_CACHE:-/var/cache/tptune-ci}
# The machine's own mirror for the release, without its trailing slash.
mirror=${TPTUNE_CI_MIRROR:-$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
                              awk '$2 == "bookworm" { sub(/\/$/, "", $1); print $1; exit }')}
[ -n "$mirror" ] || { echo "clean-root: the machine's apt set-up names no mirror for bookworm" >&2; exit 1; }
suite=bookworm
base_packages=(man-db)

key=$(printf '%s\n' "$suite" "$mirror" "${base_packages[@]}" "v1" | sha256sum | cut -c1-12)
tarball=$cache/$suite-minbase-$key.tar.zst
mkdir -p "$cache/archives"

# A root older than two weeks is made anew, so the station does not lag far behind the release's
# updates (the check upgrades the station, which would fetch them all each time).
find "$cache" -maxdepth 1 -name "$suite-minbase-*.tar.zst" -mtime +14 -delete
if [ -s "$tarball" ]; then
  echo "$tarball"
  exit 0
fi

echo "clean root: bootstrapping $suite (minbase) from $mirror into the cache" >&2
work=$(mktemp -d /var/tmp/tptune-root.XXXXXX)
root=$work/root
cleanup() {
  # Never delete below a mount point that is still there.
  for m in "$root/var/cache/apt/archives" "$root/proc"; do
    if mountpoint -q "$m" 2>/dev/null; then umount "$m" || umount -l "$m"; fi
  done
  if ! grep -q " $work/" /proc/mounts; then rm -rf "$work"; fi
}
trap cleanup EXIT

mkdir -p "$root/var/cache/apt/archives"
# The downloaded packages go to the cache, for this run and the next ones.
mount --bind "$cache/archives" "$root/var/cache/apt/archives"
debootstrap --variant=minbase --include="$(IFS=,; echo "${base_packages[*]}")" \
  "$suite" "$root" "$mirror" >"$work/debootstrap.log" 2>&1 \
  || { tail -n 30 "$work/debootstrap.log" >&2; exit 1; }
# A station's sources: the release and its updates from the same mirror.
cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror $suite main
deb $mirror $suite-updates main
EOF
# No man-db cache rebuild after each package (it takes most of an install's time here).
echo 'man-db man-db/auto-update boolean false' | chroot "$root" debconf-set-selections
mount -t proc proc "$root/proc"
chroot "$root" apt-get -q update >"$work/update.log" 2>&1 \
  || { cat "$work/update.log" >&2; exit 1; }
umount "$root/proc"
umount "$root/var/cache/apt/archives"
tar --zstd -C "$root" -cf "$work/root.tar.zst" .
mv "$work/root.tar.zst" "$tarball"
echo "$tarball"
