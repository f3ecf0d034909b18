#!/usr/bin/env bash
# One end-to-end scenario of zevuvuri-cli.exe under wine against the native
# simulator: the simulator's pseudo-terminal becomes a COM port of the wine
# prefix through its dosdevices/comN link, so the loader reaches it through
# the Win32 serial code.
#   cli_under_wine.sh SCENARIO [PACING]      (PACING: classic, the default, or fast)
# Environment: ZEVUVURI_SIM, ZEVUVURI_CLI_EXE, ZEVUVURI_SAMPLE, WINEPREFIX.
set -uo pipefail
source "$(dirname "$0")/wine_common.sh"

scenario=$1
pacing=${2:-classic}
# Every scenario has a COM number of its own, and the two pacings of a
# scenario 40 apart: they all may run at once in the one shared prefix.
com_offset=0
[ "$pacing" = fast ] && com_offset=40
work=$(mktemp -d)
trap 'StopSimulator; rm -rf "$work"' EXIT

# Runs the loader on COM port $1 with the rest as its arguments; sets
# $loader_status, $loader_out (status lines) and $loader_err.
RunLoader() {
  local port=$1
  shift
  timeout 120 wine "$ZEVUVURI_CLI_EXE" --port "$port" --pacing "$pacing" "$@" >"$work/out" 2>"$work/err" </dev/null
  loader_status=$?
  loader_out=$(tr -d '\r' <"$work/out")
  loader_err=$(tr -d '\r' <"$work/err")
}

ExpectLoader() {  # EXIT_STATUS EXPECTED_LINES
  Check "loader exit status" "$1" "$loader_status"
  Check "status lines" "$2" "$loader_out"
}

ExpectFirmwareWhole() {
  WaitSimulator
  Check "simulator exit status" 0 "$sim_status"
  if cmp -s "$ZEVUVURI_SAMPLE" "$work/received.bin"; then Pass "firmware received whole"; else Fail "firmware differs"; fi
}

ok_lines=$'Running\nSynchronising...\nAcquiring...\nUpgrading over serial port\nUpgrade OK'
air_lines=$'Running\nSynchronising...\nAcquiring...\nUpgrading over the air\nUpgrade OK'

case $scenario in
  serial)
    # A path with Cyrillic and CJK letters: the arguments arrive as UTF-16
    # and the file opens through its wide name.
    mkdir -p "$work/прошивка"
    cp "$ZEVUVURI_SAMPLE" "$work/прошивка/模块-fw.bin"
    StartSimulator $((11 + com_offset)) --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    RunLoader $((11 + com_offset)) --type 24 "$(WinePath "$work/прошивка/模块-fw.bin")"
    ExpectLoader 0 "$ok_lines"
    ExpectFirmwareWhole
    ;;
  over-the-air)
    # Enter arrives through a pipe, as a station's script would send it.
    StartSimulator $((12 + com_offset)) --mode air --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    (sleep 3; echo) | timeout 120 wine "$ZEVUVURI_CLI_EXE" --port $((12 + com_offset)) --pacing "$pacing" "$(WinePath "$ZEVUVURI_SAMPLE")" \
      >"$work/out" 2>"$work/err"
    loader_status=$?
    loader_out=$(tr -d '\r' <"$work/out")
    ExpectLoader 0 "$air_lines"
    ExpectFirmwareWhole
    ;;
  refused-poll)
    StartSimulator $((13 + com_offset)) --refuse-poll 1
    RunLoader $((13 + com_offset)) "$(WinePath "$ZEVUVURI_SAMPLE")"
    ExpectLoader 5 $'Running\nSynchronising...\nAcquiring...\nDid not get local ACK'
    ;;
  write-error)
    StartSimulator $((14 + com_offset)) --refuse-data 3
    RunLoader $((14 + com_offset)) "$(WinePath "$ZEVUVURI_SAMPLE")"
    ExpectLoader 6 $'Running\nSynchronising...\nAcquiring...\nUpgrading over serial port\nWrite Error'
    ;;
  no-reboot-ack)
    StartSimulator $((15 + com_offset)) --mode air --end-reply 2
    RunLoader $((15 + com_offset)) --yes "$(WinePath "$ZEVUVURI_SAMPLE")"
    ExpectLoader 7 $'Running\nSynchronising...\nAcquiring...\nUpgrading over the air\nDid not get local ACK for reboot'
    ;;
  serial-reboot-two)
    StartSimulator $((16 + com_offset)) --end-reply 2 --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    RunLoader $((16 + com_offset)) "$(WinePath "$ZEVUVURI_SAMPLE")"
    ExpectLoader 0 "$ok_lines"
    ExpectFirmwareWhole
    ;;
  no-such-port)
    rm -f "$WINEPREFIX/dosdevices/com77"
    RunLoader 77 "$(WinePath "$ZEVUVURI_SAMPLE")"
    ExpectLoader 3 "Failure : couldn't initialize COM port"
    CheckContains "explanation" 'no such COM port: \\.\COM77' "$loader_err"
    # The doctor has no checks to run here, but says where an adapter's
    # latency timer is set, which no program can do through the COM API.
    timeout 60 wine "$ZEVUVURI_CLI_EXE" --doctor >"$work/out" 2>"$work/err" </dev/null
    Check "doctor exit status" 2 "$?"
    CheckContains "latency timer advice" "Latency Timer (msec)" "$(tr -d '\r' <"$work/err")"
    ;;
  report-is-firmware)
    # Records appended to the image would be flashed to every later unit: a
    # --report that is the firmware, by its name or a hard link, is refused
    # before the port is touched. No module on COM 78: a run that went on
    # would fail there and append its record to the file.
    cp "$ZEVUVURI_SAMPLE" "$work/fw.bin"
    ln "$work/fw.bin" "$work/hard.bin"
    for report in fw.bin hard.bin; do
      RunLoader $((78 + com_offset)) --report "$(WinePath "$work/$report")" "$(WinePath "$work/fw.bin")"
      Check "loader exit status, --report $report" 2 "$loader_status"
      CheckContains "said on standard error" "is the firmware file" "$loader_err"
    done
    if cmp -s "$ZEVUVURI_SAMPLE" "$work/fw.bin"; then Pass "firmware unchanged"; else Fail "firmware changed"; fi
    ;;
  junk-after-replies)
    # Bytes behind every reply, in the reply's own write: only byte 0 counts.
    StartSimulator $((22 + com_offset)) --junk-after-reply 2 --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    RunLoader $((22 + com_offset)) "$(WinePath "$ZEVUVURI_SAMPLE")"
    ExpectLoader 0 "$ok_lines"
    ExpectFirmwareWhole
    ;;
  dirty-line)
    # A program before us left XON/XOFF, parity checking and the like on in
    # the port's settings, and the module sends XOFF (0x13) behind every
    # reply: a line that kept those settings would stop sending at the first
    # one. Only what the line needs stays as the driver has it.
    StartSimulator $((24 + com_offset)) --junk-after-reply 1 --junk-byte 19 --expect "$ZEVUVURI_SAMPLE" \
      --save "$work/received.bin"
    stty -F "$(readlink "$WINEPREFIX/dosdevices/com$((24 + com_offset))")" ixon ixoff inpck istrip parenb
    RunLoader $((24 + com_offset)) "$(WinePath "$ZEVUVURI_SAMPLE")"
    ExpectLoader 0 "$ok_lines"
    ExpectFirmwareWhole
    ;;
  module-vanishes)
    # The module's line goes away while the loader synchronises, which has no
    # time limit: only seeing the device gone ends it, and the port is let go.
    StartSimulator $((23 + com_offset)) --vanish sync
    RunLoader $((23 + com_offset)) "$(WinePath "$ZEVUVURI_SAMPLE")"
    ExpectLoader 13 $'Running\nSynchronising...\nFailure : COM port lost'
    ;;
  missing-file)
    # The port is released after the file failure: the next upgrade works.
    StartSimulator $((19 + com_offset)) --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    RunLoader $((19 + com_offset)) 'C:\no\such\firmware.bin'
    ExpectLoader 4 $'Running\nFailure : couldn\'t open file'
    RunLoader $((19 + com_offset)) "$(WinePath "$ZEVUVURI_SAMPLE")"
    ExpectLoader 0 "$ok_lines"
    ExpectFirmwareWhole
    ;;
  unwritable-output)
    # Standard output on a full disk fails the run (12) but not the upgrade;
    # the record goes to the NUL device, which takes it but cannot be flushed.
    StartSimulator $((20 + com_offset)) --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    timeout 120 wine "$ZEVUVURI_CLI_EXE" --port $((20 + com_offset)) --pacing "$pacing" --report NUL "$(WinePath "$ZEVUVURI_SAMPLE")" \
      >/dev/full 2>"$work/err" </dev/null
    loader_status=$?
    Check "loader exit status" 12 "$loader_status"
    CheckContains "said on standard error" "standard output could not be written" "$(tr -d '\r' <"$work/err")"
    ExpectFirmwareWhole
    ;;
  station-enter)
    # A station slot under Windows, on a fixed fixture: Enter through a pipe
    # starts each unit, as a foot switch would. (Wine lists only the COM ports
    # it found when the prefix started, so a COM port plugged later cannot be
    # shown to the loader's plug watch here.) The first unit refuses its third
    # data frame: recorded, and the slot goes on to the next. COM 17 is this
    # scenario's alone: the scenarios run at once in one wine prefix.
    com=$((17 + com_offset))
    StartSimulator "$com" --refuse-data 3 --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    mkfifo "$work/keys"
    timeout 120 wine "$ZEVUVURI_CLI_EXE" --station --next enter --units 2 --port "$com" --pacing "$pacing" \
      --report "$(WinePath "$work/units.jsonl")" "$(WinePath "$ZEVUVURI_SAMPLE")" \
      <"$work/keys" >"$work/out" 2>"$work/err" &
    loader=$!
    exec 3>"$work/keys"
    # Enter once the slot says it waits, the n-th time, while the loader
    # lives. One that ended early leaves the pipe without a reader: the write
    # then fails instead of killing this script by SIGPIPE before its checks
    # and its clean-up.
    trap '' PIPE
    for n in 1 2; do
      for _ in $(seq 600); do
        [ "$(tr -d '\r' <"$work/out" | grep -cx "$com: waiting for Enter")" -ge "$n" ] && break
        kill -0 "$loader" 2>/dev/null || break
        sleep 0.1
      done
      kill -0 "$loader" 2>/dev/null || break
      echo >&3 2>/dev/null
    done
    trap - PIPE
    loader_status=0
    wait "$loader" || loader_status=$?
    exec 3>&-
    loader_out=$(tr -d '\r' <"$work/out")
    Check "loader exit status: the first unit's" 6 "$loader_status"
    for line in "$com #1: Write Error" "$com #2: Upgrade OK" \
                "2 units, 1 OK, 1 failed (Write Error 1), yield 50.0 %"; do
      CheckContains "line $line" "$line" "$loader_out"
    done
    ExpectFirmwareWhole
    Check "a record per unit" $'1 Write Error\n2 Upgrade OK' \
      "$(sed -E 's/.*"result":"([^"]*)".*"unit":([0-9]+).*/\2 \1/' "$work/units.jsonl" | sort -n)"
    ;;
  station-scan-console)
    # A label scanned into a console, as an operator's scanner types it:
    # standard input is a terminal (script's pseudo-terminal), which wine
    # makes a console; the label's non-ASCII letters reach the record as
    # they were typed, whatever the console's code page. The output goes to
    # files: wine's terminal console draws it a character at a time.
    com=$((18 + com_offset))
    StartSimulator "$com" --expect "$ZEVUVURI_SAMPLE" --save "$work/received.bin"
    mkfifo "$work/keys"
    timeout 120 script -qfec "wine '$ZEVUVURI_CLI_EXE' --station --next scan --units 1 --port $com \
      --pacing $pacing --report '$(WinePath "$work/units.jsonl")' '$(WinePath "$ZEVUVURI_SAMPLE")' \
      >'$work/out' 2>'$work/err'" /dev/null <"$work/keys" >"$work/terminal" 2>&1 &
    loader=$!
    exec 3>"$work/keys"
    for _ in $(seq 600); do
      grep -qs "waiting for a scan" "$work/out" && break
      kill -0 "$loader" 2>/dev/null || break
      sleep 0.1
    done
    sleep 0.5
    printf 'Gr\xc3\xb6\xc3\x9fe-01\r' >&3
    loader_status=0
    wait "$loader" || loader_status=$?
    exec 3>&-
    Check "loader exit status" 0 "$loader_status"
    ExpectFirmwareWhole
    CheckContains "the scan said" "$com #1: serial Größe-01" "$(tr -d '\r' <"$work/out")"
    CheckContains "the record's serial number" '"serial_number":"Größe-01"' "$(cat "$work/units.jsonl" 2>&1)"
    ;;
  *)
    echo "unknown scenario $scenario" >&2
    exit 2
    ;;
esac

Summary
