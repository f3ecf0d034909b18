#!/usr/bin/env bash
# Cross-builds the Windows executables and their tests with mingw-w64 and runs
# them under wine: the portable unit suites as .exe files, zevuvuri-cli.exe
# against the simulator (built for this host) through a COM port of the wine
# prefix, and zevuvuri.exe in production mode and for screenshots on a private
# X server. Screenshots land in BUILD_DIR/artifacts.
#   scripts/test-windows.sh [BUILD_DIR]          (default build-win)
# If wine cannot start, the tests fail: nothing is skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-win}
host_build=$build-host

bash scripts/install-deps.sh --windows

# The simulator runs natively; nothing else of the host build is needed.
cmake -S . -B "$host_build" -G Ninja -DZEVUVURI_TESTS=OFF -DZEVUVURI_WINDOW=OFF
cmake --build "$host_build" --target zevuvuri-sim

cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DZEVUVURI_HOST_SIM="$PWD/$host_build/tools/sim/zevuvuri-sim" -DZEVUVURI_WINEPREFIX="$PWD/$build/wineprefix"
cmake --build "$build"

# A prefix of its own and one wine server for every test, stopped on the
# way out, also when StartWine fails half-way.
export WINEPREFIX=$PWD/$build/wineprefix
source tests/win32/wine_prefix.sh
trap StopWine EXIT
StartWine "$build"

ctest --test-dir "$build" --output-on-failure -j2 --timeout 300
echo "test-windows: screenshots in $build/artifacts"
