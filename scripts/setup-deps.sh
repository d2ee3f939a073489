#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, only those missing.
# Safe to run again.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev nlohmann-json3-dev
  libsqlite3-dev libpq-dev postgresql libssl-dev zlib1g-dev
  xvfb xauth
  g++-mingw-w64-x86-64-posix wine64 python3 nsis
  libz-mingw-w64-dev tcl make bzip2 xz-utils debian-archive-keyring
  python3-serial ser2net ckermit
  help2man dpkg-dev file desktop-file-utils man-db
  lintian librsvg2-bin x11-utils hicolor-icon-theme imagemagick
  apt-utils gnupg debootstrap zstd
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
fi
