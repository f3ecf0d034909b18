#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
#   scripts/test.sh [BUILD_DIR [extra cmake arguments...]]
# e.g. scripts/test.sh build-asan -DZEVUVURI_SANITIZE='address;undefined'
# The suite is meant to pass on a busy machine (other builds on the same
# cores). Compiles go through ccache when it is installed. Environment:
#   ZEVUVURI_TEST_EXCLUDE_LABELS  ctest -LE regular expression: leave out the
#                                 tests with these labels (soak, x-server,
#                                 browser)
#   ZEVUVURI_TEST_JOBS            tests run at once (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true

bash scripts/install-deps.sh
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -G Ninja "${launcher[@]}" "$@"
cmake --build "$build"
select=()
if [ -n "${ZEVUVURI_TEST_EXCLUDE_LABELS:-}" ]; then select=(-LE "$ZEVUVURI_TEST_EXCLUDE_LABELS"); fi
ctest --test-dir "$build" --output-on-failure -j"${ZEVUVURI_TEST_JOBS:-2}" --timeout 600 "${select[@]}"
