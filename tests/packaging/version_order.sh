#!/usr/bin/env bash
# The versions builds get from git: in a throwaway repository, commits one after another (two on
# the same day), a release tag, the commits after it, and source folders without a history of
# their own must each give a version that dpkg orders as an upgrade over the one before, so a
# station never answers a newer build with "already the newest version".
#
#   version_order.sh TptuneVersion.cmake
set -euo pipefail
module=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

version() {  # DIR BASE
  cmake -DSOURCE_DIR="$1" -DBASE="$2" -P "$module"
}
commit() {  # DATE
  echo "$1" >>"$work/repo/file"
  git -C "$work/repo" add file
  GIT_AUTHOR_DATE="$1" GIT_COMMITTER_DATE="$1" git -C "$work/repo" commit -qm "change of $1"
}
upgrade() {  # OLD NEW
  dpkg --compare-versions "$1" lt "$2" || fail "$2 does not sort after $1"
  echo "upgrade: $1 -> $2"
}

export GIT_AUTHOR_NAME=t GIT_AUTHOR_EMAIL=t@example.org GIT_COMMITTER_NAME=t \
       GIT_COMMITTER_EMAIL=t@example.org GIT_CONFIG_NOSYSTEM=1 HOME=$work
git init -q "$work/repo"

# Late in the evening west of Greenwich is already the next day in UTC, which the date follows.
commit "2026-12-10T23:30:00-02:00"
first=$(version "$work/repo" 0.2.0)
hash=$(git -C "$work/repo" rev-parse --short=7 HEAD)
[ "$first" = "0.2.0~git20261211.1.$hash" ] || fail "first snapshot is \"$first\""
# The release before this work.
upgrade 0.1 "$first"

# Two more commits on that day: their hashes are in any order, the count keeps them in line.
previous=$first
for time in 10:00 10:05; do
  commit "2026-12-11T$time:00Z"
  next=$(version "$work/repo" 0.2.0)
  upgrade "$previous" "$next"
  previous=$next
done

# The release: exactly the project version, after every snapshot that led to it.
git -C "$work/repo" tag v0.2.0
release=$(version "$work/repo" 0.2.0)
[ "$release" = 0.2.0 ] || fail "the tagged commit gives \"$release\""
upgrade "$previous" "$release"
# A tag of another version does not make a release of this one.
[ "$(version "$work/repo" 0.2.1)" != 0.2.1 ] || fail "v0.2.0 counted as the release of 0.2.1"

# Work towards the next release after it.
commit "2026-12-12T08:00:00Z"
after=$(version "$work/repo" 0.2.1)
upgrade "$release" "$after"

# No history: a source tarball, also one unpacked inside some other repository.
mkdir -p "$work/tarball" "$work/repo/unpacked"
for dir in "$work/tarball" "$work/repo/unpacked"; do
  v=$(SOURCE_DATE_EPOCH=1797033600 version "$dir" 0.2.1)  # 2026-12-12 UTC
  [ "$v" = "0.2.1~src20261212" ] || fail "source folder $dir gives \"$v\""
  dpkg --compare-versions "$v" lt 0.2.1 || fail "$v sorts after the release"
done
echo "versions: all checks passed"
