#!/bin/bash
# Two bridges on this machine in conversation through virtual devices, and the
# conversation recorded from the second bridge's TCP stream to a two-channel WAV
# file by stream_recorder.
#
#   tools/demo.sh [FOLDER] [SECONDS]
#
# FOLDER (default: a new folder under /tmp) receives a folder per bridge, "a"
# and "b", each with the program, its INI file, its logs and its earpiece file.
# Bridge a's microphone plays a 440 Hz tone, bridge b's a 660 Hz tone; a starts
# as client and opens the conversation. Ports: UDP 41110 (a) and 41112 (b), TCP
# 41111 (a) and 41113 (b); set DEMO_PORT_BASE to move them. The programs are
# built in build/release (as by scripts/run.sh), or in DEMO_BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
work=${1:-$(mktemp -d /tmp/brenvic-demo.XXXXXX)}
seconds=${2:-5}
base=${DEMO_PORT_BASE:-41110}
udp_a=$base tcp_a=$((base + 1)) udp_b=$((base + 2)) tcp_b=$((base + 3))

bash scripts/install-deps.sh --run-only
build=${DEMO_BUILD_DIR:-build/release}
cmake --preset release -B "$build" -DBRENVIC_TESTS=OFF -DBRENVIC_BENCH=OFF >/dev/null
cmake --build "$build" --target Brenvic srv_TAVEK_TPKT_Transport LogClient stream_recorder >/dev/null
bin=$(cd "$build" && pwd)/bin

# One bridge: NAME LOCAL_UDP LOCAL_TCP REMOTE_UDP TONE START_AS_CLIENT
setup() {
  local dir=$work/$1
  mkdir -p "$dir"
  cp "$bin/Brenvic" "$bin/srv_TAVEK_TPKT_Transport.so" "$bin/LogClient.so" "$dir/"
  printf '%s\r\n' "[Options]" "DoLog=1" \
    "LocalIP=127.0.0.1" "LocalPort=$2" "RemoteIP=127.0.0.1" "RemotePort=$4" \
    "TCPServerListenIP=127.0.0.1" "TCPServerListenPort=$3" "StartAsClient=$6" \
    "RecDeviceID=Demo" "PlayDeviceID=Demo" \
    "[VirtualDevices]" \
    "Capture1=Demo Microphone|tone=$5|level=-12" \
    "Playback1=Demo Earphone|file=ear.wav" > "$dir/Brenvic.ini"
}
setup a "$udp_a" "$tcp_a" "$udp_b" 440 1
setup b "$udp_b" "$tcp_b" "$udp_a" 660 0

pids=()
stop_all() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
}
trap stop_all EXIT

# Waits until a bridge's log holds a text: NAME TEXT
wait_log() {
  for _ in $(seq 100); do
    if grep -qsF "$2" "$work/$1"/Logs/*/*.log; then return 0; fi
    sleep 0.1
  done
  echo "bridge $1: no \"$2\" in its log ($work/$1/Logs)" >&2
  return 1
}

"$work/b/Brenvic" run > "$work/b/console.out" 2>&1 & pids+=($!)
wait_log b "RTP session processor -> started"
"$work/a/Brenvic" run > "$work/a/console.out" 2>&1 & pids+=($!)
wait_log a "CONNECTED: [ID="
wait_log b "CONNECTED: [ID="

echo "recording bridge b's stream for $seconds s ..."
"$bin/stream_recorder" 127.0.0.1 "$tcp_b" "$work/conversation.wav" "$seconds"
stop_all
trap - EXIT

cat <<EOF

Listen to:
  $work/conversation.wav   the conversation as bridge b's recording clients get it:
                           left channel what b received (a's 440 Hz), right what b sent (660 Hz)
  $work/b/ear.wav          bridge b's earpiece: a's 440 Hz tone
  $work/a/ear.wav          bridge a's earpiece: b's 660 Hz tone
Logs: $work/a/Logs and $work/b/Logs
EOF
