#!/usr/bin/env bash
# zevuvuri-cli.exe under wine records into a real PostgreSQL 15 server: one
# unit upgraded against the native simulator with --records-db, and its
# record arrives in the database (wine's odbc32 hands the ODBC calls to the
# host's unixODBC and its PostgreSQL driver; no registry set-up).
# Environment: ZEVUVURI_SIM, ZEVUVURI_CLI_EXE, ZEVUVURI_SAMPLE,
# ZEVUVURI_RECORDS_SCHEMA, WINEPREFIX.
set -uo pipefail
source "$(dirname "$0")/wine_common.sh"

bin=/usr/lib/postgresql/15/bin
work=$(mktemp -d)
as_server=()
if [ "$(id -u)" -eq 0 ]; then
  chown nobody "$work"
  as_server=(runuser -u nobody --)
fi
cleanup() {
  StopSimulator
  "${as_server[@]}" timeout 60 "$bin/pg_ctl" -D "$work/data" -m immediate -w stop >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

port=$((20000 + $$ % 20000))
"${as_server[@]}" timeout 60 "$bin/initdb" -D "$work/data" -U line -A trust -E UTF8 --no-sync --no-instructions \
  >/dev/null || { Fail "initdb"; Summary; exit 1; }
"${as_server[@]}" timeout 60 "$bin/pg_ctl" -D "$work/data" -l "$work/server.log" -w \
  -o "-c listen_addresses=127.0.0.1 -p $port -k $work -c fsync=off" start >/dev/null || {
  Fail "the server did not start"
  Summary
  exit 1
}
psql=(timeout 60 "$bin/psql" -X -q -At -h 127.0.0.1 -p "$port" -U line)
timeout 60 "$bin/createdb" -h 127.0.0.1 -p "$port" -U line line
"${psql[@]}" -d line -v ON_ERROR_STOP=1 -f "$ZEVUVURI_RECORDS_SCHEMA" >/dev/null || Fail "schema"

driver=$(ls /usr/lib/*/odbc/psqlodbcw.so | head -n 1)
printf '[PostgreSQL Unicode]\nDriver=%s\nDebug=0\nCommLog=0\n' "$driver" >"$work/odbcinst.ini"
: >"$work/odbc.ini"
export ODBCSYSINI=$work ODBCINI=$work/odbc.ini
password=wine-Pa55word
connection="Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$port;Database=line;Uid=line;Pwd=$password"

StartSimulator 91 --expect "$ZEVUVURI_SAMPLE"
timeout 120 wine "$ZEVUVURI_CLI_EXE" --port 91 --type 24 --report "$(WinePath "$work/line.jsonl")" \
  --records-db "$connection" --station-name wine-station "$(WinePath "$ZEVUVURI_SAMPLE")" \
  >"$work/out" 2>"$work/err" </dev/null
Check "loader exit status" 0 "$?"
WaitSimulator
Check "simulator exit status" 0 "$sim_status"
journal_id=$(sed -nE 's/.*"record_id":"([0-9a-f]{32})".*/\1/p' "$work/line.jsonl")
Check "the unit's record in the database" "$journal_id|wine-station|Upgrade OK" \
  "$("${psql[@]}" -d line -c 'SELECT record_id, station, result FROM unit_records')"
if grep -q "$password" "$work/out" "$work/err" "$work/line.jsonl"; then Fail "the password was shown"; else Pass "no password shown"; fi
Summary
