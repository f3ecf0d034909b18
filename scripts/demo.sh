#!/usr/bin/env bash
# The main job on a simulated module: installs what is missing, builds, starts
# the simulator on COM port 1 and upgrades it with samples/REDIDADU.bin.
# With a display it opens the window (press Acquire); otherwise it runs the
# command-line loader. Either way the simulator checks every byte it receives.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build

work=$(mktemp -d)
trap 'kill "$sim" 2>/dev/null || true; rm -rf "$work"' EXIT
export ZEVUVURI_PORT_DIR="$work/ports"

"$root/build/tools/sim/zevuvuri-sim" --com 1 --expect samples/REDIDADU.bin \
  --save "$work/received.bin" --timeout 600 >"$work/sim.out" &
sim=$!
for _ in $(seq 100); do [ -e "$ZEVUVURI_PORT_DIR/com1" ] && break; sleep 0.05; done
echo "simulated module on $(head -n1 "$work/sim.out"), mapped to COM port 1"

if [ -n "${DISPLAY:-}" ] && [ -x "$root/build/app/zevuvuri" ]; then
  echo "opening the window: press Acquire to upgrade REDIDADU.bin on COM port 1, then close it"
  (cd samples && "$root/build/app/zevuvuri") || true
else
  "$root/build/tools/cli/zevuvuri-cli" --port 1 samples/REDIDADU.bin
fi

status=0
wait "$sim" || status=$?
if [ "$status" -eq 0 ] && cmp -s samples/REDIDADU.bin "$work/received.bin"; then
  echo "simulator: firmware received whole ($(stat -c %s "$work/received.bin") bytes, identical to samples/REDIDADU.bin)"
else
  echo "simulator: the upgrade did not arrive whole (simulator exit status $status)" >&2
  exit 1
fi
