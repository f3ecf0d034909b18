#!/usr/bin/env bash
# Installs what building and testing the loader needs on Debian 12.
# Runs apt-get as root, or through sudo for an ordinary user.
#   scripts/install-deps.sh [--windows] [--package]
# --windows adds the cross compiler, wine and what the Windows tests use;
# --package what building and checking the packages uses (scripts/package.sh).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache
  libgtest-dev libgmock-dev
  libcli11-dev nlohmann-json3-dev libssl-dev
  qt6-base-dev xvfb xauth fonts-dejavu-core openbox xdotool x11-utils
  valgrind
  clang libclang-rt-14-dev
  bash-completion man-db
  time
  postgresql-15 unixodbc-dev odbc-postgresql
  chromium chromium-driver python3-selenium
  libcpp-httplib-dev
)
for flag in "$@"; do
  case $flag in
    --windows)
      packages+=(
        g++-mingw-w64-x86-64-posix googletest
        wine wine64
        xvfb xauth xdotool x11-utils imagemagick
        zip unzip
        libodbc2
      )
      ;;
    --package)
      packages+=(
        dpkg-dev debhelper fakeroot lintian
        desktop-file-utils appstream
        wixl msitools zip unzip
        file
      )
      ;;
    *)
      echo "install-deps: unknown option $flag" >&2
      exit 2
      ;;
  esac
done

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
