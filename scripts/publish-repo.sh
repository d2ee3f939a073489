#!/usr/bin/env bash
# Publishes tptune packages in a signed apt repository folder for a line of stations. Each
# station adds the repository once -- one file in /etc/apt/sources.list.d/ and the repository's
# public key -- and from then on takes every newer build with "apt upgrade".
#
#   scripts/publish-repo.sh --key KEYID DIR PACKAGE.deb...
#   scripts/publish-repo.sh --throwaway-key DIR PACKAGE.deb...
#
# --key KEYID      sign with the factory's repository key from the GnuPG home ($GNUPGHOME, else
#                  ~/.gnupg); make that key once, for example:
#                  gpg --quick-gen-key "Factory tptune repository <it@factory.example>" rsa3072 sign 5y
# --throwaway-key  sign with a key made for the purpose in $GNUPGHOME, which must be named (an
#                  empty folder the first time; later runs reuse its key): for tests and trials.
#
# DIR gets (and keeps, run after run):
#   pool/main/             every published package; earlier versions stay, so a station can go
#                          back with "apt-get install tptune=VERSION"
#   dists/bookworm/        the indexes, InRelease and Release.gpg signed with the key
#   tptune-archive-keyring.gpg   the public key, for /usr/share/keyrings/ on the stations
#   tptune.sources         the stations' sources.list.d entry (edit its URIs: line to where DIR
#                          is served, http://HOST/PATH, or file:/PATH for a mounted share)
# Serve DIR with any web server. Needs apt-ftparchive (apt-utils) and gpg.
set -euo pipefail

usage() {
  sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

key="" throwaway=0 suite=bookworm
while [ $# -gt 0 ]; do
  case $1 in
    --key) [ $# -ge 2 ] || usage; key=$2; shift 2 ;;
    --throwaway-key) throwaway=1; shift ;;
    --help|-h) usage ;;
    --*) echo "publish-repo.sh: unknown option $1" >&2; usage ;;
    *) break ;;
  esac
done
[ $# -ge 2 ] || usage
[ -n "$key" ] || [ "$throwaway" = 1 ] || { echo "publish-repo.sh: --key KEYID or --throwaway-key" >&2; exit 2; }
dir=$1
shift

if [ "$throwaway" = 1 ]; then
  [ -n "${GNUPGHOME:-}" ] || { echo "publish-repo.sh: --throwaway-key needs GNUPGHOME set" >&2; exit 2; }
  mkdir -p "$GNUPGHOME"
  chmod 700 "$GNUPGHOME"
  name="tptune throwaway repository key <tptune-throwaway@example.com>"
  if ! gpg --batch --list-secret-keys "$name" >/dev/null 2>&1; then
    gpg --batch --quiet --passphrase '' --quick-gen-key "$name" rsa3072 sign 1d 2>/dev/null
  fi
  key=$name
fi
fingerprint=$(gpg --batch --with-colons --list-secret-keys "$key" 2>/dev/null \
              | awk -F: '$1 == "fpr" {print $10; exit}')
[ -n "$fingerprint" ] || { echo "publish-repo.sh: no secret key \"$key\" in ${GNUPGHOME:-~/.gnupg}" >&2; exit 1; }

mkdir -p "$dir/pool/main"
for deb in "$@"; do
  name=$(dpkg-deb --field "$deb" Package)
  [ "$name" = tptune ] || { echo "publish-repo.sh: $deb is not a tptune package" >&2; exit 1; }
  target=$dir/pool/main/$(basename "$deb")
  # A station never takes a second build of the same version: refuse it rather than hide it.
  if [ -e "$target" ] && ! cmp -s "$deb" "$target"; then
    echo "publish-repo.sh: $(basename "$deb") is published already with other contents;" \
         "a new build needs a new version (a new commit)" >&2
    exit 1
  fi
  cp "$deb" "$target"
  echo "published $(basename "$deb")"
done

cd "$dir"
archs=$(for deb in pool/main/*.deb; do dpkg-deb --field "$deb" Architecture; done | sort -u)
for arch in $archs; do
  index=dists/$suite/main/binary-$arch
  mkdir -p "$index"
  apt-ftparchive --arch "$arch" packages pool/main >"$index/Packages"
  gzip -9nc "$index/Packages" >"$index/Packages.gz"
done
# The Release file lists the indexes of this run only, not the signatures of the last one.
release=$(mktemp)
rm -f "dists/$suite/Release" "dists/$suite/InRelease" "dists/$suite/Release.gpg"
apt-ftparchive \
  -o APT::FTPArchive::Release::Origin=tptune \
  -o APT::FTPArchive::Release::Label=tptune \
  -o APT::FTPArchive::Release::Suite="$suite" \
  -o APT::FTPArchive::Release::Codename="$suite" \
  -o APT::FTPArchive::Release::Architectures="$(echo $archs)" \
  -o APT::FTPArchive::Release::Components=main \
  release "dists/$suite" >"$release"
install -m 644 "$release" "dists/$suite/Release"
rm -f "$release"
gpg --batch --yes --local-user "$fingerprint" --clearsign \
    --output "dists/$suite/InRelease" "dists/$suite/Release"
gpg --batch --yes --local-user "$fingerprint" --detach-sign \
    --output "dists/$suite/Release.gpg" "dists/$suite/Release"
gpg --batch --yes --export "$fingerprint" >tptune-archive-keyring.gpg
cat >tptune.sources <<EOF
Types: deb
URIs: file:$PWD
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/tptune-archive-keyring.gpg
EOF
echo "repository $PWD: $(ls pool/main | wc -l) package(s), signed by $fingerprint"
