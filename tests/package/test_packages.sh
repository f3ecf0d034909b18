#!/usr/bin/env bash
# Proves the packages that scripts/package.sh left in dist/ by installing
# them, as a station engineer, an operator and a Windows desktop would:
#   - the Debian packages on this machine with apt-get: the programs answer
#     --version, the installed loader upgrades the installed simulator, the
#     installed window does so in production mode without a display, man
#     finds each page; then they are purged and nothing of them is left;
#   - the MSI under wine: installed with msiexec, the installed
#     zevuvuri-cli.exe upgrades the simulator through a COM port, a newer MSI
#     replaces it, and msiexec /x removes everything.
# Installs what it needs. Runs as root (apt-get, dpkg), as CI does.
#   tests/package/test_packages.sh
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

bash scripts/install-deps.sh --package --windows || exit 1
version=$(bash scripts/version.sh)
arch=$(dpkg --print-architecture)
cli_deb=$root/dist/zevuvuri-cli_${version}_$arch.deb
window_deb=$root/dist/zevuvuri_${version}_$arch.deb
msi=$root/dist/zevuvuri-$version.msi
sample=$root/samples/REDIDADU.bin
for f in "$cli_deb" "$window_deb" "$msi"; do
  [ -f "$f" ] || { echo "FAIL: $f is missing: run scripts/package.sh first" >&2; exit 1; }
done

work=$(mktemp -d)
# A wine prefix of its own, with one wine server for every step.
export WINEPREFIX=$work/wineprefix
source tests/win32/wine_prefix.sh

# Set before anything can fail half-way, StartWine included: every step here
# is safe for what has not been started yet. The packages, once the Debian
# part has begun, are purged here too, so that a failed run leaves none of
# them installed (dpkg passes over those that are not).
debian_sim=""
packages=()
Cleanup() {
  declare -F StopSimulator >/dev/null && StopSimulator
  [ -n "$debian_sim" ] && kill "$debian_sim" 2>/dev/null
  [ "${#packages[@]}" -gt 0 ] && dpkg --purge "${packages[@]}" >/dev/null 2>&1
  StopWine
  rm -rf "$work"
}
trap Cleanup EXIT

# The host simulator for the wine part, out of the package itself.
dpkg-deb -x "$cli_deb" "$work/cli-root"
export ZEVUVURI_SIM=$work/cli-root/usr/bin/zevuvuri-sim
StartWine "$work"
# Pass, Fail, Check, Summary, WinePath and the simulator on a COM port.
source tests/win32/wine_common.sh

# --- Debian -----------------------------------------------------------------
export DEBIAN_FRONTEND=noninteractive
packages=(zevuvuri zevuvuri-cli)
Installed() { dpkg-query -W -f='${db:Status-Status}\n' "$1" 2>/dev/null | grep -qx installed; }
for p in "${packages[@]}"; do
  if Installed "$p"; then
    echo "note: $p was installed before the test; purging it first"
    apt-get purge -y -q "$p" >/dev/null
  fi
done

# A headless station installs the command-line package alone: no Qt, no X.
depends=$(dpkg-deb -f "$cli_deb" Depends)
if grep -qiE 'qt|libx|libgl|wayland' <<<"$depends"; then
  Fail "zevuvuri-cli depends on graphical libraries: $depends"
else
  Pass "zevuvuri-cli needs no graphical library ($depends)"
fi

# Minimal images may tell dpkg to leave out man pages (path-exclude in
# /etc/dpkg/dpkg.cfg.d/); ours are asked for back, so that man can find them.
if apt-get install -y -q -o DPkg::Options::=--path-include='/usr/share/man/man1/zevuvuri*' \
  "$cli_deb" "$window_deb" >"$work/apt.log" 2>&1; then
  Pass "apt-get installs both packages"
else
  Fail "apt-get install: $(tail -n 5 "$work/apt.log")"
fi
for p in "${packages[@]}"; do
  if Installed "$p"; then Pass "$p installed"; else Fail "$p not installed"; fi
done
installed_files=$(dpkg -L "${packages[@]}" 2>/dev/null)

Check "installed zevuvuri-cli --version" "zevuvuri-cli $version" "$(zevuvuri-cli --version 2>&1)"
Check "installed zevuvuri-sim --version" "zevuvuri-sim $version" "$(zevuvuri-sim --version 2>&1)"
Check "installed zevuvuri-line --version" "zevuvuri-line $version" "$(zevuvuri-line --version 2>&1)"
# The line page's unit: shipped, installed but not enabled (nor started).
line_unit=/lib/systemd/system/zevuvuri-line.service
if grep -qx "$line_unit" <<<"$installed_files"; then Pass "zevuvuri-line.service shipped"; else Fail "$line_unit not shipped"; fi
Check "systemctl is-enabled zevuvuri-line" disabled "$(systemctl is-enabled zevuvuri-line 2>&1)"
Check "links to zevuvuri-line.service in /etc/systemd/system" "" \
  "$(find /etc/systemd/system -name zevuvuri-line.service 2>/dev/null)"
Check "zevuvuri-cli on the PATH" /usr/bin/zevuvuri-cli "$(command -v zevuvuri-cli)"

# Starts the installed simulator on COM port $1 of the port directory.
StartDebianSimulator() {
  export ZEVUVURI_PORT_DIR=$work/ports
  /usr/bin/zevuvuri-sim --com "$1" --expect "$sample" --save "$work/received-$1.bin" --timeout 120 \
    >"$work/sim-$1.out" 2>"$work/sim-$1.err" &
  debian_sim=$!
  for _ in $(seq 100); do [ -e "$ZEVUVURI_PORT_DIR/com$1" ] && break; sleep 0.05; done
}
ExpectDebianSimulatorDone() {  # COM WHAT
  local status=0
  wait "$debian_sim" || status=$?
  debian_sim=""
  Check "$2: simulator exit status" 0 "$status"
  [ "$status" -eq 0 ] || sed 's/^/  sim: /' "$work/sim-$1.err"
  if cmp -s "$sample" "$work/received-$1.bin"; then Pass "$2: firmware received whole"; else Fail "$2: firmware differs"; fi
}

# The command-line loader upgrades the simulated module.
StartDebianSimulator 1
cli_out=$(timeout 120 /usr/bin/zevuvuri-cli --port 1 --type 24 "$sample" </dev/null 2>"$work/cli.err")
Check "installed zevuvuri-cli: exit status" 0 "$?"
Check "installed zevuvuri-cli: last status" "Upgrade OK" "$(tail -n 1 <<<"$cli_out")"
ExpectDebianSimulatorDone 1 "installed zevuvuri-cli"

# The window, in production mode on Qt's offscreen platform, does the same and
# ends by itself with status 0.
mkdir -p "$work/station"
cp "$sample" "$work/station/REDIDADU.bin"
printf '[CONFIG]\nProdmode=1\nComport=2\nType=24\nFirmware=REDIDADU.bin\n' >"$work/station/loader.cfg"
StartDebianSimulator 2
(cd "$work/station" && QT_QPA_PLATFORM=offscreen timeout 120 /usr/bin/zevuvuri </dev/null >"$work/window.log" 2>&1)
Check "installed zevuvuri in production mode: exit status" 0 "$?"
ExpectDebianSimulatorDone 2 "installed zevuvuri"

for page in zevuvuri zevuvuri-cli zevuvuri-sim zevuvuri-line; do
  Check "man -w $page" "/usr/share/man/man1/$page.1.gz" "$(man -w "$page" 2>&1)"
done
Check "menu entry" "$(printf 'Exec=zevuvuri\nIcon=zevuvuri')" \
  "$(grep -E '^(Exec|Icon)=' /usr/share/applications/zevuvuri.desktop 2>&1)"
for size in 16 48 256; do
  icon=/usr/share/icons/hicolor/${size}x$size/apps/zevuvuri.png
  CheckContains "$size px icon" "PNG image data, $size x $size" "$(file -b "$icon" 2>&1)"
done
for schema in postgresql.sql sqlserver.sql; do
  if grep -qx "/usr/share/zevuvuri/$schema" <<<"$installed_files" && cmp -s "records/$schema" "/usr/share/zevuvuri/$schema"; then
    Pass "$schema shipped"
  else
    Fail "$schema not in /usr/share/zevuvuri"
  fi
done
Check "bash completion found by bash-completion" "complete -F _zevuvuri_cli zevuvuri-cli" \
  "$(bash -c 'source /usr/share/bash-completion/bash_completion; __load_completion zevuvuri-cli; complete -p zevuvuri-cli' 2>&1)"

if apt-get purge -y -q "${packages[@]}" >"$work/apt.log" 2>&1; then
  Pass "apt-get purges both packages"
else
  Fail "apt-get purge: $(tail -n 5 "$work/apt.log")"
fi
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null)
  if [ -z "$status" ] || [ "$status" == not-installed ]; then Pass "$p gone from dpkg"
  else Fail "$p still known to dpkg: $status"; fi
done
# Every file of the packages is gone, and every folder of their own (the
# shared ones, /usr/bin and the like, stay; so does /lib, which is a link to
# /usr/lib on a merged /usr and is listed by the systemd unit's path).
left=""
while IFS= read -r path; do
  [ -z "$path" ] && continue
  if [ -d "$path" ]; then
    [[ $(basename "$path") == *zevuvuri* ]] && [ -e "$path" ] && left+="$path "
  elif [ -e "$path" ] || [ -L "$path" ]; then
    left+="$path "
  fi
done <<<"$installed_files"
Check "files of the packages left after purging" "" "$left"
Check "files that dpkg listed" yes "$([ "$(wc -l <<<"$installed_files")" -gt 20 ] && echo yes || echo no)"

# --- Windows ------------------------------------------------------------------
program_files=$WINEPREFIX/drive_c/Program\ Files/ZE\ Vuvuri
# The Start-menu entry. Windows puts a per-machine product's in the common
# Start menu (ProgramData); wine puts it in the installing user's.
StartMenuEntry() { find "$WINEPREFIX/drive_c" -path '*/Start Menu/Programs/ZE Vuvuri.lnk' 2>/dev/null; }

# The products that Windows lists as installed under the name ZE Vuvuri,
# one "DisplayVersion" a line.
InstalledVersions() {
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s </dev/null 2>/dev/null | tr -d '\r' |
    awk '/^HKEY/ { name = ""; ver = "" }
         $1 == "DisplayName" { $1 = $2 = ""; sub(/^ +/, ""); name = $0 }
         $1 == "DisplayVersion" { ver = $3 }
         name == "ZE Vuvuri" && ver != "" { print ver; name = "" }'
}

timeout 300 wine msiexec /i "$(WinePath "$msi")" /qn </dev/null >"$work/msiexec.log" 2>&1
Check "msiexec /i exit status" 0 "$?"
Check "files in Program Files\\ZE Vuvuri" \
  "$(printf '%s\n' README.txt loader.cfg.example postgresql.sql sqlserver.sql zevuvuri-cli.exe zevuvuri.exe)" \
  "$(ls "$program_files" 2>&1 | sort)"
# The shortcut holds its target's path a component a line, then the
# working folder.
start_menu_entry=$(StartMenuEntry)
shortcut=$([ -n "$start_menu_entry" ] && strings -el "$start_menu_entry" | tr '\n' '|')
CheckContains "Start-menu entry: the window" 'Program Files|ZE Vuvuri|zevuvuri.exe|' "$shortcut"
CheckContains "Start-menu entry: started in its folder" '|C:\Program Files\ZE Vuvuri\|' "$shortcut"
Check "installed product" "${version%%.*}.$((10#${version#*.})).0" "$(InstalledVersions)"

installed_cli='C:\Program Files\ZE Vuvuri\zevuvuri-cli.exe'
Check "installed zevuvuri-cli.exe --version" "zevuvuri-cli $version" \
  "$(timeout 60 wine "$installed_cli" --version </dev/null 2>&1 | tr -d '\r')"
StartSimulator 5 --expect "$sample" --save "$work/received-wine.bin"
wine_out=$(timeout 120 wine "$installed_cli" --port 5 --type 24 "$(WinePath "$sample")" </dev/null 2>"$work/wine-cli.err" |
  tr -d '\r')
Check "installed zevuvuri-cli.exe: last status" "Upgrade OK" "$(tail -n 1 <<<"$wine_out")"
WaitSimulator
Check "installed zevuvuri-cli.exe: simulator exit status" 0 "$sim_status"
if cmp -s "$sample" "$work/received-wine.bin"; then Pass "installed zevuvuri-cli.exe: firmware received whole"
else Fail "installed zevuvuri-cli.exe: firmware differs"; fi

# A newer version, made from the same installer source and the same files,
# replaces the installed one rather than installing beside it.
mkdir -p "$work/newer"
(cd "$work/newer" && msiextract "$msi" >/dev/null)
newer_files=$(dirname "$(cd "$work/newer" && find . -name zevuvuri.exe)")
newer_version=${version%%.*}.$((10#${version#*.} + 1)).0
(cd "$work/newer" &&
  wixl -a x64 -D Version="$newer_version" -D SourceDir="$newer_files" -o "$work/newer.msi" "$root/scripts/windows/zevuvuri.wxs")
timeout 300 wine msiexec /i "$(WinePath "$work/newer.msi")" /qn </dev/null >>"$work/msiexec.log" 2>&1
Check "msiexec /i of a newer version: exit status" 0 "$?"
Check "installed products after the newer one" "$newer_version" "$(InstalledVersions)"

timeout 300 wine msiexec /x "$(WinePath "$work/newer.msi")" /qn </dev/null >>"$work/msiexec.log" 2>&1
Check "msiexec /x exit status" 0 "$?"
if [ -e "$program_files" ]; then Fail "left after uninstalling: $(ls -A "$program_files")"; else Pass "Program Files\\ZE Vuvuri gone"; fi
Check "Start-menu entry left after uninstalling" "" "$(StartMenuEntry)"
Check "installed products after uninstalling" "" "$(InstalledVersions)"
if wine reg query 'HKLM\Software\ZE Vuvuri' </dev/null >/dev/null 2>&1; then Fail "registry key HKLM\\Software\\ZE Vuvuri left"
else Pass "registry key gone"; fi

Summary
