#!/usr/bin/env bash
# Prints the loader's speed and footprint on a simulated module: a serial-mode
# upgrade of a 65536-byte file through zevuvuri-cli and zevuvuri-sim over a
# pseudo-terminal, without and with 115200-baud wire timing.
#   bench/upgrade_bench.sh [BUILD_DIR]     (default: build; builds it if needed)
# Figures, not a test: nothing here fails on a slow machine.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[ -x "$build/tools/cli/zevuvuri-cli" ] && [ -x "$build/tools/sim/zevuvuri-sim" ] || {
  cmake -S . -B "$build" -G Ninja >/dev/null && cmake --build "$build" --target zevuvuri-cli zevuvuri-sim >/dev/null
}
[ -x /usr/bin/time ] || { echo "bench needs /usr/bin/time (apt-get install time)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ZEVUVURI_PORT_DIR="$work/ports"
head -c 65536 /dev/urandom >"$work/fw.bin"

run() {
  local label=$1
  shift
  "$build/tools/sim/zevuvuri-sim" --com 1 --verbose --expect "$work/fw.bin" --timeout 300 "$@" \
    >"$work/sim.out" 2>"$work/sim.log" &
  local sim=$!
  for _ in $(seq 200); do [ -e "$ZEVUVURI_PORT_DIR/com1" ] && break; sleep 0.01; done
  /usr/bin/time -f '%U %S %M %e' -o "$work/time" "$build/tools/cli/zevuvuri-cli" --port 1 "$work/fw.bin" >"$work/cli.out"
  wait "$sim" || { echo "simulator reported a failure:" >&2; cat "$work/sim.log" >&2; exit 1; }

  # The simulator stamps each data frame's answer (ms since it started); the
  # differences are the time per frame as the module sees it.
  grep -o '\[ *[0-9.]*\] data frame [0-9]* ' "$work/sim.log" | tr -d '[]' | awk '{print $1}' >"$work/stamps"
  awk 'NR > 1 { print $1 - prev } { prev = $1 }' "$work/stamps" | sort -n >"$work/deltas"
  local phase
  phase=$(awk 'NR == 1 { first = $1 } { last = $1 } END { printf "%.2f", (last - first) / 1000 }' "$work/stamps")
  read -r user sys rss wall <"$work/time"
  # mawk has no sort of its own: the deltas arrive sorted.
  awk -v label="$label" -v user="$user" -v sys="$sys" -v rss="$rss" -v wall="$wall" -v phase="$phase" '
    { d[++n] = $1; sum += $1 }
    END {
      mean = sum / n
      median = (n % 2) ? d[(n + 1) / 2] : (d[n / 2] + d[n / 2 + 1]) / 2
      cpu = user + sys
      printf "%s\n", label
      printf "  data frames           %d intervals\n", n
      printf "  time per data frame   mean %.2f ms, median %.2f ms\n", mean, median
      printf "  ratio to 10 ms floor  mean %.2f, median %.2f  (target <= 1.2)\n", mean / 10, median / 10
      printf "  data phase            %s s\n", phase
      printf "  loader wall time      %.2f s (2 s of it the serial start pause)\n", wall
      printf "  loader CPU            %.2f s = %.2f%% of wall time  (target <= 2%%)\n", cpu, 100 * cpu / wall
      printf "  loader peak RSS       %.1f MB  (target <= 10 MB)\n", rss / 1024
    }' "$work/deltas"
}

run "pseudo-terminal, no wire timing"
run "pseudo-terminal, --wire-baud 115200" --wire-baud 115200
