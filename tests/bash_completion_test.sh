#!/usr/bin/env bash
# The bash completion of zevuvuri-cli, as bash-completion runs it: options
# from the program's own --help, the port texts after --port (COM numbers of
# the port directory and serial devices), files after --report.
#   bash_completion_test.sh CLI COMPLETION_FILE
set -uo pipefail
cli=$1
completion=$2

if [ ! -f /usr/share/bash-completion/bash_completion ]; then
  echo "FAIL: bash-completion is not installed (scripts/install-deps.sh installs it)"
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A station: COM ports 3 and 12 mapped, a USB adapter and its by-id name.
mkdir -p "$work/ports" "$work/dev/serial/by-id" "$work/files"
touch "$work/dev/ttyUSB0" "$work/dev/ttyACM1" "$work/files/units.jsonl"
ln -s "$work/dev/ttyUSB0" "$work/ports/com3"
ln -s "$work/dev/ttyACM1" "$work/ports/com12"
# Links whose names --port does not take as a COM number: not offered.
for name in com01 com1.bak com1234567890; do ln -s "$work/dev/ttyUSB0" "$work/ports/$name"; done
ln -s ../../ttyUSB0 "$work/dev/serial/by-id/usb-FTDI_FT232R_A1B2C3-if00-port0"
export ZEVUVURI_PORT_DIR=$work/ports ZEVUVURI_DEV_ROOT=$work/dev

# Completes the words given, the last one being completed; prints the
# candidates sorted, one a line.
Complete() {
  bash --norc --noprofile -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    _zevuvuri_cli "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}" | sort' _ "$completion" "$@"
}

passed=0
failed=0
Check() {  # WHAT EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAIL: %s\n  expected: %s\n  got:      %s\n' "$1" "${2//$'\n'/ }" "${3//$'\n'/ }"
  fi
}

every_option=$("$cli" --help | grep -E '^ +-' | sed -E 's/^ +//; s/ .*//' | tr ',' '\n' | grep '^--' | sort)
Check "every long option of --help after --" "$every_option" "$(Complete "$cli" --)"
Check "an option from its beginning" "--sync-timeout" "$(Complete "$cli" --port 3 --sy)"
Check "port texts after --port" \
  "$(printf '%s\n' 12 3 "$work/dev/serial/by-id/usb-FTDI_FT232R_A1B2C3-if00-port0" "$work/dev/ttyACM1" \
     "$work/dev/ttyUSB0" | sort)" \
  "$(Complete "$cli" --port '')"
Check "device paths from their beginning" "$work/dev/ttyUSB0" "$(Complete "$cli" --port "$work/dev/ttyU")"
Check "port texts after --port=" "3" "$(Complete "$cli" --port=3)"
Check "what a station takes next" $'enter\nplug\nscan' "$(Complete "$cli" --station --next '')"
Check "the pacings" $'classic\nfast' "$(Complete "$cli" --pacing '')"
Check "files after --report" "$work/files/units.jsonl" "$(Complete "$cli" --report "$work/files/u")"
Check "the firmware file" "$work/files/units.jsonl" "$(Complete "$cli" --type 24 "$work/files/")"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
