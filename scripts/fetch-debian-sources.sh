#!/usr/bin/env bash
# Fetches Debian source packages once into a cache outside the source tree and prints, one a
# line, the folder each is unpacked in. The Windows build compiles SQLite and libpq from them.
#
#   scripts/fetch-debian-sources.sh SOURCE_PACKAGE...      (e.g. sqlite3 postgresql-15)
#
# The version fetched is the one of the machine's installed binary packages built from that
# source (so the Windows programs speak the same SQLite and libpq as the Linux ones); with none
# installed, or that version no longer in the archive, the newest the archive offers and can
# deliver (a mirror may list a security update in its index that its pool does not serve; the
# next older version is taken then, with a word). The cache is keyed by package and version:
#   $TPTUNE_CI_CACHE/debian-sources/<package>_<version>/
# with TPTUNE_CI_CACHE defaulting to /var/cache/tptune-ci for root and to
# ${XDG_CACHE_HOME:-~/.cache}/tptune-ci for anyone else.
#
# apt runs with a private sources list and state in a temporary folder; the machine's apt set-up
# is not changed: only the mirrors it names for Debian 12 are read from it (TPTUNE_DEBIAN_MIRRORS,
# "URI SUITE" lines, names others). What is fetched is checked twice over: the Sources index comes
# from the archive's signed InRelease (debian-archive-keyring), the .dsc must carry the digest
# that index gives it, and dpkg-source checks every file of the package against the .dsc.
set -euo pipefail
[ $# -ge 1 ] || { sed -n '5p' "$0" >&2; exit 2; }

source "$(dirname "$0")/ci-cache.sh"
cache=$TPTUNE_CI_CACHE
store=$cache/debian-sources
mkdir -p "$store"
# Two builds on one machine fetch one after the other, not into each other.
exec 8>"$store/.lock"
flock 8

keyring=/usr/share/keyrings/debian-archive-keyring.gpg
# The machine's own Debian 12 mirrors and suites, as its apt set-up names them.
mirrors=${TPTUNE_DEBIAN_MIRRORS:-$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
                                   awk '$2 ~ /^bookworm/' | sort -u)}
[ -n "$mirrors" ] || { echo "fetch-debian-sources: the machine's apt set-up names no Debian 12 mirror" >&2; exit 1; }

# The source version behind the installed binary packages of a source package.
installed_version() {
  dpkg-query -W -f='${db:Status-Abbrev} ${source:Package} ${source:Version}\n' 2>/dev/null |
    awk -v src="$1" '$1 == "ii" && $2 == src && !seen++ { print $3 }'
}

apt_dir=""
apt_opts=()
cleanup() { [ -z "$apt_dir" ] || rm -rf "$apt_dir"; }
trap cleanup EXIT

# A private apt: its own sources list, lists, cache and (empty) configuration.
private_apt() {
  [ -z "$apt_dir" ] || return 0
  apt_dir=$(mktemp -d "${TMPDIR:-/tmp}/tptune-apt.XXXXXX")
  mkdir -p "$apt_dir"/{lists/partial,cache/archives/partial,parts,prefs}
  while read -r uri suite; do
    echo "deb-src [signed-by=$keyring] $uri $suite main"
  done <<<"$mirrors" >"$apt_dir/sources.list"
  apt_opts=(
    -o "Dir::Etc::SourceList=$apt_dir/sources.list"
    -o "Dir::Etc::SourceParts=$apt_dir/parts"
    -o "Dir::Etc::PreferencesParts=$apt_dir/prefs"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache=$apt_dir/cache"
    -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache="
    -o "Debug::NoLocking=1"
    -o "APT::Sandbox::User=root"
  )
  [ "$(id -u)" -eq 0 ] || apt_opts+=(-o "APT::Sandbox::User=$(id -un)")
  echo "fetch-debian-sources: reading the archive's source index" >&2
  apt-get "${apt_opts[@]}" -qq update >&2
}

for package in "$@"; do
  version=$(installed_version "$package")
  if [ -n "$version" ]; then
    done_dir=$store/${package}_$version
    if [ -f "$done_dir/.complete" ]; then
      cat "$done_dir/.complete"
      continue
    fi
    # Taken in place of the installed version before: the same again, without asking the archive.
    if [ -f "$done_dir.instead" ] && [ -f "$(cat "$done_dir.instead")/.complete" ]; then
      cat "$(cat "$done_dir.instead")/.complete"
      continue
    fi
  fi
  private_apt
  # The versions to try: the installed one first, then the archive's, newest first.
  wanted=$version
  archive=$(apt-cache "${apt_opts[@]}" showsrc "$package" 2>/dev/null |
            awk -v p="$package" '/^Package:/ {ours = ($2 == p)} ours && /^Version:/ {print $2}' |
            sort -u | sort -r -V)
  [ -n "$archive" ] || { echo "fetch-debian-sources: $package is not in the archive" >&2; exit 1; }
  candidates=$(printf '%s\n%s\n' "$wanted" "$archive" | awk 'NF && !seen[$0]++')
  fetched=""
  for version in $candidates; do
    version=${version#*:}
    done_dir=$store/${package}_$version
    if [ -f "$done_dir/.complete" ]; then
      fetched=cached
      break
    fi
    uris=$(apt-get "${apt_opts[@]}" source --print-uris "$package=$version" 2>/dev/null) || continue
    if [ -n "$wanted" ] && [ "$version" != "${wanted#*:}" ]; then
      echo "fetch-debian-sources: $package $wanted is not to be had from the archive; taking $version" >&2
    fi
    echo "fetch-debian-sources: fetching $package $version" >&2
    # The .dsc's digest as the signed index gives it: apt prints "'URI' NAME SIZE SHA256:HEX".
    dsc_line=$(grep -E "^'[^']*' ${package}_[^ ]*\.dsc " <<<"$uris") \
      || { echo "fetch-debian-sources: no .dsc for $package $version" >&2; exit 1; }
    dsc_name=$(awk '{print $2}' <<<"$dsc_line")
    dsc_sha256=$(grep -o 'SHA256:[0-9a-f]*' <<<"$dsc_line" | cut -d: -f2)
    [ -n "$dsc_sha256" ] || { echo "fetch-debian-sources: the index gives no SHA256 for $dsc_name" >&2; exit 1; }
    rm -rf "$done_dir"
    mkdir -p "$done_dir/download"
    if ! (cd "$done_dir/download" &&
          apt-get "${apt_opts[@]}" -qq source --download-only "$package=$version" >&2); then
      echo "fetch-debian-sources: the archive does not deliver $package $version" >&2
      rm -rf "$done_dir"
      continue
    fi
    fetched=1
    break
  done
  [ -n "$fetched" ] || { echo "fetch-debian-sources: no version of $package could be fetched" >&2; exit 1; }
  [ -z "$wanted" ] || [ "$version" = "${wanted#*:}" ] || echo "$done_dir" >"$store/${package}_${wanted#*:}.instead"
  if [ "$fetched" = cached ]; then
    cat "$done_dir/.complete"
    continue
  fi
  echo "$dsc_sha256  $done_dir/download/$dsc_name" | sha256sum --check --quiet \
    || { echo "fetch-debian-sources: $dsc_name does not match the archive's index" >&2; exit 1; }
  # dpkg-source checks each file of the package against the digests in the .dsc, and applies
  # Debian's own patches, the ones its binary packages are built with.
  (cd "$done_dir" && dpkg-source -x "download/$dsc_name" src >&2)
  echo "$done_dir/src" >"$done_dir/.complete"
  cat "$done_dir/.complete"
done
