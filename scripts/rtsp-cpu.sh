#!/usr/bin/env bash
# CPU of `vivazuzoz rtsp` at 640x512 and 1280x1024, 25 frames per second,
# with one and with four clients (ffmpeg decoding the stream), on the virtual
# camera. The camera lives in the server's process, so its figure includes
# the virtual camera's frame production; the first line of each size is that
# alone (the server with no client runs no camera, so `vivazuzoz stream`
# stands in as the baseline: the library delivering frames, nothing else).
# Prints figures; asserts none.
#   scripts/rtsp-cpu.sh [BUILD_DIR]      (default build; seconds per figure: RTSP_CPU_SECONDS, default 10)
set -uo pipefail
build=${1:-build}
wrapper=$build/bin/vivazuzoz-vcam tool=$build/bin/vivazuzoz
seconds=${RTSP_CPU_SECONDS:-10}
ticks=$(getconf CLK_TCK)
scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  rm -rf "$scratch"
}
trap cleanup EXIT
export XDG_STATE_HOME=$scratch/state

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
# Percent of one core that process $1 used over $seconds.
measure() {
  local before after
  before=$(cpu_ticks "$1")
  sleep "$seconds"
  after=$(cpu_ticks "$1")
  echo $(( (after - before) * 100 / ticks / seconds ))
}

for size in 640x512 1280x1024; do
  "$wrapper" --size $size -- "$tool" stream --seconds $((seconds + 3)) > /dev/null 2>&1 &
  base=$!
  pids+=("$base")
  sleep 2
  echo "rtsp cpu $size: baseline (vivazuzoz stream, library callbacks only) $(measure $base)% of a core"
  wait $base 2>/dev/null
  for clients in 1 4; do
    "$wrapper" --size $size -- "$tool" rtsp --listen 127.0.0.1:0 > "$scratch/server.txt" 2>&1 &
    server=$!
    pids+=("$server")
    for _ in $(seq 100); do grep -q "rtsp://" "$scratch/server.txt" && break; sleep 0.1; done
    url=$(grep -o 'rtsp://[^ ]*/0$' "$scratch/server.txt" | head -1)
    client_pids=()
    for _ in $(seq $clients); do
      ffmpeg -v error -nostdin -rtsp_transport tcp -i "$url" -f null - > /dev/null 2>&1 &
      client_pids+=($!)
      pids+=($!)
    done
    sleep 3
    echo "rtsp cpu $size: $clients client(s): vivazuzoz rtsp $(measure $server)% of a core"
    for pid in "${client_pids[@]}"; do kill "$pid" 2>/dev/null; done
    kill -TERM "$server"
    wait "$server" 2>/dev/null
  done
done
