#!/usr/bin/env bash
# Prints how fast the records reach the line's database: a fresh PostgreSQL
# 15 server on 127.0.0.1 (fsync on, as a line's server would run), reached
# through unixODBC and the PostgreSQL Unicode driver, and a journal of COUNT
# records as the loader writes them.
#   1. catch-up: `zevuvuri-cli --forward-records` of the whole backlog into an
#      empty table (connection included): the records per second and the
#      process's peak resident memory;
#   2. resend: the same journal with its sent mark lost, every record already
#      in the table (each batch refused as a duplicate, its record_ids looked
#      up, counted as sent);
#   3. the records' effect on an upgrade: the time per data frame of a
#      fast-pacing upgrade (65536 bytes, simulator at 115200-baud wire timing)
#      a. without --records-db and no backlog;
#      b. without --records-db while another process (--forward-records, told
#         of no upgrade) sends a backlog of COUNT records at full speed;
#      c. with --records-db and a backlog of COUNT records, which the
#         loader's forwarder sends paced while the upgrade runs; and the
#         records the database took meanwhile, the paced rate, and the
#         time the backlog would take at that rate (upgrades back to back).
#   4. the live state's effect on an upgrade: a one-slot station (--station
#      --units 1, as on a line) with --records-db and no backlog
#      a. publishing its live state (its slot's row at most every 250 ms);
#      b. with the two live state tables dropped: the publisher stops at
#         its first write, so nothing but the records goes to the database;
#      c. published again, the tables created anew (how much a. and c.
#         differ is the noise of the machine).
#   bench/records_bench.sh [BUILD_DIR] [COUNT]   (default: build, 100000)
# Figures, not a test: nothing here fails on a slow machine.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
count=${2:-100000}
bash scripts/install-deps.sh >/dev/null
[ -x "$build/tools/cli/zevuvuri-cli" ] && [ -x "$build/tools/sim/zevuvuri-sim" ] || {
  cmake -S . -B "$build" -G Ninja >/dev/null && cmake --build "$build" --target zevuvuri-cli zevuvuri-sim >/dev/null
}
sim=$(realpath "$build/tools/sim/zevuvuri-sim")
cli=$(realpath "$build/tools/cli/zevuvuri-cli")
bin=/usr/lib/postgresql/15/bin

work=$(mktemp -d)
as_server=()
if [ "$(id -u)" -eq 0 ]; then
  chown nobody "$work"
  as_server=(runuser -u nobody --)
fi
cleanup() {
  "${as_server[@]}" timeout 60 "$bin/pg_ctl" -D "$work/data" -m immediate -w stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

port=$((20000 + $$ % 20000))
"${as_server[@]}" timeout 60 "$bin/initdb" -D "$work/data" -U line -A trust -E UTF8 --no-instructions >/dev/null
"${as_server[@]}" timeout 60 "$bin/pg_ctl" -D "$work/data" -l "$work/server.log" -w \
  -o "-c listen_addresses=127.0.0.1 -p $port -k $work" start >/dev/null
psql=("$bin/psql" -X -q -At -h 127.0.0.1 -p "$port" -U line)
timeout 60 "$bin/createdb" -h 127.0.0.1 -p "$port" -U line line
"${psql[@]}" -d line -v ON_ERROR_STOP=1 -f records/postgresql.sql >/dev/null

driver=$(ls /usr/lib/*/odbc/psqlodbcw.so | head -n 1)
printf '[PostgreSQL Unicode]\nDriver=%s\nDebug=0\nCommLog=0\n' "$driver" >"$work/odbcinst.ini"
export ODBCSYSINI=$work ODBCINI=$work/odbc.ini
: >"$ODBCINI"
connection="Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$port;Database=line;Uid=line;Pwd=unused"

journal=$work/records.jsonl
sha=$(printf 'firmware' | sha256sum | cut -c1-64)
backlog() {  # FIRST_ID: COUNT records from that id on
  local i
  for ((i = $1; i < $1 + count; ++i)); do
  printf '{"record_id":"%032x","station":"bench","loader_version":"bench","start":"2026-12-08T10:00:00.000Z","host":"bench","port":"1","device":null,"usb":null,"firmware":"/fw/REDIDADU.bin","firmware_size":65536,"firmware_sha256":"%s","type_code":0,"link_mode":"serial","pacing":"fast","data_frames_sent":1171,"result":"Upgrade OK","exit_code":0,"duration_s":8.5,"unit":%d,"station_run":"bench"}\n' \
    "$i" "$sha" "$i"
  done
}
backlog 1 >"$journal"

# "SECONDS PEAK_RSS_KB" of one --forward-records run.
timed() {
  /usr/bin/time -f '%e %M' -o "$work/time.out" \
    "$cli" --forward-records --report "$journal" --records-db "$connection" >/dev/null
  cat "$work/time.out"
}

read -r catch_up catch_up_rss < <(timed)
stored=$("${psql[@]}" -d line -c 'SELECT count(*) FROM unit_records')
rm -f "$journal.sent"
read -r resend resend_rss < <(timed)
stored_again=$("${psql[@]}" -d line -c 'SELECT count(*) FROM unit_records')

# The time per data frame as the simulator stamps it; `upgrade LABEL ARGS...`.
# With watch=JOURNAL, how many of the journal's records are sent is sampled
# from its mark while the simulator runs, into $work/rows ("SECONDS RECORDS"
# per line): the mark names the last record sent, and the backlog's
# record_ids count up from FIRST_ID (watch_first). Read with shell builtins
# only, so that the sampling itself takes next to nothing from the upgrade.
export ZEVUVURI_PORT_DIR=$work/ports
head -c 65536 /dev/urandom >"$work/fw.bin"
watch=
watch_first=0
sent=0
sent_now() {  # into $sent
  local word offset id rest
  sent=0
  [ -e "$watch.sent" ] || return 0
  while read -r word offset id rest; do
    [ "$word" = offset ] && [ "$id" != - ] && sent=$((16#$id - watch_first + 1))
  done <"$watch.sent"
  return 0
}
running() {  # PID: not ended (a zombie has ended)
  local stat
  read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
  stat=${stat##*) }
  [ "${stat:0:1}" != Z ]
}
upgrade() {
  local label=$1
  shift
  "$sim" --com 1 --verbose --expect "$work/fw.bin" --timeout 120 --wire-baud 115200 >"$work/sim.out" 2>"$work/sim.log" &
  local sim_pid=$!
  for _ in $(seq 200); do [ -e "$ZEVUVURI_PORT_DIR/com1" ] && break; sleep 0.01; done
  : >"$work/rows"
  [ -n "$watch" ] && echo "$EPOCHREALTIME 0" >>"$work/rows"
  "$cli" --port 1 --pacing fast "$@" "$work/fw.bin" >/dev/null 2>&1 </dev/null &
  local cli_pid=$!
  if [ -n "$watch" ]; then
    # Until the upgrade's end: after it the loader sends at full speed.
    while running "$sim_pid"; do
      local at=$EPOCHREALTIME
      sent_now
      running "$sim_pid" && echo "$at $sent" >>"$work/rows"
      sleep 0.25
    done
  fi
  wait "$cli_pid" || true
  wait "$sim_pid"
  grep -o '\[ *[0-9.]*\] data frame [0-9]* ' "$work/sim.log" | tr -d '[]' | awk '{print $1}' |
    awk 'NR > 1 { print $1 - prev } { prev = $1 }' | sort -n |
    awk -v label="$label" '{ d[++n] = $1; s += $1 }
      END { printf "%-52s mean %.2f ms, p95 %.2f ms per data frame (%d)\n", label, s / n, d[int(n * 0.95 + 0.5)], n }'
}

printf 'records in the journal:                 %d\n' "$count"
rate() { awk -v n="$count" -v t="$1" 'BEGIN { printf "%.0f", n / t }'; }
printf 'catch-up, empty table:                  %.2f s, %s records/s, peak RSS %d MB (stored: %s)\n' "$catch_up" \
  "$(rate "$catch_up")" $((catch_up_rss / 1024)) "$stored"
printf 'resend with the mark lost (duplicates): %.2f s, %s records/s, peak RSS %d MB (stored: %s)\n' "$resend" \
  "$(rate "$resend")" $((resend_rss / 1024)) "$stored_again"

uptime_now() { uptime | sed 's/.*load average: /load /'; }
echo "-- upgrades ($(uptime_now))"
upgrade "fast pacing, no --records-db, no backlog:"

# b. The backlog at full speed, as a forwarder told of no upgrade sends it.
backlog 100001 >"$work/full.jsonl"
"$cli" --forward-records --report "$work/full.jsonl" --records-db "$connection" >/dev/null 2>&1 &
forward_pid=$!
upgrade "fast pacing, $count sent at full speed meanwhile:"
wait "$forward_pid" || true

# c. The loader's own forwarder, paced while the upgrade runs.
backlog 200001 >"$work/upgrade.jsonl"
watch=$work/upgrade.jsonl
watch_first=200001
upgrade "fast pacing, --records-db, $count waiting (paced):" --report "$work/upgrade.jsonl" --records-db "$connection"
watch=
awk -v n="$count" 'NR == 1 { t0 = $1; r0 = $2 } { t = $1; r = $2 }
  END { if (NR < 2 || t <= t0 || r <= r0) { print "paced: no records seen while the upgrade ran"; exit }
        printf "paced: %d records in %.1f s while the upgrade ran, %.0f records/s: %d would take %.0f s\n",
          r - r0, t - t0, (r - r0) / (t - t0), n, n / ((r - r0) / (t - t0)) }' "$work/rows"

# 4. The live state, published and not. The station takes the board the
# simulator plugs (it is there before the station opens).
echo "-- live state ($(uptime_now))"
: >"$work/live.jsonl"
upgrade "station, --records-db, live state published:" --station --units 1 --yes --report "$work/live.jsonl" \
  --records-db "$connection"
live_rows=$("${psql[@]}" -d line -c "SELECT count(*) FROM station_slots WHERE result = 'ok'")
"${psql[@]}" -d line -c 'DROP TABLE station_slots, line_stations' >/dev/null
: >"$work/dead.jsonl"
upgrade "station, --records-db, live state tables dropped:" --station --units 1 --yes --report "$work/dead.jsonl" \
  --records-db "$connection"
"${psql[@]}" -d line -v ON_ERROR_STOP=1 -c 'SET client_min_messages = warning' -f records/postgresql.sql >/dev/null
: >"$work/again.jsonl"
upgrade "station, --records-db, live state published again:" --station --units 1 --yes \
  --report "$work/again.jsonl" --records-db "$connection"
echo "slots' rows with the unit's OK while published: $live_rows"
echo "-- ($(uptime_now))"
