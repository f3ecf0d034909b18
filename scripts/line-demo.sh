#!/usr/bin/env bash
# A line of two stations and one database, set up locally by the README's
# recipe ("Setting up a line"), step for step: a private PostgreSQL 15 server
# in a scratch folder stands for the line's server (initdb and pg_ctl instead
# of the system's service, so that nothing of the machine is touched), the
# loader's role with its password and GRANT INSERT, a quality role for the
# views, the schema from this checkout, a DSN with psqlODBC's own keys and the
# driver's CommLog off, --doctor --records-db, then two stations of three
# simulated boards each (one through the DSN, one through a connection
# string), and the views as the quality role reads them.
#
#   scripts/line-demo.sh [ZEVUVURI_CLI [ZEVUVURI_SIM]]
#
# Exit status 0 when all six units are in the database under two station
# names. Every step has a time limit; the server and every process started
# here are stopped on every way out, by a watchdog even when this script is
# killed outright.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${1:-$root/build/tools/cli/zevuvuri-cli}
sim=${2:-$root/build/tools/sim/zevuvuri-sim}
pgbin=/usr/lib/postgresql/15/bin
schema=$root/records/postgresql.sql
[ -r "$schema" ] || schema=/usr/share/zevuvuri/postgresql.sql
firmware=$root/samples/REDIDADU.bin
units=3

say() { printf 'line demo: %s\n' "$*"; }
die() {
  printf 'line demo: %s\n' "$*" >&2
  exit 1
}

for program in "$cli" "$sim" "$pgbin/initdb"; do
  [ -x "$program" ] || die "$program is missing (build the loader; apt-get install postgresql-15)"
done
[ -r "$schema" ] || die "no schema found (records/postgresql.sql)"
[ -r "$firmware" ] || die "$firmware is missing"
grep -qx '\[PostgreSQL Unicode\]' /etc/odbcinst.ini 2>/dev/null ||
  die "the PostgreSQL ODBC driver is not registered in /etc/odbcinst.ini (apt-get install odbc-postgresql)"

# As on the line's server, the database's own user runs the server and its
# administration (the server refuses root).
as_postgres() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

work=$(mktemp -d /tmp/zevuvuri-line-demo.XXXXXX)
[ "$(id -u)" -eq 0 ] && chown postgres: "$work"
: >"$work/pids"

stop_everything() {
  while read -r pid; do kill "$pid" 2>/dev/null || true; done <"$work/pids"
  if [ -f "$work/data/postmaster.pid" ]; then
    as_postgres timeout -k 5 30 "$pgbin/pg_ctl" -D "$work/data" -m immediate -w -t 20 stop >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap stop_everything EXIT
trap 'exit 130' INT TERM HUP
# Outlives this script only until it has stopped what this script started.
setsid bash -c '
  while kill -0 '"$$"' 2>/dev/null; do sleep 1; done
  [ -d "'"$work"'" ] || exit 0
  while read -r pid; do kill "$pid" 2>/dev/null; done <"'"$work"'/pids"
  if [ -f "'"$work"'/data/postmaster.pid" ]; then
    '"$( [ "$(id -u)" -eq 0 ] && echo "runuser -u postgres --")"' "'"$pgbin"'/pg_ctl" -D "'"$work"'/data" -m immediate -w -t 20 stop
  fi
  rm -rf "'"$work"'"' </dev/null >/dev/null 2>&1 &

# 1. The server (the recipe: apt-get install postgresql-15, started by its
#    service). Host logins with a password, as Debian's cluster has them.
say "starting a private PostgreSQL 15 server in $work"
as_postgres timeout -k 5 60 "$pgbin/initdb" -D "$work/data" -U postgres --auth-local=trust \
  --auth-host=scram-sha-256 -E UTF8 --no-sync --no-instructions >"$work/initdb.log" 2>&1 ||
  die "initdb failed: $(cat "$work/initdb.log")"
port=
for _ in 1 2 3 4 5; do
  candidate=$((20000 + RANDOM % 40000))
  if as_postgres timeout -k 5 60 "$pgbin/pg_ctl" -D "$work/data" -l "$work/server.log" -w -t 30 \
    -o "-c listen_addresses=127.0.0.1 -p $candidate -k $work" start >/dev/null 2>&1; then
    port=$candidate
    break
  fi
done
[ -n "$port" ] || die "the server did not start: $(tail -n 5 "$work/server.log" 2>/dev/null)"

# The recipe's "runuser -u postgres -- psql", on this server.
psql_admin() {
  as_postgres timeout -k 5 60 "$pgbin/psql" -X -q -v ON_ERROR_STOP=1 -h "$work" -p "$port" -U postgres "$@"
}

# 2. The roles, the database, the schema and the rights.
say "creating the database line, the roles loader and quality, and the schema"
psql_admin -d postgres <<'SQL'
CREATE ROLE loader LOGIN PASSWORD 'loader-secret';
CREATE ROLE quality LOGIN PASSWORD 'quality-secret';
CREATE DATABASE line;
SQL
psql_admin -d line <"$schema"
psql_admin -d line <<'SQL'
GRANT INSERT, SELECT (record_id) ON unit_records TO loader;
GRANT SELECT, INSERT, UPDATE, DELETE ON line_stations, station_slots TO loader;
GRANT SELECT ON unit_records, yield_by_station_hour, yield_by_firmware, serial_history TO quality;
SQL

# 3. Each station's ODBC set-up: the driver's CommLog off (here in a copy of
#    /etc/odbcinst.ini, which the recipe edits in place), and a DSN.
sed 's/^CommLog=1/CommLog=0/' /etc/odbcinst.ini >"$work/odbcinst.ini"
cat >"$work/odbc.ini" <<INI
[line]
Driver=PostgreSQL Unicode
Servername=127.0.0.1
Port=$port
Database=line
Username=loader
Password=loader-secret
INI
chmod 600 "$work/odbc.ini"
export ODBCSYSINI=$work ODBCINI=$work/odbc.ini
connection_string="Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$port;Database=line;Uid=loader;Pwd=loader-secret"

# 4. The doctor, before the first unit.
say "zevuvuri-cli --doctor --records-db DSN=line"
timeout -k 5 60 "$cli" --doctor --records-db DSN=line || die "the doctor found a problem"

# 5. Two stations, each with its own name and journal, against simulated
#    boards on COM ports 1 and 2.
export ZEVUVURI_PORT_DIR=$work/ports
for n in 1 2; do
  timeout -k 5 150 "$sim" --com "$n" --units "$units" --plug-gap-ms 300 --timeout 120 --expect "$firmware" \
    >"$work/sim$n.out" 2>&1 &
  echo $! >>"$work/pids"
  eval "sim_pid_$n=$!"
done
for _ in $(seq 200); do
  [ -e "$ZEVUVURI_PORT_DIR/com1" ] && [ -e "$ZEVUVURI_PORT_DIR/com2" ] && break
  sleep 0.05
done
[ -e "$ZEVUVURI_PORT_DIR/com1" ] && [ -e "$ZEVUVURI_PORT_DIR/com2" ] || die "the simulated boards did not come"

say "two stations, $units units each: line-a-1 (DSN=line) and line-a-2 (a connection string)"
for n in 1 2; do
  records=DSN=line
  [ "$n" -eq 2 ] && records=$connection_string
  timeout -k 5 150 "$cli" --station --units "$units" --port "$n" --station-name "line-a-$n" \
    --report "$work/line-a-$n.jsonl" --records-db "$records" "$firmware" \
    </dev/null >"$work/station$n.out" 2>&1 &
  echo $! >>"$work/pids"
  eval "station_pid_$n=$!"
done
failed=0
for n in 1 2; do
  eval "pid=\$station_pid_$n"
  status=0
  wait "$pid" || status=$?
  say "station line-a-$n ended with exit status $status"
  if [ "$status" -ne 0 ]; then
    sed 's/^/    /' "$work/station$n.out" >&2
    failed=1
  fi
  eval "pid=\$sim_pid_$n"
  status=0
  wait "$pid" || status=$?
  if [ "$status" -ne 0 ]; then
    say "simulated boards on COM $n ended with exit status $status" >&2
    sed 's/^/    /' "$work/sim$n.out" >&2
    failed=1
  fi
done
[ "$failed" -eq 0 ] || die "a station or its boards failed"

# A resend as the loader role: the mark lost, every record already there
# (the rights of step 2 must let it tell them from refusals).
rm -f "$work/line-a-1.jsonl.sent"
timeout -k 5 60 "$cli" --forward-records --report "$work/line-a-1.jsonl" --records-db DSN=line \
  >"$work/resend.out" 2>&1 || die "resending line-a-1's journal after its mark was lost failed: $(cat "$work/resend.out")"

# 6. The views, as the quality role reads them over the network.
quality() {
  PGPASSWORD=quality-secret timeout -k 5 60 "$pgbin/psql" -X -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$port" \
    -U quality -d line "$@"
}
quality -c "SELECT station, units, ok, failed, yield_percent FROM yield_by_station_hour ORDER BY station"
quality -c "SELECT units, ok, failed, yield_percent FROM yield_by_firmware"
summary=$(quality -At -c "SELECT count(*) || ' ' || count(DISTINCT station) FROM unit_records")
[ "$summary" = "$((2 * units)) 2" ] ||
  die "the database holds $summary (units, stations), not $((2 * units)) units from 2 stations"
say "$((2 * units)) units from 2 stations are in the database"
# The stations' live state, through the loader role's rights: both ended cleanly.
ended=$(psql_admin -d line -At -c "SELECT count(*) FROM line_stations WHERE ended_utc IS NOT NULL AND units = $units")
[ "$ended" = 2 ] || die "line_stations shows $ended of 2 stations ended with $units units"
say "both stations' live state is in the database, ended"
