#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
#   scripts/test.sh [BUILD_DIR [extra cmake arguments...]]
# e.g. scripts/test.sh build-asan -DZEVUVURI_SANITIZE='address;undefined'
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true

bash scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja "$@"
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j2 --timeout 600
