#!/usr/bin/env bash
# Prints what a station does in an hour: one zevuvuri-cli --station slot takes
# UNITS boards that one zevuvuri-sim plays in turn on a COM port (plugged, upgraded,
# unplugged PLUG_GAP_MS after the loader let it go, the next plugged PLUG_GAP_MS
# later) at 115200-baud wire timing, in each pacing; and the overhead per unit
# between a board's plug and the loader's wake-up on it, as the simulator
# measured it for every board.
#   bench/station_bench.sh [BUILD_DIR] [UNITS] [FILE_BYTES] [PLUG_GAP_MS]
#   (default: build, 10, 65536, 300)
# Figures, not a test: nothing here fails on a slow machine.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
units=${2:-10}
bytes=${3:-65536}
gap=${4:-300}
bash scripts/install-deps.sh
[ -x "$build/tools/cli/zevuvuri-cli" ] && [ -x "$build/tools/sim/zevuvuri-sim" ] || {
  cmake -S . -B "$build" -G Ninja >/dev/null && cmake --build "$build" --target zevuvuri-cli zevuvuri-sim >/dev/null
}

work=$(mktemp -d)
loader=""
sim=""
cleanup() {
  [ -n "$loader" ] && kill "$loader" 2>/dev/null || true
  [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export ZEVUVURI_PORT_DIR="$work/ports"
head -c "$bytes" /dev/urandom >"$work/fw.bin"

echo "station of one slot, $units boards of $bytes bytes, 115200-baud wire timing, ${gap} ms to unplug and ${gap} ms to plug"
for pacing in classic fast; do
  # The loader waits first, so that every board's wake-up counts from its plug.
  # A simulator that dies leaves it waiting for the next board: the hour's
  # limit, as long as the simulator's own, ends it then.
  timeout 3600 "$build/tools/cli/zevuvuri-cli" --station --units "$units" --port 1 --pacing "$pacing" --json "$work/fw.bin" \
    >"$work/$pacing.json" </dev/null &
  loader=$!
  sleep 0.5
  "$build/tools/sim/zevuvuri-sim" --com 1 --units "$units" --plug-gap-ms "$gap" --expect "$work/fw.bin" \
    --wire-baud 115200 --timeout 3600 >/dev/null 2>"$work/$pacing.sim" &
  sim=$!
  wait "$loader" || { echo "the loader failed ($pacing):" >&2; tail -3 "$work/$pacing.json" >&2; exit 1; }
  loader=""
  wait "$sim" || { echo "the simulator reported a failure ($pacing):" >&2; cat "$work/$pacing.sim" >&2; exit 1; }
  sim=""
  # The loader's closing summary, and each board's "wake-up X ms after the plug".
  summary=$(tail -n 1 "$work/$pacing.json")
  field() { grep -o "\"$1\":[0-9.e+-]*" <<<"$summary" | head -n 1 | cut -d: -f2; }
  grep -o 'wake-up [0-9.]* ms after the plug' "$work/$pacing.sim" | awk -v pacing="$pacing" \
    -v units="$(field units)" -v ok="$(field ok)" -v per_hour="$(field units_per_hour)" \
    -v mean="$(field mean_s)" -v p95="$(field p95_s)" '
    { sum += $2; n++; if ($2 > max) max = $2 }
    END {
      printf "  %-7s %d units, %d OK: %.0f units/h, upgrade mean %.2f s, p95 %.2f s; ", pacing, units, ok, per_hour, mean, p95
      printf "plug to wake-up mean %.0f ms, max %.0f ms (target <= 500 ms)\n", sum / n, max
    }'
done
