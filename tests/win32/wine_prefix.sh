# Makes and starts the wine prefix $WINEPREFIX for the scripts that run the
# Windows programs: scripts/test-windows.sh and the package test; the tests
# under wine restart its server with RestartWineServer. Sourced, not run.

# StartWine LOG_DIR: makes the 64-bit prefix if it is missing, without a
# display and without the Mono and Gecko installers, which would want a
# network and a person; then starts one wine server for every program that
# follows, so that they share it and its messages stay out of their output.
# The one that wineboot started, or one left by an interrupted run, goes
# first. Stop it on the way out with StopWine. Exits 1 when wine cannot start.
StartWine() {
  local logs=$1
  export WINEARCH=win64 WINEDEBUG=-all
  # Wine's menu builder stays off too: it would copy the prefix's Start-menu
  # entries into this machine's menus.
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    env -u DISPLAY wineboot --init </dev/null >"$logs/wineboot.log" 2>&1 || {
      cat "$logs/wineboot.log" >&2
      echo "wine could not create its prefix $WINEPREFIX" >&2
      exit 1
    }
  fi
  RestartWineServer "$logs/wineserver.log"
  wine cmd /c exit 0 </dev/null >/dev/null 2>&1 || { echo "wine does not start" >&2; exit 1; }
}

# Stops the prefix's wine server; does nothing when none runs, so it may
# stand in an EXIT trap set before StartWine.
StopWine() { wineserver -k >/dev/null 2>&1 || true; }

# RestartWineServer [LOG]: stops the prefix's wine server, waits until it
# has gone, and starts a persistent one, its messages in LOG (default none)
# rather than in the output of the programs that follow.
RestartWineServer() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w
  wineserver -p >"${1:-/dev/null}" 2>&1 </dev/null
}
