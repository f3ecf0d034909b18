#!/usr/bin/env bash
# Prints how fast zevuvuri-line answers the page's data request, GET
# /api/line, on a line as big as a factory's: a fresh PostgreSQL 15 server on
# 127.0.0.1 (fsync on), STATIONS stations of 8 slots each publishing (a loop
# that updates every slot's row and every station's beat twice a second, as
# the stations' throttled writes would at most), and RECORDS unit records
# spread over the 8-hour shift, one in ten failed. zevuvuri-line reads it
# through a role that may only SELECT, as the README sets it up; REQUESTS
# requests are made one after another and their p50, p95 and slowest printed.
#   bench/line_bench.sh [BUILD_DIR] [RECORDS] [STATIONS] [REQUESTS]
#   (default: build, 100000, 20, 200)
# Figures, not a test: nothing here fails on a slow machine.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
records=${2:-100000}
stations=${3:-20}
requests=${4:-200}
bash scripts/install-deps.sh >/dev/null
[ -x "$build/tools/line/zevuvuri-line" ] || {
  cmake -S . -B "$build" -G Ninja >/dev/null && cmake --build "$build" --target zevuvuri-line >/dev/null
}
line=$(realpath "$build/tools/line/zevuvuri-line")
bin=/usr/lib/postgresql/15/bin

work=$(mktemp -d)
as_server=()
if [ "$(id -u)" -eq 0 ]; then
  chown nobody "$work"
  as_server=(runuser -u nobody --)
fi
publisher=
server=
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true; fi
  if [ -n "$publisher" ]; then kill "$publisher" 2>/dev/null; wait "$publisher" 2>/dev/null || true; fi
  "${as_server[@]}" timeout 60 "$bin/pg_ctl" -D "$work/data" -m immediate -w stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
port=$(free_port)
"${as_server[@]}" timeout 60 "$bin/initdb" -D "$work/data" -U line -A trust -E UTF8 --no-instructions >/dev/null
"${as_server[@]}" timeout 60 "$bin/pg_ctl" -D "$work/data" -l "$work/server.log" -w \
  -o "-c listen_addresses=127.0.0.1 -p $port -k $work" start >/dev/null
psql=("$bin/psql" -X -q -At -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$port" -U line)
timeout 60 "$bin/createdb" -h 127.0.0.1 -p "$port" -U line line
"${psql[@]}" -d line -f records/postgresql.sql >/dev/null

# The page's role, as the README's "The line page" makes it.
"${psql[@]}" -d line <<'SQL'
CREATE ROLE line_page LOGIN;
GRANT SELECT ON unit_records, line_stations, station_slots TO line_page;
SQL

# The shift's records, and the stations with their slots.
"${psql[@]}" -d line <<SQL
INSERT INTO unit_records (record_id, station, station_run, unit, serial_number, host, port, type_code, pacing,
                          firmware, firmware_sha256, result, exit_code, data_frames_sent, started_utc, ended_utc,
                          duration_s, loader_version, record)
SELECT lpad(to_hex(i), 32, '0'), 'station-' || (i % $stations), 'run', i, 'SN' || i, 'host', '/dev/ttyUSB' || (i % 8), 5,
       'fast', '/fw/app.bin', repeat('a', 64),
       CASE WHEN i % 10 = 0 THEN 'Write Error' WHEN i % 25 = 0 THEN 'Did not get local ACK' ELSE 'Upgrade OK' END,
       CASE WHEN i % 10 = 0 THEN 6 ELSE 0 END, 1171, t, t + interval '9 seconds', 9.0, 'bench', '{}'
FROM (SELECT i, (now() AT TIME ZONE 'UTC') - (i::double precision / $records) * interval '8 hours' AS t
      FROM generate_series(1, $records) AS i) AS r;
INSERT INTO line_stations (station, host, station_run, started_utc, beat_utc, slots, type_code, pacing, firmware,
                           firmware_sha256, units, ok, failed, failures, loader_version)
SELECT 'station-' || s, 'host-' || s, 'run', CURRENT_TIMESTAMP, CURRENT_TIMESTAMP, 8, 5, 'fast', '/fw/app.bin',
       repeat('a', 64), 500, 450, 50, '[["Write Error",40],["Did not get local ACK",10]]', 'bench'
FROM generate_series(0, $stations - 1) AS s;
INSERT INTO station_slots (station, port, slot, station_run, unit, serial_number, phase, state_text, percent,
                           firmware, firmware_sha256, type_code, changed_utc)
SELECT 'station-' || s, '/dev/ttyUSB' || p, p, 'run', 1, 'SN', 'upgrading', 'Sending', 0, '/fw/app.bin',
       repeat('a', 64), 5, CURRENT_TIMESTAMP
FROM generate_series(0, $stations - 1) AS s, generate_series(0, 7) AS p;
ANALYZE;
SQL

# The stations publishing: every slot and every beat, twice a second.
{
  for ((i = 0; i < 4000; ++i)); do
    echo "UPDATE station_slots SET percent = ($i + slot * 7) % 101, state_text = 'Sending', changed_utc = CURRENT_TIMESTAMP;"
    echo "UPDATE line_stations SET beat_utc = CURRENT_TIMESTAMP, units = units + 1;"
    echo "SELECT pg_sleep(0.5);"
  done
} | "${psql[@]}" -d line >/dev/null 2>&1 &
publisher=$!

driver=$(ls /usr/lib/*/odbc/psqlodbcw.so | head -n 1)
printf '[PostgreSQL Unicode]\nDriver=%s\nDebug=0\nCommLog=0\n' "$driver" >"$work/odbcinst.ini"
export ODBCSYSINI=$work ODBCINI=$work/odbc.ini
: >"$ODBCINI"
http_port=$(free_port)
"$line" --records-db "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$port;Database=line;Uid=line_page;Pwd=unused" \
  --listen "127.0.0.1:$http_port" 2>"$work/line.log" &
server=$!
url=http://127.0.0.1:$http_port/api/line
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$http_port/" && break; sleep 0.1; done
# The first request counts the whole shift; later ones count the current hour
# and take the earlier hours from the last minute's count.
first=$(curl -fs -o "$work/line.json" -w '%{time_total}' "$url") || { cat "$work/line.log" >&2; exit 1; }

# LINE_BENCH_EXPLAIN=1: the plans of the shift's statement, as the server runs it.
if [ -n "${LINE_BENCH_EXPLAIN:-}" ]; then
  from="(now() AT TIME ZONE 'UTC') - interval '8 hours'"
  "${psql[@]}" -d line -c "EXPLAIN ANALYZE SELECT date_trunc('hour', started_utc) AS hour_utc, NULL AS reason, count(*) AS units,
    count(*) FILTER (WHERE result = 'Upgrade OK') AS ok FROM unit_records WHERE started_utc >= $from
    GROUP BY date_trunc('hour', started_utc) UNION ALL SELECT NULL, result, count(*), 0 FROM unit_records
    WHERE started_utc >= $from AND result <> 'Upgrade OK' GROUP BY result"
  "${psql[@]}" -d line -c "EXPLAIN ANALYZE SELECT s.station, s.port FROM station_slots s JOIN line_stations l
    ON l.station = s.station AND l.station_run = s.station_run ORDER BY s.station, s.slot, s.port"
fi
# Warm-up, then the measured requests.
for _ in $(seq 10); do curl -fs -o /dev/null "$url"; done
for ((i = 0; i < requests; ++i)); do curl -fs -o /dev/null -w '%{time_total}\n' "$url"; done |
  sort -n >"$work/times"
bytes=$(wc -c <"$work/line.json")
printf 'line: %d stations x 8 slots publishing, %d records in the shift, answer %d bytes\n' "$stations" "$records" "$bytes"
awk -v n="$requests" '{ t[NR] = $1 * 1000 }
  END { printf "GET /api/line, %d requests one after another: p50 %.1f ms, p95 %.1f ms, slowest %.1f ms\n",
        n, t[int(n * 0.50 + 0.5)], t[int(n * 0.95 + 0.5)], t[n] }' "$work/times"
awk -v t="$first" 'BEGIN { printf "first request (the whole shift counted): %.1f ms\n", t * 1000 }'
echo "-- ($(uptime | sed 's/.*load average: /load /'))"
