# Shared by the scenarios that run the Windows executables under wine:
# checks with a closing count, and the simulator mapped to a COM port.
# Sourced, not run.

source "$(dirname "${BASH_SOURCE[0]}")/wine_prefix.sh"  # RestartWineServer
: "${WINEPREFIX:?WINEPREFIX must name the wine prefix}"
: "${ZEVUVURI_SIM:?ZEVUVURI_SIM must name the host simulator}"
export WINEPREFIX WINEDEBUG=${WINEDEBUG:--all}
# Wine reads the command line and file names in the host's character set.
export LC_ALL=C.UTF-8

# A prefix that cannot start fails the test; nothing is skipped.
if ! command -v wine >/dev/null || [ ! -d "$WINEPREFIX/dosdevices" ]; then
  echo "wine or the prefix $WINEPREFIX is missing: run scripts/test-windows.sh" >&2
  exit 1
fi

passed=0
failed=0
Pass() { passed=$((passed + 1)); echo "ok: $1"; }
Fail() { failed=$((failed + 1)); echo "FAIL: $1"; }
Check() {  # WHAT EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then Pass "$1"; else Fail "$1: expected [$2], got [$3]"; fi
}
CheckContains() {  # WHAT NEEDLE HAYSTACK
  if [[ "$3" == *"$2"* ]]; then Pass "$1"; else Fail "$1: [$2] not in [$3]"; fi
}
Summary() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

# The Windows form of a host path, through the prefix's Z: drive.
WinePath() { echo "Z:${1//\//\\}"; }

sim_pid=""
sim_out=""
# Starts the simulator and links COM port $1 of the prefix to its terminal.
StartSimulator() {
  local com=$1
  shift
  sim_out=$(mktemp)
  "$ZEVUVURI_SIM" --timeout 120 "$@" >"$sim_out" 2>"$sim_out.err" &
  sim_pid=$!
  local device=""
  for _ in $(seq 100); do
    device=$(head -n1 "$sim_out")
    [ -n "$device" ] && break
    sleep 0.1
  done
  if [ -z "$device" ]; then
    Fail "simulator did not start: $(cat "$sim_out.err")"
    Summary
    exit 1
  fi
  ln -sfn "$device" "$WINEPREFIX/dosdevices/com$com"
}

# Waits for the simulator to end; sets $sim_status. Not in a subshell: only
# this shell can wait for its child.
WaitSimulator() {
  sim_status=0
  wait "$sim_pid" || sim_status=$?
  sim_pid=""
  if [ "$sim_status" -ne 0 ]; then sed 's/^/  sim: /' "$sim_out.err" >&2; fi
}

StopSimulator() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  [ -n "$sim_out" ] && rm -f "$sim_out" "$sim_out.err"
}

x_pid=""
# Starts a private X server and points DISPLAY at it.
StartX() {
  local display_file
  display_file=$(mktemp)
  Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp >"$display_file" 2>/dev/null &
  x_pid=$!
  for _ in $(seq 100); do
    [ -s "$display_file" ] && break
    sleep 0.1
  done
  export DISPLAY=":$(head -n1 "$display_file")"
  rm -f "$display_file"
  if [ "$DISPLAY" == ":" ]; then
    Fail "Xvfb did not start"
    Summary
    exit 1
  fi
}

StopX() {
  if [ -n "$x_pid" ]; then
    kill "$x_pid" 2>/dev/null
    wait "$x_pid" 2>/dev/null
  fi
}

# Moves this test to a wine prefix of its own, copied from the shared one
# (the Windows files hard-linked), with its own wine server. A wine server
# binds its desktop to the X display that first opened it, so a window test
# on its own X server needs its own server. Every program then runs in a
# 640 x 400 virtual desktop, which draws title bars and system menus as
# Windows does, and whose window positions do not depend on a window manager.
# Needs $work; call before StartSimulator.
PrivatePrefix() {
  local shared=$WINEPREFIX
  export WINEPREFIX=$work/prefix
  mkdir -p "$WINEPREFIX"
  cp -a "$shared"/*.reg "$shared/dosdevices" "$WINEPREFIX/"
  cp -al "$shared/drive_c" "$WINEPREFIX/drive_c"
  ln -sfn "$WINEPREFIX/drive_c" "$WINEPREFIX/dosdevices/c:"
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1 </dev/null
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 640x400 /f >/dev/null 2>&1 </dev/null
  # The desktop that these calls opened was made before the setting: start
  # afresh, so that the next program opens the virtual one.
  RestartWineServer
  private_prefix=1
}

StopPrivatePrefix() {
  if [ -n "${private_prefix:-}" ]; then
    wineserver -k >/dev/null 2>&1 || true
    private_prefix=""
  fi
}

pg_bin=/usr/lib/postgresql/15/bin
pg_dir=""
pg_as_server=()
# Starts a fresh PostgreSQL 15 server on 127.0.0.1 and a port of this test's
# own, with the database "line" and the records schema $ZEVUVURI_RECORDS_SCHEMA
# in it, run by nobody when the test runs as root (the server refuses root).
# Sets $pg_psql (psql on the database, unaligned) and $pg_connection (an ODBC
# connection string with a password that must never be shown), and points
# unixODBC at a private odbcinst.ini for the PostgreSQL Unicode driver, which
# wine's odbc32 hands the calls to. Stop it with StopPostgres.
StartPostgres() {
  pg_dir=$(mktemp -d)
  if [ "$(id -u)" -eq 0 ]; then
    chown nobody "$pg_dir"
    pg_as_server=(runuser -u nobody --)
  fi
  local port=$((20000 + $$ % 20000))
  "${pg_as_server[@]}" timeout 60 "$pg_bin/initdb" -D "$pg_dir/data" -U line -A trust -E UTF8 --no-sync \
    --no-instructions >/dev/null || { Fail "initdb"; Summary; exit 1; }
  "${pg_as_server[@]}" timeout 60 "$pg_bin/pg_ctl" -D "$pg_dir/data" -l "$pg_dir/server.log" -w \
    -o "-c listen_addresses=127.0.0.1 -p $port -k $pg_dir -c fsync=off" start >/dev/null || {
    Fail "the server did not start"
    Summary
    exit 1
  }
  pg_psql=(timeout 60 "$pg_bin/psql" -X -q -At -h 127.0.0.1 -p "$port" -U line -d line)
  timeout 60 "$pg_bin/createdb" -h 127.0.0.1 -p "$port" -U line line
  "${pg_psql[@]}" -v ON_ERROR_STOP=1 -f "$ZEVUVURI_RECORDS_SCHEMA" >/dev/null || Fail "schema"
  local driver
  driver=$(ls /usr/lib/*/odbc/psqlodbcw.so | head -n 1)
  printf '[PostgreSQL Unicode]\nDriver=%s\nDebug=0\nCommLog=0\n' "$driver" >"$pg_dir/odbcinst.ini"
  : >"$pg_dir/odbc.ini"
  export ODBCSYSINI=$pg_dir ODBCINI=$pg_dir/odbc.ini
  pg_password=wine-Pa55word
  pg_connection="Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=$port;Database=line;Uid=line;Pwd=$pg_password"
}

StopPostgres() {
  [ -n "$pg_dir" ] || return 0
  "${pg_as_server[@]}" timeout 60 "$pg_bin/pg_ctl" -D "$pg_dir/data" -m immediate -w stop >/dev/null 2>&1
  rm -rf "$pg_dir"
  pg_dir=""
}
