#!/bin/sh
# A private PulseAudio server for the device tests, in a folder of its own:
# a headset earphone (a null sink), a headset microphone (a source fed through
# a second null sink), both in A-law at 8000 Hz so that audio passes unchanged,
# and an ALSA configuration that reaches them through ALSA's pulse plugin.
#
#   pulse_server.sh start DIR       start the server (socket DIR/native); HOME for ALSA is DIR/home
#   pulse_server.sh stop DIR        stop everything started in DIR
#   pulse_server.sh feed DIR FILE   play FILE (raw A-law) into the microphone, in a loop
#   pulse_server.sh record DIR FILE record the earphone into FILE (raw A-law)
#   pulse_server.sh stop-record DIR stop recording
#   pulse_server.sh unplug DIR      take the headset away
#   pulse_server.sh plug DIR        bring it back
#
# Every command leaves its exit status in DIR/COMMAND.done, for callers that
# cannot wait for it. Everything started is bounded in time.
set -u
cmd=$1
dir=$2
arg=${3:-}
server="unix:$dir/native"
limit=600

finish() {
  echo "$1" > "$dir/$cmd.done"
  exit "$1"
}

# The headset, added at the start and again by plug (pacmd takes the server's own
# script language). Unplugging removes every sink and source, so that the
# server cannot move the bridge's streams elsewhere: they fail, as they do when
# a USB headset is pulled out.
headset_modules() {
  cat > "$dir/headset.pa" <<EOF
load-module module-null-sink sink_name=hs_micsrc format=alaw rate=8000 channels=1 sink_properties=device.description="Zz\\ Microphone\\ Feed"
update-source-proplist hs_micsrc.monitor device.description="Zz Microphone Feed Monitor"
load-module module-null-sink sink_name=hs_ear format=alaw rate=8000 channels=1 sink_properties=device.description="USB\\ Headset\\ Earphone"
load-module module-remap-source source_name=hs_mic master=hs_micsrc.monitor format=alaw rate=8000 channels=1 source_properties=device.description="USB\\ Headset\\ Microphone"
update-source-proplist hs_ear.monitor device.description="Zz Earphone Monitor"
set-default-sink hs_ear
set-default-source hs_mic
EOF
  PULSE_RUNTIME_PATH="$dir/run" pacmd < "$dir/headset.pa" >/dev/null 2>&1 &&
    pactl --server="$server" list short sources | grep -q hs_mic
}

stop_pid() {
  [ -f "$1" ] || return 0
  pid=$(cat "$1")
  rm -f "$1"
  kill "$pid" 2>/dev/null || return 0
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.2
  done
  kill -9 "$pid" 2>/dev/null
  return 0
}

rm -f "$dir/$cmd.done"
case "$cmd" in
start)
  mkdir -p "$dir/home" "$dir/run" || finish 1
  cat > "$dir/server.pa" <<EOF
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/native
load-module module-cli-protocol-unix socket=$dir/run/cli
EOF
  cat > "$dir/home/.asoundrc" <<EOF
pcm.!default { type pulse; server "$server" }
pcm.hs_mic { type pulse; server "$server"; device "hs_mic"; hint { show on; description "USB Headset Microphone|IOIDInput" } }
pcm.hs_ear { type pulse; server "$server"; device "hs_ear"; hint { show on; description "USB Headset Earphone|IOIDOutput" } }
EOF
  # Not as a system daemon even for root: a private runtime folder, no idle exit.
  HOME="$dir/home" XDG_RUNTIME_DIR="$dir/run" PULSE_RUNTIME_PATH="$dir/run" \
    timeout $limit pulseaudio -n -F "$dir/server.pa" --daemonize=no --system=false \
      --exit-idle-time=-1 --disable-shm=yes --log-target=file:"$dir/server.log" </dev/null >/dev/null 2>&1 &
  echo $! > "$dir/server.pid"
  for _ in $(seq 1 100); do
    if pactl --server="$server" info >/dev/null 2>&1; then
      headset_modules || finish 1
      finish 0
    fi
    sleep 0.1
  done
  finish 1
  ;;
stop)
  stop_pid "$dir/feed.pid"
  stop_pid "$dir/record.pid"
  stop_pid "$dir/server.pid"
  rm -rf "$dir/run" "$dir/native"
  finish 0
  ;;
feed)
  stop_pid "$dir/feed.pid"
  timeout $limit sh -c "while pacat --latency-msec=20 --server='$server' -p -d hs_micsrc --raw --format=alaw --rate=8000 --channels=1 '$arg'; do :; done" \
    </dev/null >/dev/null 2>&1 &
  echo $! > "$dir/feed.pid"
  finish 0
  ;;
record)
  timeout $limit parec --server="$server" -d hs_ear.monitor --raw --format=alaw --rate=8000 --channels=1 \
    --latency-msec=20 > "$arg" 2>/dev/null </dev/null &
  echo $! > "$dir/record.pid"
  finish 0
  ;;
stop-record)
  stop_pid "$dir/record.pid"
  finish 0
  ;;
unplug)
  stop_pid "$dir/feed.pid"
  for m in $(pactl --server="$server" list short modules | awk '/module-(null-sink|remap-source)/ {print $1}' | sort -rn); do
    pactl --server="$server" unload-module "$m" || finish 1
  done
  finish 0
  ;;
plug)
  headset_modules
  finish $?
  ;;
*)
  finish 2
  ;;
esac
