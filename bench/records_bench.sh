#!/usr/bin/env bash
# Prints how fast the records reach the line's database: a fresh PostgreSQL
# 15 server on 127.0.0.1 (fsync on, as a line's server would run), reached
# through unixODBC and the PostgreSQL Unicode driver, and a journal of COUNT
# records as the loader writes them.
#   1. catch-up: `zevuvuri-cli --forward-records` of the whole backlog into an
#      empty table (connection included), and the records per second;
#   2. resend: the same journal with its sent mark lost, every record already
#      in the table (each insert refused as a duplicate, counted as sent).
#   bench/records_bench.sh [BUILD_DIR] [COUNT]   (default: build, 1000)
# Figures, not a test: nothing here fails on a slow machine.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
count=${2:-1000}
bash scripts/install-deps.sh >/dev/null
[ -x "$build/tools/cli/zevuvuri-cli" ] || {
  cmake -S . -B "$build" -G Ninja >/dev/null && cmake --build "$build" --target zevuvuri-cli >/dev/null
}
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
for ((i = 1; i <= count; ++i)); do
  printf '{"record_id":"%032x","station":"bench","loader_version":"bench","start":"2026-12-08T10:00:00.000Z","host":"bench","port":"1","device":null,"usb":null,"firmware":"/fw/REDIDADU.bin","firmware_size":65536,"firmware_sha256":"%s","type_code":0,"link_mode":"serial","pacing":"fast","data_frames_sent":1171,"result":"Upgrade OK","exit_code":0,"duration_s":8.5,"unit":%d,"station_run":"bench"}\n' \
    "$i" "$sha" "$i"
done >"$journal"

timed() {
  local start end
  start=$(date +%s.%N)
  "$cli" --forward-records --report "$journal" --records-db "$connection" >/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}

catch_up=$(timed)
stored=$("${psql[@]}" -d line -c 'SELECT count(*) FROM unit_records')
rm -f "$journal.sent"
resend=$(timed)
stored_again=$("${psql[@]}" -d line -c 'SELECT count(*) FROM unit_records')

printf 'records in the journal:                 %d\n' "$count"
rate() { awk -v n="$count" -v t="$1" 'BEGIN { printf "%.0f", n / t }'; }
printf 'catch-up, empty table:                  %.2f s, %s records/s (stored: %s)\n' "$catch_up" "$(rate "$catch_up")" \
  "$stored"
printf 'resend with the mark lost (duplicates): %.2f s, %s records/s (stored: %s)\n' "$resend" "$(rate "$resend")" \
  "$stored_again"
