#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time,
# starting from the seed corpus in fuzz/corpus (copied: the seeds stay as
# they are). A crash, a hang or a broken promise fails the run and leaves the
# input in build-fuzz/findings.
#   scripts/fuzz.sh [SECONDS_PER_FUZZER]     (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

bash scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DZEVUVURI_FUZZ=ON -DZEVUVURI_WINDOW=OFF \
  -DZEVUVURI_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target module_type_fuzzer settings_file_fuzzer upgrade_sequence_fuzzer

mkdir -p build-fuzz/findings
status=0
for name in module_type settings_file upgrade_sequence; do
  corpus=$(mktemp -d)
  cp -r "fuzz/corpus/$name/." "$corpus/"
  echo "== $name: ${seconds}s"
  if ! build-fuzz/fuzz/${name}_fuzzer -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
      -artifact_prefix="build-fuzz/findings/${name}-" -print_final_stats=1 "$corpus" 2>build-fuzz/${name}.log; then
    echo "$name: FAILED (see build-fuzz/${name}.log and build-fuzz/findings)"
    tail -n 30 build-fuzz/${name}.log
    status=1
  else
    grep -E '^(stat::number_of_executed_units|Done)' build-fuzz/${name}.log || true
  fi
  rm -rf "$corpus"
done
exit $status
