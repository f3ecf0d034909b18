#!/usr/bin/env bash
# zevuvuri-cli under valgrind memcheck against the simulator: a successful
# upgrade, a refused one and an interrupted one must each end with their own
# exit status, no memory error, no leak and no descriptor left open.
#   valgrind_cli.sh CLI SIM
set -euo pipefail
cli=$1
sim=$2
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
export ZEVUVURI_PORT_DIR="$work/ports"
head -c 3000 /dev/urandom >"$work/fw.bin"

# Valgrind's own errors exit 99, so a loader failure status cannot hide one.
memcheck=(valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect
          --errors-for-leak-kinds=definite,indirect --track-fds=yes --log-file="$work/valgrind.%p.log")

failures=0
expect() {  # expect NAME STATUS SIM-OPTIONS... -- CLI-OPTIONS...
  local name=$1 want=$2
  shift 2
  local sim_args=()
  while [ "$1" != "--" ]; do sim_args+=("$1"); shift; done
  shift
  "$sim" --com 1 --timeout 60 --linger-ms 200 "${sim_args[@]}" >"$work/sim.out" 2>"$work/sim.err" &
  local sim_pid=$!
  for _ in $(seq 200); do [ -e "$ZEVUVURI_PORT_DIR/com1" ] && break; sleep 0.02; done
  local got=0
  "${memcheck[@]}" "$cli" "$@" "$work/fw.bin" >"$work/cli.out" 2>"$work/cli.err" || got=$?
  # After a failure the simulator waits for a next session that will not come.
  [ "$want" -eq 0 ] || kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" || true
  # Descriptors the loader opened and left open at exit: valgrind lists each
  # with the place it was opened; inherited ones (the log, the test's own)
  # and the standard three are not the loader's.
  local open_fds
  open_fds=$(awk '/Open file descriptor/ { fd = $0; getline; if (fd !~ /descriptor [012]:/ && $0 !~ /inherited from parent/) n++ }
                  END { print n + 0 }' "$work"/valgrind.*.log 2>/dev/null)
  if [ "$got" -ne "$want" ] || [ "$open_fds" -ne 0 ]; then
    echo "FAIL $name: exit status $got (want $want), $open_fds descriptors left open"
    cat "$work"/valgrind.*.log "$work/cli.err" 2>/dev/null | head -60
    failures=$((failures + 1))
  else
    echo "ok   $name: exit status $got, no memory error, no leak, no descriptor left open"
  fi
  rm -f "$work"/valgrind.*.log
}

expect "successful upgrade" 0 -- --port 1
expect "data frame refused" 6 --refuse-data 3 -- --port 1
expect "over the air, confirmed" 0 --mode air -- --port 1 --yes
expect "port that names no device" 3 -- --port "$work/no-such-device"
exit $failures
