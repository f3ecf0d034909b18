#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs them side by side for a
# bounded time, each starting from its seed corpus in fuzz/corpus (copied:
# the seeds stay as they are). A crash, a hang or a broken promise fails the
# run and leaves the input in build-fuzz/findings.
#   scripts/fuzz.sh [SECONDS_PER_FUZZER]     (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

bash scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DZEVUVURI_FUZZ=ON -DZEVUVURI_WINDOW=OFF \
  -DZEVUVURI_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target module_type_fuzzer settings_file_fuzzer upgrade_sequence_fuzzer

mkdir -p build-fuzz/findings
# The fuzzers run side by side: each gets its SECONDS of wall time, so the
# run takes that long once rather than once per fuzzer.
Fuzz() {
  local name=$1 corpus
  corpus=$(mktemp -d)
  cp -r "fuzz/corpus/$name/." "$corpus/"
  local status=0
  build-fuzz/fuzz/${name}_fuzzer -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
    -artifact_prefix="build-fuzz/findings/${name}-" -print_final_stats=1 "$corpus" 2>build-fuzz/${name}.log || status=$?
  rm -rf "$corpus"
  return $status
}
names=(module_type settings_file upgrade_sequence)
pids=()
for name in "${names[@]}"; do
  echo "== $name: ${seconds}s"
  Fuzz "$name" &
  pids+=($!)
done
status=0
for i in "${!names[@]}"; do
  name=${names[$i]}
  if ! wait "${pids[$i]}"; then
    echo "$name: FAILED (see build-fuzz/${name}.log and build-fuzz/findings)"
    tail -n 30 build-fuzz/${name}.log
    status=1
  else
    echo "== $name:"
    grep -E '^(stat::number_of_executed_units|Done)' build-fuzz/${name}.log || true
  fi
done
exit $status
