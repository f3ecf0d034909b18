#!/usr/bin/env bash
# zevuvuri-cli.exe under wine records into a real PostgreSQL 15 server: one
# unit upgraded against the native simulator with --records-db, and its
# record arrives in the database (wine's odbc32 hands the ODBC calls to the
# host's unixODBC and its PostgreSQL driver; no registry set-up).
# Environment: ZEVUVURI_SIM, ZEVUVURI_CLI_EXE, ZEVUVURI_SAMPLE,
# ZEVUVURI_RECORDS_SCHEMA, WINEPREFIX.
set -uo pipefail
source "$(dirname "$0")/wine_common.sh"

work=$(mktemp -d)
trap 'StopSimulator; StopPostgres; rm -rf "$work"' EXIT
StartPostgres

StartSimulator 91 --expect "$ZEVUVURI_SAMPLE"
timeout 120 wine "$ZEVUVURI_CLI_EXE" --port 91 --type 24 --report "$(WinePath "$work/line.jsonl")" \
  --records-db "$pg_connection" --station-name wine-station "$(WinePath "$ZEVUVURI_SAMPLE")" \
  >"$work/out" 2>"$work/err" </dev/null
Check "loader exit status" 0 "$?"
WaitSimulator
Check "simulator exit status" 0 "$sim_status"
journal_id=$(sed -nE 's/.*"record_id":"([0-9a-f]{32})".*/\1/p' "$work/line.jsonl")
Check "the unit's record in the database" "$journal_id|wine-station|Upgrade OK" \
  "$("${pg_psql[@]}" -c 'SELECT record_id, station, result FROM unit_records')"
if grep -q "$pg_password" "$work/out" "$work/err" "$work/line.jsonl"; then Fail "the password was shown"; else Pass "no password shown"; fi
Summary
