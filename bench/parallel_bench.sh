#!/usr/bin/env bash
# Prints what upgrading several modules at once costs against one: serial-mode
# upgrades of a 32768-byte file through one zevuvuri-cli process, to one and
# then to four zevuvuri-sim modules over pseudo-terminals at 115200 baud wire
# timing.
#   bench/parallel_bench.sh [BUILD_DIR] [FILE_BYTES] [PACING]
#   (default: build, 32768, classic; PACING classic or fast)
# Figures, not a test: nothing here fails on a slow machine.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bytes=${2:-32768}
pacing=${3:-classic}
bash scripts/install-deps.sh
[ -x "$build/tools/cli/zevuvuri-cli" ] && [ -x "$build/tools/sim/zevuvuri-sim" ] || {
  cmake -S . -B "$build" -G Ninja >/dev/null && cmake --build "$build" --target zevuvuri-cli zevuvuri-sim >/dev/null
}

work=$(mktemp -d)
sims=()
cleanup() {
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
export ZEVUVURI_PORT_DIR="$work/ports"
head -c "$bytes" /dev/urandom >"$work/fw.bin"

# Runs one loader against N fresh simulators; leaves "user sys wall" in $work/time.N
run() {
  local n=$1 ports=() i
  sims=()
  for i in $(seq "$n"); do
    "$build/tools/sim/zevuvuri-sim" --com "$i" --expect "$work/fw.bin" --wire-baud 115200 --timeout 600 \
      >/dev/null 2>"$work/sim$i.log" &
    sims+=($!)
    ports+=(--port "$i")
  done
  for i in $(seq "$n"); do
    for _ in $(seq 200); do [ -e "$ZEVUVURI_PORT_DIR/com$i" ] && break; sleep 0.01; done
  done
  /usr/bin/time -f '%U %S %e' -o "$work/time.$n" "$build/tools/cli/zevuvuri-cli" --pacing "$pacing" "${ports[@]}" "$work/fw.bin" \
    >"$work/cli$n.out" </dev/null || { echo "the loader failed:" >&2; cat "$work/cli$n.out" >&2; exit 1; }
  for i in "${!sims[@]}"; do
    wait "${sims[$i]}" || { echo "simulator $((i + 1)) reported a failure:" >&2; cat "$work/sim$((i + 1)).log" >&2; exit 1; }
  done
  sims=()
}

run 1
run 4
read -r user1 sys1 wall1 <"$work/time.1"
read -r user4 sys4 wall4 <"$work/time.4"
awk -v bytes="$bytes" -v pacing="$pacing" -v u1="$user1" -v s1="$sys1" -v w1="$wall1" -v u4="$user4" -v s4="$sys4" -v w4="$wall4" '
  BEGIN {
    c1 = u1 + s1; c4 = u4 + s4
    printf "serial upgrades of %d bytes, %s pacing, 115200-baud wire timing, one loader process\n", bytes, pacing
    printf "  one module     wall %6.2f s   loader CPU %5.2f s (user %.2f, sys %.2f)\n", w1, c1, u1, s1
    printf "  four modules   wall %6.2f s   loader CPU %5.2f s (user %.2f, sys %.2f)\n", w4, c4, u4, s4
    printf "  wall time, four against one        %.3f  (target <= 1.1)\n", w4 / w1
    if (c1 > 0) printf "  CPU per port, four against one     %.2f  (target <= 1.0: linear growth)\n", c4 / (4 * c1)
    else printf "  CPU per port: one module took under the clock resolution\n"
  }'
