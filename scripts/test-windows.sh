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

# A 64-bit prefix of its own, made without a display and without the Mono and
# Gecko installers, which would want a network and a person.
export WINEPREFIX=$PWD/$build/wineprefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  env -u DISPLAY wineboot --init </dev/null >"$build/wineboot.log" 2>&1 || {
    cat "$build/wineboot.log" >&2
    echo "test-windows: wine could not create its prefix" >&2
    exit 1
  }
fi
# One wine server for every test, so that the tests' processes share it and
# its messages stay out of their output; stopped on the way out. The one that
# wineboot started, or one left by an interrupted run, goes first.
wineserver -k >/dev/null 2>&1 || true
wineserver -w
wineserver -p >"$build/wineserver.log" 2>&1 </dev/null
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || { echo "test-windows: wine does not start" >&2; exit 1; }

ctest --test-dir "$build" --output-on-failure -j2 --timeout 300
echo "test-windows: screenshots in $build/artifacts"
