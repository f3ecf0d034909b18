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
[ -x "$build/tools/cli/zevuvuri-cli" ] && [ -x "$build/tools/sim/zevuvuri-sim" ] || {
  cmake -S . -B "$build" -G Ninja >/dev/null && cmake --build "$build" --target zevuvuri-cli zevuvuri-sim >/dev/null
}

work=$(mktemp -d)
sim=""
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export ZEVUVURI_PORT_DIR="$work/ports"
head -c "$bytes" /dev/urandom >"$work/fw.bin"

echo "station of one slot, $units boards of $bytes bytes, 115200-baud wire timing, ${gap} ms to unplug and ${gap} ms to plug"
for pacing in classic fast; do
  # The loader waits first, so that every board's wake-up counts from its plug.
  "$build/tools/cli/zevuvuri-cli" --station --units "$units" --port 1 --pacing "$pacing" --json "$work/fw.bin" \
    >"$work/$pacing.json" </dev/null &
  loader=$!
  sleep 0.5
  "$build/tools/sim/zevuvuri-sim" --com 1 --units "$units" --plug-gap-ms "$gap" --expect "$work/fw.bin" \
    --wire-baud 115200 --timeout 3600 >/dev/null 2>"$work/$pacing.sim" &
  sim=$!
  wait "$loader" || { echo "the loader failed ($pacing):" >&2; tail -3 "$work/$pacing.json" >&2; exit 1; }
  wait "$sim" || { echo "the simulator reported a failure ($pacing):" >&2; cat "$work/$pacing.sim" >&2; exit 1; }
  sim=""
  summary=$(tail -n 1 "$work/$pacing.json")
  python3 - "$pacing" "$summary" "$work/$pacing.sim" <<'PY'
import json, re, sys
pacing, summary, sim_log = sys.argv[1], json.loads(sys.argv[2]), sys.argv[3]
t = summary["totals"]
woken = [float(m.group(1)) for m in re.finditer(r"wake-up ([0-9.]+) ms after the plug", open(sim_log).read())]
print(f"  {pacing:7s} {t['units']} units, {t['ok']} OK: {t['units_per_hour']:.0f} units/h, "
      f"upgrade mean {t['mean_s']:.2f} s, p95 {t['p95_s']:.2f} s; "
      f"plug to wake-up mean {sum(woken) / len(woken):.0f} ms, max {max(woken):.0f} ms (target <= 500 ms)")
PY
done
