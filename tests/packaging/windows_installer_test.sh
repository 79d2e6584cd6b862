#!/bin/bash
# The Windows installer in dist/ under Wine, in a prefix made for this run: the
# silent installation (files, service, uninstaller entry), an upgrade that keeps
# an edited configuration, the silent uninstallation, and the exit codes of
# installations that cannot succeed. Needs scripts/package.sh to have run.
set -uo pipefail
. "$(dirname "$0")/check.sh"
setup=$root/dist/Brenvic-$version-win64-setup.exe
stage=$root/build/dist-stage/win64

base=$(mktemp -d "${TMPDIR:-/tmp}/brenvic-setup.XXXXXX")
export WINEPREFIX=$base/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
drive=$WINEPREFIX/drive_c
cleanup() {
  chattr -i "$drive/locked" 2>/dev/null
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  rm -rf "$base"
}
trap cleanup EXIT
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1
wine cmd /c exit >/dev/null 2>&1

win() { wine "$@" 2>/dev/null | tr -d '\r'; }
# reg_value KEY NAME: the value's data as reg shows it; fails when it is missing.
reg_value() {
  local out
  out=$(win reg query "$1" /v "$2") || return 1
  sed -n "s/^ *$2 *REG_[A-Z]* *//p" <<<"$out"
}
service_key='HKLM\SYSTEM\CurrentControlSet\Services\Vantelo'
uninst_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Brenvic'
state() { win sc query Vantelo | sed -n 's/^ *STATE *: *\([0-9]\).*/\1/p'; }
running() { [ "$(state)" = 4 ]; }
no_value() { ! reg_value "$@" >/dev/null; }
unregistered() { no_value "$service_key" ImagePath; }
# Runs a command line as a Windows program receives it (a software distribution
# tool runs QuietUninstallString so); its exit code.
run_line() {
  printf '@%s\r\n@exit /b %%errorlevel%%\r\n' "$1" > "$drive/run-line.bat"
  wine cmd /c 'C:\run-line.bat' >/dev/null 2>&1
}
log_count() { cat "$dir"/Logs/*/*.log 2>/dev/null | grep -c "$1"; }

dir="$drive/Program Files/TAVEK/Vantelo"
win_dir='C:\Program Files\TAVEK\Vantelo'

echo "== zip and checksums"
zip=$root/dist/Brenvic-$version-win64.zip
expect "the zip holds the program, its libraries and the README" \
  "Brenvic.exe LogClient.dll README.md srv_TAVEK_TPKT_Transport.dll" \
  "$(unzip -Z1 "$zip" | sort | xargs)"
unzip -q "$zip" -d "$base/zip"
for f in Brenvic.exe srv_TAVEK_TPKT_Transport.dll LogClient.dll; do
  check "$f in the zip as in the installer" cmp -s "$stage/$f" "$base/zip/$f"
done
check "SHA256SUMS match the files" bash -c 'cd "$1" && sha256sum --quiet -c SHA256SUMS' _ "$root/dist"
expect "SHA256SUMS cover the installer, the zip and the package" 3 "$(wc -l < "$root/dist/SHA256SUMS")"

echo "== silent installation"
# A configuration put in place before the installation (the bridge on loopback,
# ports of its own) is used and kept.
udp=$((20000 + RANDOM % 20000))
mkdir -p "$dir"
printf '[Options]\r\nDoLog=1\r\nLocalIP=127.0.0.1\r\nLocalPort=%d\r\nTCPServerListenIP=127.0.0.1\r\nTCPServerListenPort=%d' \
  "$udp" $((udp + 1)) > "$dir/Brenvic.ini"
cp "$dir/Brenvic.ini" "$base/seed.ini"
wine "$setup" /S >/dev/null 2>&1
expect "exit code" 0 $?
for f in Brenvic.exe srv_TAVEK_TPKT_Transport.dll LogClient.dll; do
  check "$f installed as built and stripped" cmp -s "$stage/$f" "$dir/$f"
  expect "$f version resource" "$version" \
    "$(strings -el "$dir/$f" | grep -A1 -x FileVersion | tail -1)"
done
check "uninstaller written" test -f "$dir/uninstall.exe"
check "configuration kept" cmp -s "$base/seed.ini" "$dir/Brenvic.ini"

expect "service program" "\"$win_dir\\Brenvic.exe\"" "$(reg_value "$service_key" ImagePath)"
expect "service display name" "TAVEK Vantelo service" "$(reg_value "$service_key" DisplayName)"
expect "service description" "TAVEK Vantelo service." "$(reg_value "$service_key" Description)"
expect "service type: own process" 0x10 "$(reg_value "$service_key" Type)"
expect "service start: automatic" 0x2 "$(reg_value "$service_key" Start)"
expect "service error control: normal" 0x1 "$(reg_value "$service_key" ErrorControl)"
expect "service account" LocalSystem "$(reg_value "$service_key" ObjectName)"
check "service running" running
check "the bridge started" wait_for 10 grep -qs "TAVEK Vantelo service started successfully" "$dir"/Logs/*/*.log

expect "Add/Remove Programs: name" "TAVEK Vantelo" "$(reg_value "$uninst_key" DisplayName)"
expect "Add/Remove Programs: version" "$version" "$(reg_value "$uninst_key" DisplayVersion)"
expect "Add/Remove Programs: folder" "$win_dir" "$(reg_value "$uninst_key" InstallLocation)"
expect "Add/Remove Programs: uninstaller" "\"$win_dir\\uninstall.exe\"" "$(reg_value "$uninst_key" UninstallString)"
quiet=$(reg_value "$uninst_key" QuietUninstallString)
expect "Add/Remove Programs: silent uninstaller" "\"$win_dir\\uninstall.exe\" /S _?=$win_dir" "$quiet"

echo "== upgrade"
next=${version%.*}.$((${version##*.} + 1))
makensis -V1 -DVERSION="$next" -DBINDIR="$stage" -DREADME="$root/README.md" \
  -DOUTFILE="$base/setup-next.exe" "$root/packaging/windows/brenvic.nsi" >/dev/null
printf '\r\n; edited by the administrator' >> "$dir/Brenvic.ini"
cp "$dir/Brenvic.ini" "$base/edited.ini"
wine "$base/setup-next.exe" /S >/dev/null 2>&1
expect "exit code" 0 $?
check "edited configuration kept" cmp -s "$base/edited.ini" "$dir/Brenvic.ini"
expect "the service was stopped" 1 "$(log_count "TAVEK Vantelo service stopped successfully")"
check "and started again" wait_for 10 test "$(log_count "TAVEK Vantelo service started successfully")" = 2
check "service running" running
expect "the same registration" "\"$win_dir\\Brenvic.exe\"" "$(reg_value "$service_key" ImagePath)"
expect "Add/Remove Programs: new version" "$next" "$(reg_value "$uninst_key" DisplayVersion)"

echo "== silent uninstallation"
run_line "$quiet"
expect "exit code" 0 $?
check "service removed" wait_for 10 unregistered
expect "the bridge stopped" 2 "$(log_count "TAVEK Vantelo service stopped successfully")"
for f in Brenvic.exe srv_TAVEK_TPKT_Transport.dll LogClient.dll README.md; do
  check "$f removed" test ! -e "$dir/$f"
done
check "configuration kept" cmp -s "$base/edited.ini" "$dir/Brenvic.ini"
check "logs kept" test -d "$dir/Logs"
check "Add/Remove Programs entry removed" no_value "$uninst_key" DisplayName

echo "== failures"
# A folder in the way of a file: NSIS itself would fall back to the default folder.
echo x > "$drive/blocked"
wine "$setup" /S '/D=C:\blocked\Vantelo' >/dev/null 2>&1
expect "a folder that cannot exist: exit code" 2 $?
check "nothing registered" unregistered
check "no Add/Remove Programs entry" no_value "$uninst_key" DisplayName
check "the reason logged" grep -qs "The folder C:.blocked.Vantelo cannot be used" \
  "$(find "$drive/users" -name Brenvic-setup.log | head -1)"
# A folder that even root cannot write to (the immutable attribute).
mkdir "$drive/locked"
if chattr +i "$drive/locked" 2>/dev/null; then
  wine "$setup" /S '/D=C:\locked' >/dev/null 2>&1
  expect "a folder that cannot be written: exit code" 2 $?
  check "nothing registered" unregistered
  check "no Add/Remove Programs entry" no_value "$uninst_key" DisplayName
else
  echo "  (no immutable folders here: the unwritable folder is tried where chattr works)"
fi

echo "== over a deployment by hand"
# The zip unpacked elsewhere and registered there: the installation takes the
# service over for its own folder.
mkdir -p "$drive/byhand"
unzip -q "$zip" -d "$drive/byhand"
cp "$base/seed.ini" "$drive/byhand/Brenvic.ini"
expect "registered by hand" 'Install "TAVEK Vantelo service" - OK' "$(win "$drive/byhand/Brenvic.exe" install)"
check "running from the hand-made folder" wait_for 20 running
wine "$setup" /S >/dev/null 2>&1
expect "exit code" 0 $?
expect "the service runs the installed program" "\"$win_dir\\Brenvic.exe\"" "$(reg_value "$service_key" ImagePath)"
check "service running" running
run_line "$(reg_value "$uninst_key" QuietUninstallString)"
expect "and is removed with it: exit code" 0 $?
check "service removed" wait_for 10 unregistered

finish
