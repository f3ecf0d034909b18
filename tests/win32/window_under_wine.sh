#!/usr/bin/env bash
# The Windows window under wine on a private X server.
#   window_under_wine.sh production   a production-mode start against the
#       simulator: exit status 0 and the firmware received whole
#   window_under_wine.sh click-upgrade  an operator's upgrade: the Acquire
#       button clicked, the window left open, then closed
#   window_under_wine.sh over-the-air   production mode over the air: the
#       button clicked again to confirm the start
#   window_under_wine.sh close-mid-upgrade  closed while the worker streams: the
#       window ends at once and releases the port
#   window_under_wine.sh browse-upgrade  a firmware file chosen with Browse...
#       in the open-file dialog is the one the module receives
#   window_under_wine.sh about-during-upgrade  a production upgrade goes on
#       and ends the process while the About box's modal loop runs
#   window_under_wine.sh keyboard-upgrade  an operator at the keyboard alone:
#       Space starts, keys typed while the button is disabled reach no field,
#       Enter starts the next upgrade once the button is back
#   window_under_wine.sh keyboard-over-the-air  production mode over the air,
#       the start confirmed with Enter on "Click to Start"
#   window_under_wine.sh close-after-upgrade-ok  production over the air,
#       closed by its close button in the pause after the trailer: exit 0
#   window_under_wine.sh esc-while-synchronising  Esc ends a production
#       window whose module never answers, while Acquire is disabled
#   window_under_wine.sh production-utf16  a UTF-16 loader.cfg naming a
#       firmware path outside the ANSI code page
#   window_under_wine.sh records  a production window on a traced line
#       (Report=, RecordsDb= reaching a real PostgreSQL server, StationName=,
#       FirmwareSha256=): the approved image upgrades OK and its record
#       arrives in the database with the approved hash; another image ends
#       "Failure : couldn't open file" and reaches no module
#   window_under_wine.sh dpi-144  the window at 96 and at 144 DPI: drawn
#       about half as large again at 144, saved as a PNG in $ZEVUVURI_ARTIFACTS
#       (wine draws a program that declares no DPI awareness at the same
#       size: ui_tests' WindowManifest checks the declaration itself)
#   window_under_wine.sh station-enter  the station view from loader.cfg with
#       one slot and Next=enter: two boards, the first failing, started by a
#       click and by Enter; the header, Tab to the result, the rows, the
#       result field's colour, the counts, the totals and the journal; a third
#       unit stopped by Esc and the question; a screenshot in $ZEVUVURI_ARTIFACTS
#   window_under_wine.sh station-cannot-run  a station whose journal cannot
#       be opened: the reason in loader.cfg's words, the start button disabled
#   window_under_wine.sh station-held-key  the station view with Next=enter
#       on a board and on a port that names nothing (its unit fails at once):
#       Enter held for 3.5 s starts each slot once, one record each
#   window_under_wine.sh station-end-session  the session ends (wineboot
#       --end-session) while the station view streams to a board: the unit
#       recorded interrupted, exit status 130 within a bound, the port free
#   window_under_wine.sh station-over-window-end-session  the session ends
#       (wineboot --end-session) while a station view opened from the main
#       window streams to a board: both windows end, the unit recorded
#       interrupted, exit status 130 within a bound, the port free
#   window_under_wine.sh station-over-window-logoff-message  the same, the
#       log-off's messages sent to the main window alone
#   window_under_wine.sh station-auto-repeat  Enter held down as a keyboard
#       repeats it (key-downs marked as repeats, sent by window_probe) on a
#       slot whose unit fails at once: one unit only; a fresh press starts
#       the next
#   window_under_wine.sh station-plug-air  Next=plug over the air: the board
#       found on its port waits for the start button, enabled now; one click
#       starts its one upgrade
#   window_under_wine.sh station-long-serial  a 255-character label scanned
#       (Next=scan): the slot's unit field shows its start cut with an
#       ellipsis; the tooltip over it, in a screenshot in $ZEVUVURI_ARTIFACTS,
#       shows it whole
#   window_under_wine.sh station-from-menu  the main window's context menu,
#       opened from the keyboard: "Station..." asks for the ports and opens
#       the station view over the window, which Esc closes again
#   window_under_wine.sh screenshots  the main window, the About box opened
#       from the system menu, and a production upgrade under way, saved as
#       PNG files in $ZEVUVURI_ARTIFACTS
# Environment: ZEVUVURI_SIM, ZEVUVURI_WINDOW_EXE, ZEVUVURI_PROBE_EXE,
# ZEVUVURI_SAMPLE, WINEPREFIX; ZEVUVURI_RECORDS_SCHEMA for records.
set -uo pipefail
source "$(dirname "$0")/wine_common.sh"

scenario=$1
work=$(mktemp -d)
trap 'StopSimulator; StopPrivatePrefix; StopX; StopPostgres; rm -rf "$work"' EXIT
StartX
PrivatePrefix
main_title="ZE Vuvuri V1.06"  # the main window's caption

WriteSettings() {  # COM_PORT [PRODMODE]
  printf '[CONFIG]\r\nProdmode=%s\r\nComport=%s\r\nType=24\r\nFirmware=%s\r\n' "${2:-1}" "$1" \
    "$(WinePath "$ZEVUVURI_SAMPLE")" >"$work/loader.cfg"
}

# Waits for a top-level window with this title; true once it is there.
WaitWindow() {
  for _ in $(seq 150); do
    xdotool search --name "^$1\$" >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  return 1
}

# Clicks the main window's control whose centre lies at X of 287 dialog units
# across and Y of 104 down its client area, inside the desktop's 3-pixel
# frame and below its 19-pixel caption.
ClickControl() {
  local info x y width height
  info=$(xwininfo -name "$main_title" 2>/dev/null)
  if [ -z "$info" ]; then
    Fail "no main window to click"
    return
  fi
  x=$(awk '/Absolute upper-left X/ {print $4}' <<<"$info")
  y=$(awk '/Absolute upper-left Y/ {print $4}' <<<"$info")
  width=$(awk '/Width:/ {print $2}' <<<"$info")
  height=$(awk '/Height:/ {print $2}' <<<"$info")
  xdotool mousemove $((x + 3 + (width - 6) * $1 / 287)) $((y + 22 + (height - 25) * $2 / 104))
  sleep 0.3
  xdotool click 1
}
ClickAcquire() { ClickControl 144 90; }
ClickBrowse() { ClickControl 261 33; }

# Points at the main window's caption at OFFSET pixels from its left edge,
# or from its right edge when OFFSET is negative.
PointCaption() {
  local info x y width
  info=$(xwininfo -name "$main_title" 2>/dev/null)
  x=$(awk '/Absolute upper-left X/ {print $4}' <<<"$info")
  y=$(awk '/Absolute upper-left Y/ {print $4}' <<<"$info")
  width=$(awk '/Width:/ {print $2}' <<<"$info")
  local at=$1
  [ "$at" -lt 0 ] && at=$((${width:-0} + at))
  xdotool mousemove $((${x:-0} + at)) $((${y:-0} + 11))
  sleep 0.3
}
ClickCaption() {
  PointCaption "$1"
  xdotool click 1
  sleep 0.5
}
# The main window's width in pixels.
WindowWidth() { xwininfo -name "$main_title" 2>/dev/null | awk '/Width:/ {print $2}'; }

# Waits up to SECONDS for the window's process to end; sets $app_status
# (none: still running, and then ended here).
WaitApp() {
  for _ in $(seq $(($1 * 10))); do
    if ! kill -0 "$app" 2>/dev/null; then
      wait "$app"
      app_status=$?
      return
    fi
    sleep 0.1
  done
  app_status=none
  kill "$app" 2>/dev/null
  wait "$app" 2>/dev/null
}
# Makes the main window the active one, so that keys reach it.
Activate() { ClickCaption 120; }
# The caption's close button: the platform's standard ending of a dialog.
ClickClose() { ClickCaption -14; }

# The system menu's About entry: it is the menu's last, so Up from the first
# row reaches it.
OpenAboutBox() {
  xdotool key alt+space
  sleep 0.5
  xdotool key Up Return
}

# Waits until the simulator has seen N complete upgrades.
WaitUpgrades() {
  for _ in $(seq 600); do
    [ "$(grep -c 'upgrade complete' "$sim_out.err")" -ge "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

# Runs the window in the work folder, in the background. Now and then wine
# brings up no window at all in a fresh copy of the prefix (seen once in a
# clean CI run: the program never reached the port); a program that did not
# touch the port is started once more on a restarted wine server, and the
# retry is said, so a window that never comes still fails.
StartWindow() {
  local attempt
  for attempt in 1 2; do
    (cd "$work" && exec timeout 120 wine "$ZEVUVURI_WINDOW_EXE") &
    app=$!
    if WaitWindow "$main_title"; then
      Pass "main window shown"
      return
    fi
    kill "$app" 2>/dev/null
    wait "$app" 2>/dev/null
    if [ "$attempt" = 2 ] || grep -q "session 1 began" "$sim_out.err" 2>/dev/null; then break; fi
    echo "  wine showed no window within 30 s: restarting its server and the window once"
    RestartWineServer
  done
  Fail "no main window"
}

ExpectFirmwareWhole() {
  WaitSimulator
  Check "simulator exit status" 0 "$sim_status"
  if cmp -s "$ZEVUVURI_SAMPLE" "$work/received.bin"; then Pass "firmware received whole"; else Fail "firmware differs"; fi
}

Shot() {  # NAME [SIZE]: the wine desktop, as a PNG in the artifacts
  mkdir -p "$ZEVUVURI_ARTIFACTS"
  import -window root -crop "${2:-640x400}+0+0" +repage "$ZEVUVURI_ARTIFACTS/$1.png" && Pass "screenshot $1.png"
}

# The controls of the window titled $1, one per line (window_probe.cpp):
# id, class, flags, text, screen rectangle; and the focus.
Probe() { timeout 30 wine "$ZEVUVURI_PROBE_EXE" "$1" 2>/dev/null </dev/null | tr -d '\r'; }
Field() {  # PROBE_OUTPUT ID COLUMN
  awk -F'\t' -v id="$2" -v column="$3" '$1 == id { print $column }' <<<"$1"
}
# Waits up to 60 s until control ID of window $1 shows TEXT; sets $probe.
WaitControlText() {  # TITLE ID TEXT
  for _ in $(seq 120); do
    probe=$(Probe "$1")
    [ "$(Field "$probe" "$2" 4)" == "$3" ] && return 0
    sleep 0.5
  done
  return 1
}
# Clicks the middle of control ID in the last probe. The virtual desktop
# lies at the X screen's origin, so its coordinates are the screen's.
ClickProbed() {
  local l t r b
  IFS=, read -r l t r b <<<"$(Field "$probe" "$1" 5)"
  xdotool mousemove $(((l + r) / 2)) $(((t + b) / 2))
  sleep 0.3
  xdotool click 1
}
# The colour at a pixel of the desktop, as "r,g,b".
PixelAt() {  # X Y
  import -window root -crop "1x1+$1+$2" -depth 8 txt:- 2>/dev/null |
    sed -nE '2s/.*\(([0-9]+),([0-9]+),([0-9]+).*/\1,\2,\3/p'
}

case $scenario in
  station-enter)
    # Row controls of slot 1 (ui/win32/station_layout.h): unit, state,
    # result; the totals line, the status line and the start button.
    unit=2001 state=2002 result=2004 totals=1900 start=1903
    station_title="ZE Vuvuri station"
    StartSimulator 33 --type 24 --refuse-data 3 --upgrades 2 --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    printf '[CONFIG]\r\nStation=1\r\nPorts=33\r\nNext=enter\r\nType=24\r\nFirmware=%s\r\nReport=%s\r\n' \
      "$(WinePath "$ZEVUVURI_SAMPLE")" "$(WinePath "$work/units.jsonl")" >"$work/loader.cfg"
    main_title=$station_title
    StartWindow
    sleep 1
    probe=$(Probe "$station_title")
    Check "the slot's port" 33 "$(Field "$probe" 2000 4)"
    Check "the slot waits" "waiting for Enter" "$(Field "$probe" $state 4)"
    Check "the start button, a tab stop" "Start waiting slots tab" \
      "$(Field "$probe" $start 4) $(Field "$probe" $start 3)"
    Check "the start button has the focus" "focus $start" "$(tail -n1 <<<"$probe")"
    Check "the progress bar named by its text" "33 progress" "$(Field "$probe" 2003 4)"
    CheckContains "the header names the firmware" "Firmware REDIDADU.bin, " "$(Field "$probe" 1906 4)"
    CheckContains "the header names the type" "| Type 24 QM-D EVB |" "$(Field "$probe" 1906 4)"
    # Tab goes from the start button to the slot's result, and on round.
    xdotool key Tab
    sleep 0.5
    Check "Tab reaches the slot's result" "focus $result" "$(Probe "$station_title" | tail -n1)"
    xdotool key Tab
    sleep 0.5
    Check "and back to the start button" "focus $start" "$(Probe "$station_title" | tail -n1)"

    ClickProbed $start
    if WaitControlText "$station_title" $result "Write Error"; then Pass "first unit failed"; else Fail "no failure shown"; fi
    Check "first unit's number" "#1" "$(Field "$probe" $unit 4)"
    Check "first unit's state" "Write Error, Enter for the next unit" "$(Field "$probe" $state 4)"
    xdotool key Return
    if WaitControlText "$station_title" $result "OK"; then Pass "second unit OK"; else Fail "no OK shown"; fi
    Check "second unit's number" "#2" "$(Field "$probe" $unit 4)"
    CheckContains "totals" "2 units, 1 OK, 1 failed (Write Error 1), yield 50.0 %" "$(Field "$probe" $totals 4)"
    Check "the slot's counts" "1 OK 1 failed" "$(Field "$probe" 2005 4)"
    IFS=, read -r l t _ _ <<<"$(Field "$probe" $result 5)"
    Check "the OK field is green" "27,127,42" "$(PixelAt $((l + 3)) $((t + 3)))"
    Shot station-view
    if cmp -s "$ZEVUVURI_SAMPLE" "$work/received.bin"; then Pass "firmware received whole"; else Fail "firmware differs"; fi
    Check "a record per unit" $'1 Write Error\n2 Upgrade OK' \
      "$(sed -E 's/.*"result":"([^"]*)".*"unit":([0-9]+).*/\2 \1/' "$work/units.jsonl" | sort -n)"

    # A third unit, stopped while it runs: Esc asks once, Yes ends it.
    xdotool key Return
    sleep 1
    xdotool key Escape
    if WaitWindow "Units running"; then Pass "the question"; else Fail "no question"; fi
    question=$(Probe "Units running")
    CheckContains "the question's text" "1 units are being upgraded. Stop them?" "$question"
    xdotool key y
    WaitApp 10
    Check "stopped station's exit status" 130 "$app_status"
    Check "the stopped unit recorded" "3 interrupted" \
      "$(sed -E 's/.*"result":"([^"]*)".*"unit":([0-9]+).*/\2 \1/' "$work/units.jsonl" | sort -n | tail -n1)"
    ;;
  station-cannot-run)
    # A journal in a folder that does not exist: the view opens with the
    # reason in loader.cfg's words and nothing to press; Esc closes it with
    # the journal's exit status.
    station_title="ZE Vuvuri station"
    printf '[CONFIG]\r\nStation=1\r\nPorts=33\r\nNext=enter\r\nFirmware=%s\r\nReport=%s\r\n' \
      "$(WinePath "$ZEVUVURI_SAMPLE")" "$(WinePath "$work/missing/units.jsonl")" >"$work/loader.cfg"
    main_title=$station_title
    StartWindow
    sleep 1
    probe=$(Probe "$station_title")
    note=$(Field "$probe" 1902 4)
    CheckContains "the reason names the key" "Report= in loader.cfg: " "$note"
    if [[ "$note" == *--* ]]; then Fail "an option in the window: [$note]"; else Pass "no option in the window"; fi
    Check "the start button disabled" "tab,disabled" "$(Field "$probe" 1903 3)"
    Check "the keyboard on the slot's result" "focus 2004" "$(tail -n1 <<<"$probe")"
    xdotool key Escape
    WaitApp 10
    Check "the journal's exit status" 11 "$app_status"
    ;;
  station-held-key)
    state=2002 result=2004 result2=2014
    station_title="ZE Vuvuri station"
    StartSimulator 35 --type 24 --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    printf '[CONFIG]\r\nStation=1\r\nPorts=35, 39\r\nNext=enter\r\nType=24\r\nPacing=fast\r\nFirmware=%s\r\nReport=%s\r\n' \
      "$(WinePath "$ZEVUVURI_SAMPLE")" "$(WinePath "$work/units.jsonl")" >"$work/loader.cfg"
    main_title=$station_title
    StartWindow
    WaitControlText "$station_title" $state "waiting for Enter" || Fail "the slot never waited: $(Field "$probe" $state 4)"
    # Longer than the board's upgrade, and three times the guard after a start.
    xdotool keydown Return
    sleep 3.5
    xdotool keyup Return
    if WaitControlText "$station_title" $result "OK"; then Pass "the board upgraded"; else Fail "no OK shown"; fi
    sleep 1  # a late start would show by now
    probe=$(Probe "$station_title")
    CheckContains "the failing slot's result" "couldn't" "$(Field "$probe" $result2 4)"
    # A record's keys come in alphabetical order: exit_code, port, result.
    Check "one record per slot" $'35 0 Upgrade OK\n39 3' \
      "$(sed -E 's/.*"exit_code":([0-9]+).*"port":"([^"]*)".*"result":"([^"]*)".*/\2 \1 \3/' "$work/units.jsonl" |
        awk '$1 == 39 { print $1, $2; next } { print }' | sort)"
    xdotool key Escape
    WaitApp 10
    Check "exit status: the port that did not open" 3 "$app_status"
    WaitSimulator
    Check "the board's one upgrade" 0 "$sim_status"
    ;;
  station-end-session)
    state=2002
    station_title="ZE Vuvuri station"
    StartSimulator 36 --type 24 --reply-delay-ms 50
    printf '[CONFIG]\r\nStation=1\r\nPorts=36\r\nNext=enter\r\nType=24\r\nFirmware=%s\r\nReport=%s\r\n' \
      "$(WinePath "$ZEVUVURI_SAMPLE")" "$(WinePath "$work/units.jsonl")" >"$work/loader.cfg"
    main_title=$station_title
    StartWindow
    WaitControlText "$station_title" $state "waiting for Enter" || Fail "the slot never waited: $(Field "$probe" $state 4)"
    xdotool key Return
    # Into the data frames (50 ms each), far from done.
    WaitControlText "$station_title" $state "Upgrading over serial port" ||
      Fail "the upgrade never began: $(Field "$probe" $state 4)"
    sleep 2
    started=$(date +%s%N)
    timeout 60 wineboot --end-session </dev/null >/dev/null 2>&1
    WaitApp 20
    elapsed_ms=$((($(date +%s%N) - started) / 1000000))
    Check "exit status after the session's end" 130 "$app_status"
    echo "  the session's end to the exit: ${elapsed_ms} ms"
    Check "the unit recorded" "interrupted 130" \
      "$(sed -E 's/.*"exit_code":([0-9]+).*"result":"([^"]*)".*/\2 \1/' "$work/units.jsonl" 2>/dev/null)"
    # The port is free again: a loader opens it and the module answers.
    timeout 60 wine "$ZEVUVURI_CLI_EXE" --port 36 --type 24 "$(WinePath "$ZEVUVURI_SAMPLE")" >/dev/null 2>&1 </dev/null
    Check "the next upgrade on the same port" 0 "$?"
    ;;
  station-over-window-end-session | station-over-window-logoff-message)
    state=2002
    station_title="ZE Vuvuri station"
    StartSimulator 37 --type 24 --reply-delay-ms 50
    # The station flashes the main window's file name, REDIDADU.bin in the
    # working folder.
    cp "$ZEVUVURI_SAMPLE" "$work/REDIDADU.bin"
    printf '[CONFIG]\r\nProdmode=0\r\nComport=37\r\nType=24\r\nNext=enter\r\nReport=%s\r\n' \
      "$(WinePath "$work/units.jsonl")" >"$work/loader.cfg"
    StartWindow
    Activate
    xdotool key shift+F10
    sleep 0.5
    xdotool key Down Return
    if WaitWindow "Station"; then Pass "the ports asked for"; else Fail "no ports dialog"; fi
    xdotool key Return
    if WaitWindow "$station_title"; then Pass "station view opened"; else Fail "no station view"; fi
    WaitControlText "$station_title" $state "waiting for Enter" || Fail "the slot never waited: $(Field "$probe" $state 4)"
    xdotool key Return
    # Into the data frames (50 ms each), far from done.
    WaitControlText "$station_title" $state "Upgrading over serial port" ||
      Fail "the upgrade never began: $(Field "$probe" $state 4)"
    sleep 2
    started=$(date +%s%N)
    if [ "$scenario" = station-over-window-end-session ]; then
      timeout 60 wineboot --end-session </dev/null >/dev/null 2>&1
    else
      timeout 60 wine "$ZEVUVURI_PROBE_EXE" --end-session "$main_title" </dev/null >/dev/null 2>&1
    fi
    WaitApp 20
    elapsed_ms=$((($(date +%s%N) - started) / 1000000))
    Check "exit status after the session's end" 130 "$app_status"
    echo "  the session's end to the exit: ${elapsed_ms} ms"
    Check "the unit recorded" "interrupted 130" \
      "$(sed -E 's/.*"exit_code":([0-9]+).*"result":"([^"]*)".*/\2 \1/' "$work/units.jsonl" 2>/dev/null)"
    # The port is free again: a loader opens it and the module answers.
    timeout 60 wine "$ZEVUVURI_CLI_EXE" --port 37 --type 24 "$(WinePath "$ZEVUVURI_SAMPLE")" >/dev/null 2>&1 </dev/null
    Check "the next upgrade on the same port" 0 "$?"
    ;;
  station-auto-repeat)
    state=2002
    station_title="ZE Vuvuri station"
    printf '[CONFIG]\r\nStation=1\r\nPorts=40\r\nNext=enter\r\nType=24\r\nFirmware=%s\r\nReport=%s\r\n' \
      "$(WinePath "$ZEVUVURI_SAMPLE")" "$(WinePath "$work/units.jsonl")" >"$work/loader.cfg"
    main_title=$station_title
    StartWindow
    WaitControlText "$station_title" $state "waiting for Enter" || Fail "the slot never waited: $(Field "$probe" $state 4)"
    # 35 key-downs over 3.5 s, three times the guard after a start; COM40
    # names nothing, so the unit fails at once and any repeat let through
    # would start the next one.
    timeout 60 wine "$ZEVUVURI_PROBE_EXE" --hold-enter "$station_title" 35 </dev/null >/dev/null 2>&1
    sleep 1.5  # a late start would show by now
    Check "one unit for the held Enter" 1 "$(wc -l <"$work/units.jsonl" 2>/dev/null)"
    # A fresh press is no repeat: it starts the next unit.
    xdotool key Return
    for _ in $(seq 50); do
      [ "$(wc -l <"$work/units.jsonl")" -ge 2 ] && break
      sleep 0.2
    done
    Check "a fresh press starts the next unit" 2 "$(wc -l <"$work/units.jsonl" 2>/dev/null)"
    xdotool key Escape
    WaitApp 10
    Check "exit status: the port that did not open" 3 "$app_status"
    ;;
  station-plug-air)
    state=2002 result=2004 start=1903
    station_title="ZE Vuvuri station"
    StartSimulator 38 --type 24 --mode air --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    # Wine's COM list holds the ports named in its registry when its server
    # starts: the board's is named there, and the server started afresh.
    wine reg add 'HKLM\Software\Wine\Ports' /v COM38 /d "$(head -n1 "$sim_out")" /f >/dev/null 2>&1 </dev/null
    RestartWineServer
    printf '[CONFIG]\r\nStation=1\r\nPorts=38\r\nNext=plug\r\nType=24\r\nPacing=fast\r\nFirmware=%s\r\nReport=%s\r\n' \
      "$(WinePath "$ZEVUVURI_SAMPLE")" "$(WinePath "$work/units.jsonl")" >"$work/loader.cfg"
    main_title=$station_title
    StartWindow
    for _ in $(seq 120); do
      probe=$(Probe "$station_title")
      [ "$(Field "$probe" $start 3)" == tab ] && break
      sleep 0.5
    done
    Check "the start button offered, enabled" "Start waiting slots tab" \
      "$(Field "$probe" $start 4) $(Field "$probe" $start 3)"
    CheckContains "the slot asks for it" "press Enter, Space or \"Start waiting slots\"" \
      "$(Field "$probe" $state 4) $(Field "$probe" 1902 4)"
    ClickProbed $start
    if WaitControlText "$station_title" $result "OK"; then Pass "one click upgraded the board"; else Fail "no OK shown"; fi
    Check "one record" 1 "$(wc -l <"$work/units.jsonl" 2>/dev/null)"
    xdotool key Escape
    WaitApp 10
    Check "exit status" 0 "$app_status"
    ExpectFirmwareWhole
    ;;
  station-long-serial)
    unit=2001 result=2004
    station_title="ZE Vuvuri station"
    printf '[CONFIG]\r\nStation=1\r\nPorts=40\r\nNext=scan\r\nType=24\r\nFirmware=%s\r\n' \
      "$(WinePath "$ZEVUVURI_SAMPLE")" >"$work/loader.cfg"
    main_title=$station_title
    StartWindow
    sleep 1
    serial=SN-$(printf '%0252d' 7)
    xdotool type --delay 5 "$serial"
    xdotool key Return
    WaitControlText "$station_title" $result "Failure : couldn't initialize COM port" ||
      Fail "no unit ended: $(Field "$probe" $result 4)"
    shown=$(Field "$probe" $unit 4)
    CheckContains "the unit field shows the serial's start" "#1 SN-0000" "$shown"
    if [[ "$shown" == *"…" && ${#shown} -lt 60 ]]; then Pass "cut with an ellipsis: [$shown]"; else Fail "not cut: [$shown]"; fi
    IFS=, read -r l t r b <<<"$(Field "$probe" $unit 5)"
    xdotool mousemove $(((l + r) / 2)) $(((t + b) / 2))
    sleep 0.3
    xdotool mousemove $(((l + r) / 2 + 2)) $(((t + b) / 2 + 1))
    sleep 2
    Shot station-long-serial 640x400
    xdotool key Escape
    WaitApp 10
    Check "exit status: the port that did not open" 3 "$app_status"
    ;;
  station-from-menu)
    cp "$ZEVUVURI_SAMPLE" "$work/REDIDADU.bin"  # a station refuses a firmware that is not there
    StartWindow
    Activate
    xdotool key shift+F10
    sleep 0.5
    xdotool key Down Return
    if WaitWindow "Station"; then Pass "the ports asked for"; else Fail "no ports dialog"; fi
    Check "the ports field shows the COM port" "1" "$(Field "$(Probe Station)" 1950 4)"
    xdotool type "5, COM6"
    xdotool key Return
    if WaitWindow "ZE Vuvuri station"; then Pass "station view opened"; else Fail "no station view"; fi
    probe=$(Probe "ZE Vuvuri station")
    Check "a row per port" "5 6" "$(Field "$probe" 2000 4) $(Field "$probe" 2010 4)"
    xdotool key Escape
    sleep 1
    if xdotool search --name "^ZE Vuvuri station\$" >/dev/null 2>&1; then Fail "station view still open"; else Pass "Esc closed the idle station view"; fi
    kill -0 "$app" 2>/dev/null && Pass "the main window stays" || Fail "window ended"
    xdotool key Escape
    WaitApp 10
    Check "main window closed, exit status" 0 "$app_status"
    ;;
  production)
    StartSimulator 21 --type 24 --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    WriteSettings 21
    (cd "$work" && timeout 120 wine "$ZEVUVURI_WINDOW_EXE")
    Check "window exit status after a production upgrade" 0 "$?"
    ExpectFirmwareWhole
    ;;
  click-upgrade)
    StartSimulator 23 --type 24 --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    WriteSettings 23 0
    cp "$ZEVUVURI_SAMPLE" "$work/REDIDADU.bin"  # the file name field's default
    StartWindow
    sleep 1
    ClickAcquire
    ExpectFirmwareWhole
    sleep 1
    kill -0 "$app" 2>/dev/null && Pass "window stays open after an operator's upgrade" || Fail "window ended"
    ClickClose
    wait "$app"
    Check "window closed by its close button, exit status" 0 "$?"
    ;;
  over-the-air)
    StartSimulator 24 --mode air --type 24 --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    WriteSettings 24
    StartWindow
    # Synchronised and polling, however long a busy machine takes: the button
    # reads "Click to Start" and is enabled.
    WaitControlText "$main_title" 1000 "Acquiring..." || Fail "the window never polled: $(Field "$probe" 1000 4)"
    ClickAcquire
    wait "$app"
    Check "window exit status after a production upgrade" 0 "$?"
    ExpectFirmwareWhole
    ;;
  close-mid-upgrade)
    StartSimulator 25 --type 24 --reply-delay-ms 50
    WriteSettings 25
    StartWindow
    # Into the data frames: past the 2 s serial start pause, with the file
    # (50 ms a frame) far from done.
    WaitControlText "$main_title" 1000 "Upgrading over serial port" ||
      Fail "the upgrade never began: $(Field "$probe" 1000 4)"
    sleep 3
    started=$(date +%s%N)
    ClickClose
    wait "$app"
    Check "production window closed before success, exit status" 1 "$?"
    elapsed_ms=$((($(date +%s%N) - started) / 1000000))
    if [ "$elapsed_ms" -lt 5000 ]; then Pass "closed in ${elapsed_ms} ms"; else Fail "closing took ${elapsed_ms} ms"; fi
    # The port is free again: a loader opens it and the module answers.
    timeout 60 wine "$ZEVUVURI_CLI_EXE" --port 25 --type 24 "$(WinePath "$ZEVUVURI_SAMPLE")" >/dev/null 2>&1 </dev/null
    Check "the next upgrade on the same port" 0 "$?"
    ;;
  end-session)
    # A log-off mid-upgrade: wineboot --end-session sends WM_QUERYENDSESSION
    # and WM_ENDSESSION. The upgrade is stopped as "Yes" to closing would stop
    # it, recorded "interrupted" with the command line's code, and the
    # process ends 130 rather than being cut off mid-stream with no record.
    StartSimulator 35 --type 24 --reply-delay-ms 50
    printf '[CONFIG]\r\nProdmode=1\r\nComport=35\r\nType=24\r\nFirmware=%s\r\nReport=%s\r\n' \
      "$(WinePath "$ZEVUVURI_SAMPLE")" "$(WinePath "$work/line.jsonl")" >"$work/loader.cfg"
    StartWindow
    WaitControlText "$main_title" 1000 "Upgrading over serial port" ||
      Fail "the upgrade never began: $(Field "$probe" 1000 4)"
    sleep 2
    started=$(date +%s%N)
    timeout 60 wine wineboot --end-session >/dev/null 2>&1 </dev/null
    WaitApp 30
    Check "ended by the session, exit status" 130 "$app_status"
    elapsed_ms=$((($(date +%s%N) - started) / 1000000))
    if [ "$elapsed_ms" -lt 10000 ]; then Pass "ended ${elapsed_ms} ms after the end-session"; else Fail "ending took ${elapsed_ms} ms"; fi
    CheckContains "its record: interrupted" '"result":"interrupted"' "$(cat "$work/line.jsonl" 2>/dev/null)"
    CheckContains "its record: the command line's code" '"exit_code":130' "$(cat "$work/line.jsonl" 2>/dev/null)"
    # The port is free again: a loader opens it and the module answers.
    timeout 60 wine "$ZEVUVURI_CLI_EXE" --port 35 --type 24 "$(WinePath "$ZEVUVURI_SAMPLE")" >/dev/null 2>&1 </dev/null
    Check "the next upgrade on the same port" 0 "$?"
    ;;
  browse-upgrade)
    # Another file than the default, with a name of its own, so that only the
    # dialog's choice can bring it to the module.
    mkdir -p "$work/firmware"
    head -c 3000 /dev/urandom >"$work/firmware/other.bin"
    StartSimulator 27 --type 24 --expect "$work/firmware/other.bin" --save "$work/received.bin"
    WriteSettings 27 0
    StartWindow
    ClickBrowse
    if WaitWindow "Open"; then Pass "open-file dialog shown"; else Fail "no open-file dialog"; fi
    sleep 1
    Shot open-file-dialog
    xdotool type --delay 20 "$(WinePath "$work/firmware/other.bin")"
    xdotool key Return
    sleep 1
    if xdotool search --name "^Open\$" >/dev/null 2>&1; then Fail "dialog still open"; else Pass "dialog closed by the choice"; fi
    ClickAcquire
    WaitSimulator
    Check "simulator exit status" 0 "$sim_status"
    if cmp -s "$work/firmware/other.bin" "$work/received.bin"; then Pass "the chosen file received whole"; else Fail "firmware differs"; fi
    ClickClose
    wait "$app"
    Check "window closed, exit status" 0 "$?"
    ;;
  about-during-upgrade)
    # The worker's sink calls are window messages that the About box's own
    # message loop carries out; without that the upgrade would stall at its
    # first status line after the box opened.
    StartSimulator 26 --type 24 --reply-delay-ms 20 --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    WriteSettings 26
    StartWindow
    Activate
    OpenAboutBox
    if WaitWindow "About ZE Vuvuri"; then Pass "About box open during the upgrade"; else Fail "no About box"; fi
    wait "$app"
    Check "process ended by the upgrade, exit status" 0 "$?"
    WaitSimulator
    Check "simulator exit status" 0 "$sim_status"
    if cmp -s "$ZEVUVURI_SAMPLE" "$work/received.bin"; then Pass "firmware received whole"; else Fail "firmware differs"; fi
    ;;
  keyboard-upgrade)
    # A "9" or a blank that reached the COM port field would send the second
    # upgrade to another port, and the simulator would wait for it in vain.
    StartSimulator 28 --type 24 --upgrades 2 --expect "$ZEVUVURI_SAMPLE"
    WriteSettings 28 0
    cp "$ZEVUVURI_SAMPLE" "$work/REDIDADU.bin"
    StartWindow
    Activate
    xdotool key space
    sleep 2  # under way: the button and the fields disabled
    ClickControl 80 16  # the COM port field takes no click
    xdotool type 9
    xdotool key space Return
    if WaitUpgrades 1; then Pass "the first upgrade, started with Space"; else Fail "no first upgrade"; fi
    sleep 1  # the ending's calls: the button enabled again
    xdotool key Return
    WaitSimulator
    Check "two upgrades on one port, simulator exit status" 0 "$sim_status"
    kill -0 "$app" 2>/dev/null && Pass "window stays open" || Fail "window ended"
    xdotool key Escape
    wait "$app"
    Check "window closed by Esc, exit status" 0 "$?"
    ;;
  keyboard-over-the-air)
    # Return closes the window unless the focus came back to the button when
    # it was enabled as "Click to Start": a closed production window exits 1.
    StartSimulator 29 --mode air --type 24 --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    WriteSettings 29
    StartWindow
    Activate
    xdotool key Return  # while the button is disabled: presses nothing
    sleep 4  # synchronised and polling: "Click to Start" enabled
    xdotool key Return
    wait "$app"
    Check "window exit status after a production upgrade" 0 "$?"
    ExpectFirmwareWhole
    ;;
  close-after-upgrade-ok)
    # The simulator says the upgrade is complete once it has the trailer; the
    # window then pauses 500 ms before it closes by itself.
    StartSimulator 30 --mode air --type 24 --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    WriteSettings 30
    StartWindow
    sleep 4  # synchronised and polling: "Click to Start" enabled
    ClickAcquire
    PointCaption -14
    WaitUpgrades 1 && xdotool click 1
    WaitApp 20
    Check "closed after Upgrade OK, exit status" 0 "$app_status"
    ExpectFirmwareWhole
    ;;
  esc-while-synchronising)
    StartSimulator 31 --type 24 --ignore-sync 100000
    WriteSettings 31
    StartWindow
    Activate
    sleep 1  # synchronising: Acquire disabled
    xdotool key Escape
    WaitApp 10
    Check "Esc while Acquire is disabled, exit status" 1 "$app_status"
    ;;
  production-utf16)
    mkdir "$work/固件"
    cp "$ZEVUVURI_SAMPLE" "$work/固件/fw.bin"
    StartSimulator 32 --type 24 --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    { printf '\xff\xfe'; printf '[CONFIG]\r\nProdmode=1\r\nComport=32\r\nType=24\r\nFirmware=%s\r\n' \
      "$(WinePath "$work/固件/fw.bin")" | iconv -f UTF-8 -t UTF-16LE; } >"$work/loader.cfg"
    StartWindow
    WaitApp 60
    Check "window exit status after a production upgrade" 0 "$app_status"
    ExpectFirmwareWhole
    ;;
  records)
    StartPostgres
    approved=$(sha256sum "$ZEVUVURI_SAMPLE" | cut -d' ' -f1)
    { cat "$ZEVUVURI_SAMPLE"; printf 'x'; } >"$work/other.bin"
    TracedSettings() {  # COM_PORT FIRMWARE
      printf '[CONFIG]\r\nProdmode=1\r\nComport=%s\r\nType=24\r\nFirmware=%s\r\nReport=%s\r\nRecordsDb=%s\r\nStationName=wine-window\r\nFirmwareSha256=%s\r\n' \
        "$1" "$(WinePath "$2")" "$(WinePath "$work/line.jsonl")" "$pg_connection" "$approved" >"$work/loader.cfg"
    }
    StartSimulator 33 --type 24 --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    TracedSettings 33 "$ZEVUVURI_SAMPLE"
    StartWindow
    WaitApp 60
    Check "approved image: window exit status" 0 "$app_status"
    ExpectFirmwareWhole
    Check "approved image: its record in the database" "wine-window|Upgrade OK|$approved|$approved" \
      "$("${pg_psql[@]}" -c 'SELECT station, result, firmware_sha256, approved_sha256 FROM unit_records')"

    StartSimulator 34 --type 24
    TracedSettings 34 "$work/other.bin"
    StartWindow
    for _ in $(seq 100); do [ "$(wc -l <"$work/line.jsonl")" -ge 2 ] && break; sleep 0.1; done
    CheckContains "other image: its record" '"result":"Failure : couldn'"'"'t open file"' "$(sed -n 2p "$work/line.jsonl")"
    CheckContains "other image: nothing sent" '"data_frames_sent":0' "$(sed -n 2p "$work/line.jsonl")"
    ClickClose
    WaitApp 10
    Check "other image: window closed without an upgrade, exit status" 1 "$app_status"
    if grep -q "session 1 began" "$sim_out.err"; then Fail "other image reached the module"; else Pass "other image reached no module"; fi
    if grep -q "$pg_password" "$work/line.jsonl"; then Fail "the password was recorded"; else Pass "no password recorded"; fi
    ;;
  dpi-144)
    StartWindow
    width_96=$(WindowWidth)
    ClickClose
    WaitApp 10
    # A desktop that holds the larger window whole, for the picture.
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1 </dev/null
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 960x600 /f >/dev/null 2>&1 </dev/null
    RestartWineServer
    StartWindow
    sleep 1
    width_144=$(WindowWidth)
    Shot main-window-144dpi 960x600
    echo "  window width: ${width_96:-?} pixels at 96 DPI, ${width_144:-?} at 144 DPI"
    if [ $((${width_144:-0} * 100)) -ge $((${width_96:-1} * 135)) ] &&
       [ $((${width_144:-0} * 100)) -le $((${width_96:-1} * 165)) ]; then
      Pass "drawn half as large again at 144 DPI"
    else
      Fail "not scaled with the DPI"
    fi
    Activate
    xdotool key Escape
    WaitApp 10
    Check "window closed, exit status" 0 "$app_status"
    ;;
  screenshots)
    StartWindow
    sleep 1
    Shot main-window
    Activate
    OpenAboutBox
    if WaitWindow "About ZE Vuvuri"; then Pass "About box opened from the system menu"; else Fail "no About box"; fi
    sleep 0.5
    Shot about-box
    xdotool key Escape
    sleep 0.5
    if xdotool search --name "^About ZE Vuvuri\$" >/dev/null 2>&1; then Fail "About box still open"; else Pass "About box closed by Esc"; fi
    ClickClose
    wait "$app"
    Check "window closed, exit status" 0 "$?"

    # A production upgrade under way: fields locked, Browse hidden, the bar
    # moving. The module answers slowly so that there is time to look.
    StartSimulator 22 --type 24 --reply-delay-ms 25 --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    WriteSettings 22
    StartWindow
    sleep 5
    Shot production-upgrading
    wait "$app"
    WaitSimulator
    Check "simulator exit status" 0 "$sim_status"
    ;;
  *)
    echo "unknown scenario $scenario" >&2
    exit 2
    ;;
esac

Summary
