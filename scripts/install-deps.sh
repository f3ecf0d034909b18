#!/usr/bin/env bash
# Installs what building and testing the loader needs on Debian 12.
# Runs apt-get as root, or through sudo for an ordinary user.
#   scripts/install-deps.sh [--windows]
# --windows adds the cross compiler, wine and what the Windows tests use.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev
  libcli11-dev nlohmann-json3-dev libssl-dev
  qt6-base-dev xvfb xauth fonts-dejavu-core
  valgrind
  clang libclang-rt-14-dev
)
if [ "${1:-}" == "--windows" ]; then
  packages+=(
    g++-mingw-w64-x86-64-posix googletest
    wine wine64
    xvfb xauth xdotool x11-utils imagemagick
    zip unzip
  )
fi

if [ "$(id -u)" -eq 0 ]; then as_root=(); else as_root=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: everything is already installed"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
