#!/usr/bin/env bash
# zevuvuri-cli.exe under wine records into a real PostgreSQL 15 server: one
# unit upgraded against the native simulator with --records-db, and its
# record arrives in the database (wine's odbc32 hands the ODBC calls to the
# host's unixODBC and its PostgreSQL driver; no registry set-up). Then a
# station of one unit leaves the line's live state there: its station row,
# ended and with its totals, and its slot's row with the result and image.
# Environment: ZEVUVURI_SIM, ZEVUVURI_CLI_EXE, ZEVUVURI_SAMPLE,
# ZEVUVURI_RECORDS_SCHEMA, WINEPREFIX.
set -uo pipefail
source "$(dirname "$0")/wine_common.sh"

work=$(mktemp -d)
station=""
trap '[ -z "$station" ] || kill "$station" 2>/dev/null; StopSimulator; StopPostgres; rm -rf "$work"' EXIT
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

# A fixed fixture (wine lists only the COM ports it found when the prefix
# started, so a plug cannot be shown to the station): Enter once the slot
# waits for it.
StartSimulator 92 --expect "$ZEVUVURI_SAMPLE"
mkfifo "$work/keys"
timeout 120 wine "$ZEVUVURI_CLI_EXE" --station --next enter --units 1 --port 92 --type 24 \
  --report "$(WinePath "$work/station.jsonl")" --records-db "$pg_connection" --station-name wine-line \
  "$(WinePath "$ZEVUVURI_SAMPLE")" <"$work/keys" >"$work/station.out" 2>"$work/station.err" &
station=$!
exec 3>"$work/keys"
trap '' PIPE
for _ in $(seq 600); do
  tr -d '\r' <"$work/station.out" | grep -qx "92: waiting for Enter" && break
  kill -0 "$station" 2>/dev/null || break
  sleep 0.1
done
echo >&3
exec 3>&-
wait "$station"
Check "station exit status" 0 "$?"
WaitSimulator
Check "simulator exit status (station)" 0 "$sim_status"
Check "the station's live row: ended, its totals" "wine-line|1|1|0|t|t" \
  "$("${pg_psql[@]}" -c "SELECT station, units, ok, failed, ended_utc IS NOT NULL,
                                beat_utc > now() - interval '5 minutes' FROM line_stations
                         WHERE station = 'wine-line'")"
sha256=$(sha256sum "$ZEVUVURI_SAMPLE" | cut -c1-64)
Check "the station's slot row: its port, unit, result and image" "92|1|ok|Upgrade OK|$sha256|24" \
  "$("${pg_psql[@]}" -c "SELECT port, unit, result, result_text, firmware_sha256, type_code
                         FROM station_slots WHERE station = 'wine-line'")"
if grep -q "$pg_password" "$work/out" "$work/err" "$work/line.jsonl" "$work/station.out" "$work/station.err"; then Fail "the password was shown"; else Pass "no password shown"; fi
Summary
