#!/usr/bin/env bash
# The Debian changelog made from CHANGELOG.md, for a snapshot build and for a release build:
# dpkg-parsechangelog reads it without a complaint, its entries run from the build's version down
# in strictly falling versions and dates, and its lines fit in 80 columns.
#
#   debian_changelog.sh SOURCE_DIR
set -euo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }
make() {  # CHANGELOG VERSION -> the Debian changelog's path
  python3 "$src/packaging/debian-changelog.py" "$1" "$2" 1 "t <t@example.com>" "$(date +%s)" \
    "$work/out" && echo "$work/out"
}
check() {  # CHANGELOG VERSION FIRST_ENTRY
  local out
  out=$(make "$1" "$2")
  dpkg-parsechangelog -l "$out" --all >/dev/null 2>"$work/err" || fail "$(cat "$work/err")"
  [ ! -s "$work/err" ] || fail "dpkg-parsechangelog: $(cat "$work/err")"
  [ "$(dpkg-parsechangelog -l "$out" -S Version)" = "$3" ] || fail "first entry is not $3"
  local versions dates previous="" previous_date=""
  dpkg-parsechangelog -l "$out" --all --format rfc822 >"$work/entries"
  mapfile -t versions < <(sed -n 's/^Version: //p' "$work/entries")
  mapfile -t dates < <(sed -n 's/^Timestamp: //p' "$work/entries")
  [ "${#versions[@]}" -ge 2 ] || fail "only ${#versions[@]} entries"
  for i in "${!versions[@]}"; do
    if [ -n "$previous" ]; then
      dpkg --compare-versions "${versions[i]}" lt "$previous" \
        || fail "${versions[i]} after $previous"
      [ "${dates[i]}" -lt "$previous_date" ] || fail "${versions[i]} is not older than $previous"
    fi
    previous=${versions[i]} previous_date=${dates[i]}
  done
  ! grep -q '.\{81\}' "$out" || fail "a line is longer than 80 columns"
  echo "$2: ${versions[*]}"
}

check "$src/CHANGELOG.md" 0.2.0~git20261212.140.abc1234 0.2.0~git20261212.140.abc1234-1
# The release (dated before the build, as releases are): its own section heads the changelog,
# nothing unreleased.
sed "s/^## \\[Unreleased\\]$/## [0.2.0] - $(date -u +%F)/" "$src/CHANGELOG.md" >"$work/CHANGELOG.md"
check "$work/CHANGELOG.md" 0.2.0 0.2.0-1
echo "debian changelog: all checks passed"
