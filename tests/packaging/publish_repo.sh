#!/usr/bin/env bash
# scripts/publish-repo.sh with a throwaway key, on two small packages named tptune: the
# repository's InRelease and Release.gpg verify with the published keyring alone, its index
# lists both versions (so a station can upgrade and go back), publishing the same file again
# changes nothing, and another file under a published version's name is refused.
#
#   publish_repo.sh SOURCE_DIR
set -euo pipefail
script=$1/scripts/publish-repo.sh
work=$(mktemp -d)
export GNUPGHOME=$work/gnupg
trap 'gpgconf --kill gpg-agent 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

deb() {  # VERSION [MORE_TEXT] -> the package's path
  set -- "$1" "${2:-}"
  local dir=$work/pkg-$1$2
  mkdir -p "$dir/DEBIAN" "$dir/usr/share/doc/tptune"
  printf 'Package: tptune\nVersion: %s\nArchitecture: amd64\nMaintainer: t <t@example.com>\nDescription: test\n' \
    "$1" >"$dir/DEBIAN/control"
  echo "$2" >"$dir/usr/share/doc/tptune/note"
  mkdir -p "$work/out$2"
  dpkg-deb --root-owner-group -b "$dir" "$work/out$2/tptune_$1_amd64.deb" >/dev/null
  echo "$work/out$2/tptune_$1_amd64.deb"
}
old=$(deb 0.2.0~git20261211.130.abc1234-1)
new=$(deb 0.2.0~git20261211.131.def5678-1)
repo=$work/repo

bash "$script" --throwaway-key "$repo" "$old" >/dev/null
bash "$script" --throwaway-key "$repo" "$new" "$new" >/dev/null
dists=$repo/dists/bookworm
for signed in "InRelease" "Release.gpg Release"; do
  set -- $signed
  gpgv --keyring "$repo/tptune-archive-keyring.gpg" "$dists/$1" ${2:+"$dists/$2"} 2>/dev/null \
    || fail "$1 does not verify with the published keyring"
done
versions=$(sed -n 's/^Version: //p' "$dists/main/binary-amd64/Packages" | sort | tr '\n' ' ')
[ "$versions" = "0.2.0~git20261211.130.abc1234-1 0.2.0~git20261211.131.def5678-1 " ] \
  || fail "the index lists \"$versions\""
# Every index the Release file names is there with that checksum, and nothing else.
(cd "$dists" && awk '/^SHA256:/ {on=1; next} /^[A-Z]/ {on=0} on {print $1 "  " $3}' Release \
   | sha256sum --quiet -c -) || fail "the Release file's checksums do not match"
grep -q '^Signed-By: /usr/share/keyrings/tptune-archive-keyring.gpg$' "$repo/tptune.sources" \
  || fail "no sources entry for the stations"

other=$(deb 0.2.0~git20261211.131.def5678-1 rebuilt)
if bash "$script" --throwaway-key "$repo" "$other" 2>"$work/err"; then
  fail "another file under a published version's name was accepted"
fi
grep -q 'published already with other contents' "$work/err" || fail "refusal said: $(cat "$work/err")"
cmp -s "$new" "$repo/pool/main/$(basename "$new")" || fail "the published package was replaced"
echo "publish-repo: all checks passed"
