#!/bin/bash
# The Debian package in dist/: its control fields and contents, the stripped
# binaries and their split-off debug information, the maintainer scripts run
# against a folder of their own with stand-ins for the systemd helpers, lintian,
# and the packaged program in conversation with a second one. Needs
# scripts/package.sh to have run.
set -uo pipefail
. "$(dirname "$0")/check.sh"
deb=$root/dist/brenvic_${version}_amd64.deb
debug=$root/dist/debug/linux
work=$(mktemp -d "${TMPDIR:-/tmp}/brenvic-deb.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

echo "== control"
field() { dpkg-deb -f "$deb" "$1"; }
expect "Package" brenvic "$(field Package)"
expect "Version" "$version" "$(field Version)"
expect "Architecture" amd64 "$(field Architecture)"
depends=$(field Depends)
for lib in libasound2 libc6 libstdc++6 libssl3; do  # libssl3: libcrypto, for SRTP
  check "depends on $lib" grep -q "$lib (>= " <<<"$depends"
done
check "Installed-Size in KiB" test "$(field Installed-Size)" -gt 100
expect "conffiles" /etc/brenvic/Brenvic.ini "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles)"

echo "== contents"
# Type, mode and path of every entry (links with their targets).
expect "the files" "$(cat <<'EOF'
drwxr-x--- ./etc/brenvic/
-rw-r--r-- ./etc/brenvic/Brenvic.ini
drwxr-xr-x ./lib/systemd/system/
-rw-r--r-- ./lib/systemd/system/Vantelo.service
drwxr-xr-x ./usr/lib/brenvic/
-rwxr-xr-x ./usr/lib/brenvic/Brenvic
lrwxrwxrwx ./usr/lib/brenvic/Brenvic.ini -> /etc/brenvic/Brenvic.ini
-rw-r--r-- ./usr/lib/brenvic/LogClient.so
lrwxrwxrwx ./usr/lib/brenvic/Logs -> /var/log/brenvic
-rw-r--r-- ./usr/lib/brenvic/srv_TAVEK_TPKT_Transport.so
drwxr-xr-x ./usr/share/doc/brenvic/
-rw-r--r-- ./usr/share/doc/brenvic/README.md.gz
-rw-r--r-- ./usr/share/doc/brenvic/changelog.gz
-rw-r--r-- ./usr/share/doc/brenvic/copyright
EOF
)" "$(dpkg-deb -c "$deb" | awk '{ $2 = $3 = $4 = $5 = ""; print }' | sed 's/  */ /g' |
  grep -v -e ' \./$' -e ' \./[a-z]*/$' -e ' \./usr/[a-z]*/$' -e ' \./lib/systemd/$' -e ' \./usr/share/doc/$' | sort -k2)"
tree=$work/tree
dpkg-deb -x "$deb" "$tree"
lib=$tree/usr/lib/brenvic
check "the configuration is the built-in default image" cmp -s "$root/src/config/Brenvic.ini" "$tree/etc/brenvic/Brenvic.ini"
unit=$tree/lib/systemd/system/Vantelo.service
check "unit: notifies systemd" grep -qx "Type=notify" "$unit"
check "unit: restarts on failure" grep -qx "Restart=on-failure" "$unit"
check "unit: runs the packaged program" grep -qx "ExecStart=/usr/lib/brenvic/Brenvic" "$unit"
check "unit: enabled for the multi-user target" grep -qx "WantedBy=multi-user.target" "$unit"

echo "== stripped binaries, debug information beside the package"
for f in Brenvic srv_TAVEK_TPKT_Transport.so LogClient.so; do
  sections=$(readelf -SW "$lib/$f")
  check "$f: no symbol table, no debug sections" bash -c '! grep -qE "\.symtab|\.debug_" <<<"$1"' _ "$sections"
  expect "$f: linked to its debug file" "$f.debug" \
    "$(readelf -p .gnu_debuglink "$lib/$f" 2>/dev/null | sed -n 's/^ *\[ *0\] *//p')"
  id=$(readelf -n "$lib/$f" 2>/dev/null | sed -n 's/.*Build ID: //p')
  expect "$f: the debug file is its own" "$id" "$(readelf -n "$debug/$f.debug" 2>/dev/null | sed -n 's/.*Build ID: //p')"
  check "$f: the debug file has the line tables" bash -c 'readelf -SW "$1" 2>/dev/null | grep -q "\.debug_line"' _ "$debug/$f.debug"
done
# A crash address of the packaged program resolves to its own source line, in
# the program's file and in a library's sources compiled in one batch.
resolves() {
  local address
  address=$(nm "$debug/Brenvic.debug" | sed -n "s/^\([0-9a-f]*\) T $2\$/\1/p")
  check "an address in $1 resolves to its source" bash -c \
    'addr2line -e "$1" "0x$2" | grep -q "$3:[0-9]"' _ "$debug/Brenvic.debug" "$address" "$1"
}
resolves src/host/main.cpp main
resolves src/host/service.cpp _Z11BrenvicMainiPPc
resolves src/rtp/rtp_session.cpp _ZN11TRtpSession5StartEv

echo "== maintainer scripts"
# Stand-ins record the calls; DPKG_ROOT moves the folders the scripts touch.
scripts=$work/scripts sysroot=$work/root calls=$work/calls
mkdir -p "$scripts" "$work/bin" "$sysroot/etc/brenvic" "$sysroot/usr/lib/brenvic" "$sysroot/run/systemd/system"
dpkg-deb -e "$deb" "$scripts"
for tool in deb-systemd-helper deb-systemd-invoke systemctl; do
  printf '#!/bin/sh\necho "%s $*" >> "%s"\n[ "$*" != "--quiet was-enabled Vantelo.service" ] || exit "${WAS_ENABLED:-0}"\n' \
    "$tool" "$calls" > "$work/bin/$tool"
  chmod +x "$work/bin/$tool"
done
maint() { rm -f "$calls"; DPKG_ROOT=$sysroot PATH=$work/bin:$PATH sh "$scripts/$1" "${@:2}"; }
calls() { cat "$calls" 2>/dev/null; }

maint postinst configure
expect "first installation: exit code" 0 $?
expect "first installation: enabled and started" "deb-systemd-helper unmask Vantelo.service
deb-systemd-helper --quiet was-enabled Vantelo.service
deb-systemd-helper enable Vantelo.service
systemctl --system daemon-reload
deb-systemd-invoke start Vantelo.service" "$(calls)"
expect "first installation: the log folder" "drwxr-x--- root adm" "$(stat -c '%A %U %G' "$sysroot/var/log/brenvic")"
expect "the configuration folder (it may hold SRTP keys) closed to others" "drwxr-x---" \
  "$(stat -c '%A' "$sysroot/etc/brenvic")"

WAS_ENABLED=1 maint postinst configure 1.0.0.0
expect "upgrade: a disabled service stays disabled and is restarted" "deb-systemd-helper unmask Vantelo.service
deb-systemd-helper --quiet was-enabled Vantelo.service
deb-systemd-helper update-state Vantelo.service
systemctl --system daemon-reload
deb-systemd-invoke restart Vantelo.service" "$(calls)"

maint prerm upgrade "$version"
expect "upgrade: not stopped before" "" "$(calls)"
maint prerm remove
expect "removal: stopped" "deb-systemd-invoke stop Vantelo.service" "$(calls)"

rm -rf "$sysroot/run/systemd"
maint postinst configure
expect "without systemd: enabled for later, nothing started" "deb-systemd-helper unmask Vantelo.service
deb-systemd-helper --quiet was-enabled Vantelo.service
deb-systemd-helper enable Vantelo.service" "$(calls)"
maint prerm remove
expect "without systemd: nothing to stop" "" "$(calls)"

echo "edited" > "$sysroot/etc/brenvic/Brenvic.ini"
mkdir -p "$sysroot/var/log/brenvic/2026_01_01"
echo "a line" > "$sysroot/var/log/brenvic/2026_01_01/10_Brenvic.log"
maint postrm remove
expect "removal: masked" "deb-systemd-helper mask Vantelo.service" "$(calls)"
check "removal: configuration kept" grep -qx edited "$sysroot/etc/brenvic/Brenvic.ini"
check "removal: logs kept" test -f "$sysroot/var/log/brenvic/2026_01_01/10_Brenvic.log"
touch "$sysroot/usr/lib/brenvic/PreinstalledServices.lst"
maint postrm purge
expect "purge: unit state forgotten" "deb-systemd-helper purge Vantelo.service
deb-systemd-helper unmask Vantelo.service" "$(calls)"
check "purge: configuration deleted" test ! -e "$sysroot/etc/brenvic"
check "purge: logs deleted" test ! -e "$sysroot/var/log/brenvic"
check "purge: what the program wrote beside itself deleted" test ! -e "$sysroot/usr/lib/brenvic"

echo "== lintian"
lintian --fail-on error "$deb" > "$work/lintian.txt" 2>&1
expect "lintian: no errors" 0 $?
grep -v 'running with root privileges' "$work/lintian.txt"

echo "== the packaged program in conversation"
# Copies in folders of their own: the packaged folder's configuration and logs
# lead into this machine's /etc and /var/log.
mkdir "$work/v"
cp "$lib/Brenvic" "$work/v/"
check "it carries the version" bash -c '"$1/Brenvic" /? | tr -d "\r" | grep -qx "TAVEK Vantelo service v$2"' _ "$work/v" "$version"
# Two of them: a sends a 440 Hz tone and opens the
# conversation, b answers with 660 Hz; each plays what it receives into a file.
udp=$((20000 + RANDOM % 20000))
bridge() { # NAME LOCAL_UDP REMOTE_UDP TONE START_AS_CLIENT
  local dir=$work/$1
  mkdir -p "$dir"
  cp "$lib/Brenvic" "$lib/srv_TAVEK_TPKT_Transport.so" "$lib/LogClient.so" "$dir/"
  printf '%s\r\n' "[Options]" "DoLog=1" "LocalIP=127.0.0.1" "LocalPort=$2" "RemoteIP=127.0.0.1" "RemotePort=$3" \
    "TCPServerListenIP=127.0.0.1" "TCPServerListenPort=$(($2 + 10))" "StartAsClient=$5" \
    "RecDeviceID=Test" "PlayDeviceID=Test" "[VirtualDevices]" \
    "Capture1=Test Microphone|tone=$4" "Playback1=Test Earphone|file=ear.raw" > "$dir/Brenvic.ini"
  (cd "$dir" && exec ./Brenvic run > console.out 2>&1) &
  pids+=($!)
}
logged() { grep -qsF "$2" "$work/$1"/Logs/*/*.log; }
bridge b $((udp + 1)) "$udp" 660 0
wait_for 10 logged b "RTP session processor -> started"
bridge a "$udp" $((udp + 1)) 440 1
check "a sees b" wait_for 10 logged a "CONNECTED: [ID="
check "b sees a" wait_for 10 logged b "CONNECTED: [ID="
# One second of audio is 8000 bytes.
heard() { [ "$(stat -c %s "$work/$1/ear.raw" 2>/dev/null || echo 0)" -ge 8000 ]; }
check "a hears b" wait_for 10 heard a
check "b hears a" wait_for 10 heard b
kill -TERM "${pids[@]}"
for name in b a; do
  wait "${pids[0]}"
  expect "$name stops on SIGTERM with exit code 0" 0 $?
  pids=("${pids[@]:1}")
done

finish
