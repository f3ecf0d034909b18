#!/usr/bin/env bash
# Builds the Windows executables with mingw-w64 and packs them for an
# operator: dist/zevuvuri-windows-VERSION.zip holds zevuvuri.exe (the window),
# zevuvuri-cli.exe, a README, the sample firmware REDIDADU.bin, an example
# loader.cfg and the line records' database schemas (postgresql.sql,
# sqlserver.sql). Each .exe is linked statically and needs no DLL beside it.
#   scripts/build-windows.sh [BUILD_DIR]          (default build-win-release)
# A BUILD_DIR that scripts/test-windows.sh has built (CI passes build-win) is
# used as it is: the programs it tested are the ones packed, and nothing is
# compiled twice.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-win-release}
version=$(bash scripts/version.sh)
package=zevuvuri-windows-$version

bash scripts/install-deps.sh --windows
if [ -f "$build/CMakeCache.txt" ] && grep -q '^CMAKE_TOOLCHAIN_FILE:.*mingw-w64-x86_64.cmake$' "$build/CMakeCache.txt" &&
  grep -q '^CMAKE_BUILD_TYPE:[A-Z]*=Release$' "$build/CMakeCache.txt"; then
  echo "build-windows: using the Release mingw-w64 build in $build"
elif [ -f "$build/CMakeCache.txt" ]; then
  echo "build-windows: $build is not a Release mingw-w64 build; give another folder" >&2
  exit 1
else
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DZEVUVURI_TESTS=OFF
fi
cmake --build "$build" --target zevuvuri zevuvuri-cli

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/$package"
cp "$build/app/win32/zevuvuri.exe" "$build/tools/cli/zevuvuri-cli.exe" samples/REDIDADU.bin "$stage/$package/"
x86_64-w64-mingw32-strip "$stage/$package/"*.exe
# Windows text files: CRLF line ends.
sed "s/@VERSION@/$version/g; s/\$/\r/" scripts/windows/README.txt >"$stage/$package/README.txt"
sed 's/$/\r/' scripts/windows/loader.cfg >"$stage/$package/loader.cfg.example"
for schema in postgresql.sql sqlserver.sql; do sed 's/$/\r/' "records/$schema" >"$stage/$package/$schema"; done

mkdir -p dist
rm -f "dist/$package.zip"
(cd "$stage" && zip -q -r -X "$OLDPWD/dist/$package.zip" "$package")
echo "build-windows: dist/$package.zip"
unzip -l "dist/$package.zip"
