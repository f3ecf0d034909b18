#!/usr/bin/env bash
# Builds every package into dist/, installing what is missing:
#   zevuvuri-cli_VERSION_ARCH.deb  the command-line loader and the simulator
#   zevuvuri_VERSION_ARCH.deb      the operator window
#   zevuvuri-windows-VERSION.zip   both Windows programs (scripts/build-windows.sh)
#   zevuvuri-VERSION.msi           the same as a Windows installer
# The Debian packages are built from a copy of the tree in build-deb/, where
# dpkg-buildpackage leaves its by-products, and must pass lintian without an
# error or a warning, and their desktop entry and AppStream file their
# validators.
#   scripts/package.sh
# ZEVUVURI_WINDOWS_BUILD names a mingw-w64 Release build folder to pack the
# Windows programs from (CI: the one scripts/test-windows.sh tested);
# otherwise scripts/build-windows.sh builds its own.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/install-deps.sh --package --windows
version=$(bash scripts/version.sh)
changelog_version=$(dpkg-parsechangelog -S Version)
if [ "$changelog_version" != "$version" ]; then
  echo "package: debian/changelog is at $changelog_version, CMakeLists.txt at $version: add a changelog entry" >&2
  exit 1
fi
mkdir -p dist
rm -f dist/zevuvuri*.deb dist/zevuvuri*.msi

# --- Debian ---------------------------------------------------------------
stage=$root/build-deb
source_dir=$stage/zevuvuri-$version
rm -rf "$stage"
mkdir -p "$source_dir"
# The tree as git sees it, uncommitted changes included, without build output.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' f; do
    [ -e "$f" ] && printf '%s\0' "$f"
  done | tar --null -T - -cf - | tar -xf - -C "$source_dir"
else
  tar --exclude='./build*' --exclude=./dist -cf - . | tar -xf - -C "$source_dir"
fi
(cd "$source_dir" &&
  DEB_BUILD_OPTIONS="nocheck noautodbgsym parallel=$(nproc)" dpkg-buildpackage -us -uc -b) >"$stage/build.log" 2>&1 || {
  tail -n 40 "$stage/build.log" >&2
  echo "package: dpkg-buildpackage failed; the whole log is $stage/build.log" >&2
  exit 1
}
arch=$(dpkg --print-architecture)
debs=("$stage/zevuvuri-cli_${version}_$arch.deb" "$stage/zevuvuri_${version}_$arch.deb")

echo "package: lintian"
lintian --fail-on error,warning --display-level '>=warning' "$stage/zevuvuri_${version}_$arch.changes"
echo "package: lintian found no error and no warning"

# The desktop entry and the AppStream file as the package ships them.
shipped=$stage/shipped
dpkg-deb -x "${debs[1]}" "$shipped"
desktop-file-validate "$shipped"/usr/share/applications/*.desktop
appstreamcli validate --no-net "$shipped"/usr/share/metainfo/*.metainfo.xml
appstreamcli validate-tree --no-net "$shipped"
echo "package: desktop entry and AppStream file valid"

cp "${debs[@]}" dist/

# --- Windows ----------------------------------------------------------------
bash scripts/build-windows.sh ${ZEVUVURI_WINDOWS_BUILD:+"$ZEVUVURI_WINDOWS_BUILD"}
msi_stage=$(mktemp -d)
trap 'rm -rf "$msi_stage"' EXIT
unzip -q "dist/zevuvuri-windows-$version.zip" -d "$msi_stage"
# Windows Installer reads a version as numbers: 1.06 is 1.6.0. wixl takes
# the files' folder relative to where it runs.
msi_version=$((10#${version%%.*})).$((10#${version#*.})).0
(cd "$msi_stage" && wixl -a x64 -D Version="$msi_version" -D SourceDir="zevuvuri-windows-$version" \
  -o "$root/dist/zevuvuri-$version.msi" "$root/scripts/windows/zevuvuri.wxs")

echo "package: built"
ls -l dist/zevuvuri*
