#!/usr/bin/env bash
# Prints the loader's speed and footprint on a simulated module, classic and
# fast pacing side by side: a serial-mode upgrade of a 65536-byte file through
# zevuvuri-cli and zevuvuri-sim over a pseudo-terminal at 115200-baud wire
# timing, then the same behind an emulated USB adapter with a 16 ms latency
# timer. With --wine BUILD_WIN it also times zevuvuri-cli.exe under wine.
#   bench/upgrade_bench.sh [BUILD_DIR] [--wine BUILD_WIN]   (default: build)
# Figures, not a test: nothing here fails on a slow machine.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build
wine_build=
while [ $# -gt 0 ]; do
  case $1 in
    --wine) wine_build=$2; shift 2 ;;
    *) build=$1; shift ;;
  esac
done
if [ -n "$wine_build" ]; then bash scripts/install-deps.sh --windows; else bash scripts/install-deps.sh; fi
[ -x "$build/tools/cli/zevuvuri-cli" ] && [ -x "$build/tools/sim/zevuvuri-sim" ] || {
  cmake -S . -B "$build" -G Ninja >/dev/null && cmake --build "$build" --target zevuvuri-cli zevuvuri-sim >/dev/null
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ZEVUVURI_PORT_DIR="$work/ports"
size=65536
head -c $size /dev/urandom >"$work/fw.bin"
# 60 bytes out and a 1-byte answer back, 10 bits a byte, at 115200 baud.
floor_ms=$(awk 'BEGIN { printf "%.4f", (60 + 1) * 10 * 1000 / 115200 }')
# The largest image the 20-bit offsets allow: 1048488 bytes in 18724 data frames.
big_frames=18724

# run LABEL FLOOR_MS LOADER_ARGS -- SIM_ARGS
run() {
  local label=$1 floor=$2
  shift 2
  local loader_args=() sim_args=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do loader_args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  sim_args=("$@")
  "$build/tools/sim/zevuvuri-sim" --com 1 --verbose --expect "$work/fw.bin" --timeout 600 "${sim_args[@]}" \
    >"$work/sim.out" 2>"$work/sim.log" &
  local sim=$!
  for _ in $(seq 200); do [ -e "$ZEVUVURI_PORT_DIR/com1" ] && break; sleep 0.01; done
  if [ -n "${WINE_RUN:-}" ]; then
    # Wine keeps the low COM numbers for the host's own serial ports.
    ln -sfn "$(head -n1 "$work/sim.out")" "$WINEPREFIX/dosdevices/com31"
    /usr/bin/time -f '%U %S %M %e' -o "$work/time" wine "$wine_build/tools/cli/zevuvuri-cli.exe" --port 31 \
      "${loader_args[@]}" "$(winepath -w "$work/fw.bin" 2>/dev/null)" >"$work/cli.out" 2>/dev/null </dev/null
  else
    /usr/bin/time -f '%U %S %M %e' -o "$work/time" "$build/tools/cli/zevuvuri-cli" --port 1 "${loader_args[@]}" \
      "$work/fw.bin" >"$work/cli.out"
  fi
  wait "$sim" || { echo "simulator reported a failure:" >&2; cat "$work/sim.log" >&2; exit 1; }

  # The simulator stamps each data frame it answers (ms since it started); the
  # differences are the time per frame as the module sees it.
  grep -o '\[ *[0-9.]*\] data frame [0-9]* ' "$work/sim.log" | tr -d '[]' | awk '{print $1}' >"$work/stamps"
  awk 'NR > 1 { print $1 - prev } { prev = $1 }' "$work/stamps" | sort -n >"$work/deltas"
  local phase
  phase=$(awk 'NR == 1 { first = $1 } { last = $1 } END { printf "%.2f", (last - first) / 1000 }' "$work/stamps")
  read -r user sys rss wall <"$work/time"
  # mawk has no sort of its own: the deltas arrive sorted.
  awk -v label="$label" -v floor="$floor" -v wire="$floor_ms" -v user="$user" -v sys="$sys" -v rss="$rss" \
      -v wall="$wall" -v phase="$phase" -v frames="$big_frames" -v wine="${WINE_RUN:-}" '
    { d[++n] = $1; sum += $1 }
    END {
      mean = sum / n
      median = (n % 2) ? d[(n + 1) / 2] : (d[n / 2] + d[n / 2 + 1]) / 2
      p95 = d[int(n * 0.95 + 0.5)]
      cpu = user + sys
      fixed = wall - phase
      printf "%s\n", label
      printf "  per data frame   mean %.2f ms, median %.2f ms, p95 %.2f ms  (%d intervals)\n", mean, median, p95, n
      printf "  ratio to floor   %.3f of the %.2f ms floor (wire %.2f ms)\n", mean / floor, floor, wire
      printf "  whole upgrade    %.2f s wall, of which %.2f s data phase\n", wall, phase
      printf "  largest image    %.1f min projected (1048488 bytes: %d frames at the mean, plus the rest)\n",
             (frames * mean / 1000 + fixed) / 60, frames
      if (wine == "") {
        printf "  loader CPU       %.2f s = %.2f%% of wall\n", cpu, 100 * cpu / wall
        printf "  loader peak RSS  %.1f MB\n", rss / 1024
      }
    }' "$work/deltas"
}

echo "65536-byte file, serial link, simulator at --wire-baud 115200 on a pseudo-terminal"
echo
run "classic pacing" 10 --pacing classic -- --wire-baud 115200
run "fast pacing" "$floor_ms" --pacing fast -- --wire-baud 115200
echo
echo "the same behind a USB adapter's 16 ms latency timer (--usb-latency-ms 16)"
echo
run "classic pacing, 16 ms adapter" 10 --pacing classic -- --wire-baud 115200 --usb-latency-ms 16
# A pseudo-terminal takes no low-latency flag, so the simulator cannot see fast
# pacing set it: first an adapter whose driver refuses the flag (or a Windows
# adapter left at 16 ms), then what the flag gives on Linux, a 1 ms timer.
run "fast pacing, adapter left at 16 ms" "$floor_ms" --pacing fast -- --wire-baud 115200 --usb-latency-ms 16
run "fast pacing, adapter lowered to 1 ms by the low-latency flag" "$floor_ms" --pacing fast -- \
  --wire-baud 115200 --usb-latency-ms 1

if [ -n "$wine_build" ]; then
  export WINEPREFIX=${WINEPREFIX:-$PWD/$wine_build/wineprefix} WINEDEBUG=-all
  echo
  echo "zevuvuri-cli.exe under wine (prefix $WINEPREFIX)"
  echo
  WINE_RUN=1 run "fast pacing under wine" "$floor_ms" --pacing fast -- --wire-baud 115200
  WINE_RUN=1 run "classic pacing under wine" 10 --pacing classic -- --wire-baud 115200
fi
