#!/usr/bin/env bash
# The plugin and `vivazuzoz rtsp` as users meet them: programs written by
# nobody here (gst-launch-1.0, gst-inspect-1.0, gst-device-monitor-1.0,
# ffprobe, ffmpeg, OpenCV) under the virtual camera.
#   programs_test.sh WRAPPER PLUGIN_DIR TOOL VCAM_CONTROL_DIR PYTHON_DIR CHECK
# CHECK: launch | inspect | opencv | rtsp | rtsps | rtsp_unplug | rtsp_timing | rtsp_stall
# A missing program skips the check (exit 77), except under CI=true.
set -uo pipefail
wrapper=$1 plugins=$2 tool=$3 vcam_control=$4 python_dir=$5 check=$6
here=$(cd "$(dirname "$0")" && pwd)
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
missing() {
  if [ "${CI:-}" = true ]; then
    echo "FAIL: $1 is not installed (scripts/install-deps.sh --tests installs it)" >&2
    exit 1
  fi
  echo "SKIP: $1 is not installed" >&2
  exit 77
}
need() { command -v "$1" >/dev/null 2>&1 || missing "$1"; }

scratch=$(mktemp -d)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT
# stop_server ERRFILE: SIGTERM ends the server with status 0 (ERRFILE: what it said).
stop_server() {
  kill -TERM $server
  wait $server
  local status=$?
  server=
  [ $status -eq 0 ] || fail "the server exited with $status on SIGTERM: $(cat "$1")"
}
cd "$scratch"
# The plugin from the build tree, in a registry of this run only.
export GST_PLUGIN_PATH=$plugins GST_REGISTRY=$scratch/registry.bin XDG_STATE_HOME=$scratch/state
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
frames=50
run() { timeout 60 "$wrapper" "$@"; }

case $check in
launch)
  need gst-launch-1.0; need ffprobe
  run -- gst-launch-1.0 -q vivazuzozsrc num-buffers=$frames ! fakesink > fake.txt 2>&1 ||
    fail "vivazuzozsrc ! fakesink failed: $(tail -5 fake.txt)"
  # Standard output holds the frames and nothing else: the library's lines
  # go to the debug category.
  run -- gst-launch-1.0 -q vivazuzozsrc num-buffers=2 ! fdsink fd=1 > frames.bin 2> frames.err ||
    fail "vivazuzozsrc ! fdsink fd=1 failed: $(tail -5 frames.err)"
  [ "$(stat -c %s frames.bin)" = $((256 * 192 * 2 * 2)) ] ||
    fail "fdsink fd=1 wrote $(stat -c %s frames.bin) bytes for two frames of $((256 * 192 * 2)): $(strings frames.bin | head -3)"
  # gst-launch-1.0's own lines still reach its standard output; the library's
  # are in the debug log when asked for.
  GST_DEBUG=vivazuzozsrc:4 run -- gst-launch-1.0 vivazuzozsrc num-buffers=2 ! fakesink > own.txt 2> debug.txt
  grep -q "Setting pipeline to PLAYING" own.txt || fail "gst-launch-1.0's own lines are gone: $(cat own.txt)"
  grep -q "V4L2_CORE\|Device Information" own.txt && fail "the library's lines are on standard output: $(cat own.txt)"
  grep -q "vivazuzozsrc.*Device Information" debug.txt || fail "the library's lines are not in the debug log"
  # Coloured, encoded and muxed: an MP4 that ffprobe reads at the camera's size.
  run --size 384x288 -- gst-launch-1.0 -q -e vivazuzozsrc num-buffers=$frames plane=temperature ! \
      thermalcolorize colorbar=true markers=true ! videoconvert ! x264enc ! mp4mux ! filesink location=out.mp4 \
      > mp4.txt 2>&1 || fail "the MP4 pipeline failed: $(tail -5 mp4.txt)"
  probe=$(ffprobe -v error -count_frames -select_streams v:0 \
      -show_entries stream=codec_name,width,height,nb_read_frames -of csv=p=0 out.mp4 2>&1)
  [ "$probe" = "h264,384,288,$frames" ] || fail "ffprobe reads '$probe', not h264,384,288,$frames"
  # No camera: an error that says what to do, and a non-zero exit.
  timeout 60 gst-launch-1.0 vivazuzozsrc num-buffers=1 ! fakesink > none.txt 2>&1 && fail "no camera, yet exit 0"
  grep -q "Plug the camera in" none.txt || fail "no camera: the message does not say what to do: $(cat none.txt)"
  ;;
inspect)
  need gst-inspect-1.0; need gst-device-monitor-1.0
  gst-inspect-1.0 vivazuzoz > plugin.txt 2> warnings.txt || fail "gst-inspect-1.0 vivazuzoz failed"
  for feature in vivazuzozsrc thermalcolorize vivazuzozdeviceprovider; do
    grep -q "^  $feature:" plugin.txt || fail "gst-inspect-1.0 does not list $feature"
  done
  [ -s warnings.txt ] && fail "gst-inspect-1.0 warns: $(cat warnings.txt)"
  grep -Eq "^  License +Proprietary$" plugin.txt || fail "the plugin's license is not Proprietary: $(grep License plugin.txt)"
  grep -Eq "^  Origin URL +file:///usr/share/doc/gstreamer1.0-vivazuzoz/copyright$" plugin.txt ||
    fail "the plugin's origin: $(grep Origin plugin.txt)"
  gst-inspect-1.0 vivazuzozsrc > src.txt 2>&1
  for property in device plane reconnect palette emissivity; do
    grep -Eq "^  $property +:" src.txt || fail "vivazuzozsrc has no property $property"
  done
  # A setting's blurb says its range once: "0 to 1 (0 to 1; ..." repeats it.
  grep -E "^  [a-z-]+ +:.* ([-0-9.]+ to [-0-9.]+).*\1" src.txt && fail "a blurb repeats its range"
  gst-inspect-1.0 thermalcolorize > colorize.txt 2>&1
  for property in colormap range min max colorbar markers; do
    grep -Eq "^  $property +:" colorize.txt || fail "thermalcolorize has no property $property"
  done
  # Each camera with the size and rate its source will stream at.
  run --cameras 2 --size 384x288 --fps 9 -- gst-device-monitor-1.0 Video/Source > monitor.txt 2>&1
  [ "$(grep -c 'device.api = vivazuzoz' monitor.txt)" = 2 ] || fail "the device monitor does not list two cameras"
  grep -q "gst-launch-1.0 vivazuzozsrc device=1" monitor.txt || fail "the device monitor gives no source for camera 1"
  caps="video/x-raw, format=GRAY16_LE, width=384, height=288, framerate=9/1"
  [ "$(grep -cE "caps +: $caps$" monitor.txt)" = 2 ] ||
    fail "the device monitor does not show both cameras as $caps: $(grep 'caps :' monitor.txt)"
  ;;
opencv)
  python=/usr/bin/python3
  "$python" -c "import cv2, numpy" 2>/dev/null || missing "python3-opencv"
  PYTHONPATH=$vcam_control:$python_dir PYTHONDONTWRITEBYTECODE=1 \
    run --cameras 0 -- "$python" "$here/opencv_frames.py" > opencv.txt 2>&1 ||
    fail "OpenCV: $(tail -20 opencv.txt)"
  # An OpenCV program without the Python package: its output is its own.
  run -- "$python" "$here/opencv_quiet.py" > quiet.txt 2> quiet.err || fail "OpenCV: $(tail -20 quiet.err)"
  [ "$(cat quiet.txt)" = "3 frames" ] || fail "an OpenCV program printed more than its own line: $(head -c 400 quiet.txt)"
  ;;
rtsp)
  need ffprobe; need ffmpeg; need gst-launch-1.0
  # The tool has the elements built in, and the clients need none of them.
  unset GST_PLUGIN_PATH
  "$wrapper" -- "$tool" rtsp --listen 127.0.0.1:0 --token s3cret > server.txt 2> server.err &
  server=$!
  for _ in $(seq 100); do grep -q "rtsp://" server.txt && break; sleep 0.1; done
  # The address says where the credentials go, the password masked.
  url=$(grep -o 'rtsp://vivazuzoz:\*\*\*@[^ ]*/0$' server.txt | head -1)
  [ -n "$url" ] || { fail "the server printed no masked address: $(cat server.txt server.err)"; exit 1; }
  grep -q s3cret server.txt && fail "the server printed the token: $(cat server.txt)"
  url=${url/vivazuzoz:\*\*\*@/}
  authed=${url/rtsp:\/\//rtsp://vivazuzoz:s3cret@}
  # Two clients at once share the camera: the second open of the camera
  # would fail if each had its own.
  # A client that joins a running stream decodes from its next key frame
  # (one a second): it reads up to twice as many packets for 50 frames.
  timeout 60 ffprobe -v error -rtsp_transport tcp -count_frames -read_intervals "%+#$((2 * frames))" \
      -show_entries stream=width,height,nb_read_frames -of csv=p=0 "$authed" > probe.txt 2>&1 &
  first=$!
  timeout 60 gst-launch-1.0 -q rtspsrc location="$url" user-id=vivazuzoz user-pw=s3cret ! rtph264depay ! \
      h264parse ! "video/x-h264,width=256,height=192" ! fakesink num-buffers=$frames > gst.txt 2>&1 ||
    fail "rtspsrc did not get $frames frames of 256x192: $(tail -5 gst.txt)"
  wait $first || fail "ffprobe failed: $(cat probe.txt)"
  IFS=, read -r width height decoded < probe.txt
  [ "$width,$height" = "256,192" ] && [ "${decoded:-0}" -ge $frames ] ||
    fail "ffprobe reads '$(cat probe.txt)', not $frames frames of 256x192"
  # Decoded frames, counted by ffmpeg.
  timeout 60 ffmpeg -v error -nostdin -rtsp_transport tcp -i "$authed" -frames:v $frames -f rawvideo -pix_fmt gray \
      -y decoded.raw > ffmpeg.txt 2>&1 || fail "ffmpeg failed: $(cat ffmpeg.txt)"
  [ "$(stat -c %s decoded.raw 2>/dev/null)" = $((256 * 192 * frames)) ] || fail "ffmpeg decoded $(stat -c %s decoded.raw) bytes"
  timeout 30 ffprobe -v error "${url/rtsp:\/\//rtsp://vivazuzoz:wrong@}" > wrong.txt 2>&1 && fail "a wrong password was let in"
  grep -q "401" wrong.txt || fail "a wrong password is not refused with 401: $(cat wrong.txt)"
  # The port is this server's alone: a second server on it says so and ends
  # with status 4.
  port=${url#rtsp://*:}
  port=${port%%/*}
  "$wrapper" -- "$tool" rtsp --listen "127.0.0.1:$port" > second.txt 2>&1
  status=$?
  [ $status -eq 4 ] && grep -q "another program listens on it" second.txt ||
    fail "a second server on port $port ended with $status: $(cat second.txt)"
  stop_server server.err
  ;;
rtsps)
  need ffmpeg; need openssl
  # RTSP over TLS with a certificate made here: the server presents it,
  # ffmpeg plays with the token, a wrong token and plain RTSP are refused.
  unset GST_PLUGIN_PATH
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
      -keyout key.pem -out cert.pem > openssl.txt 2>&1 || { fail "openssl made no certificate: $(cat openssl.txt)"; exit 1; }
  "$wrapper" -- "$tool" rtsp --listen 127.0.0.1:0 --token s3cret --tls-cert cert.pem --tls-key key.pem \
      > server.txt 2> server.err &
  server=$!
  for _ in $(seq 100); do grep -q "fingerprint" server.txt && break; sleep 0.1; done
  url=$(grep -o 'rtsps://vivazuzoz:\*\*\*@[^ ]*/0$' server.txt | head -1)
  [ -n "$url" ] || { fail "the server printed no rtsps:// address: $(cat server.txt server.err)"; exit 1; }
  fingerprint=$(openssl x509 -in cert.pem -noout -fingerprint -sha256 | sed 's/.*=//')
  grep -qx "Certificate SHA-256 fingerprint: $fingerprint" server.txt ||
    fail "the printed fingerprint is not the certificate's ($fingerprint): $(cat server.txt)"
  hostport=${url#rtsps://vivazuzoz:\*\*\*@}
  hostport=${hostport%%/*}
  # The certificate the server presents verifies against the one made here.
  timeout 30 openssl s_client -connect "$hostport" -CAfile cert.pem -verify_return_error < /dev/null > handshake.txt 2>&1 ||
    fail "openssl s_client: the server's certificate does not verify: $(tail -5 handshake.txt)"
  authed="rtsps://vivazuzoz:s3cret@$hostport/0"
  timeout 60 ffmpeg -v error -nostdin -rtsp_transport tcp -i "$authed" -frames:v 10 -f rawvideo -pix_fmt gray \
      -y decoded.raw > ffmpeg.txt 2>&1 || fail "ffmpeg over RTSPS failed: $(cat ffmpeg.txt)"
  [ "$(stat -c %s decoded.raw 2>/dev/null)" = $((256 * 192 * 10)) ] ||
    fail "ffmpeg decoded $(stat -c %s decoded.raw 2>/dev/null) bytes over RTSPS, not 10 frames"
  timeout 30 ffprobe -v error "rtsps://vivazuzoz:wrong@$hostport/0" > wrong.txt 2>&1 && fail "a wrong token was let in"
  grep -q "401" wrong.txt || fail "a wrong token is not refused with 401: $(cat wrong.txt)"
  timeout 30 ffprobe -v error "rtsp://vivazuzoz:s3cret@$hostport/0" > plain.txt 2>&1 &&
    fail "plain RTSP was served on the RTSPS port"
  stop_server server.err
  # --tls-self-signed: the state folder's certificate, made on first use and
  # its fingerprint printed; no token on loopback lets clients in.
  "$wrapper" -- "$tool" rtsp --listen 127.0.0.1:0 --tls-self-signed > self.txt 2> self.err &
  server=$!
  for _ in $(seq 100); do grep -q "fingerprint" self.txt && break; sleep 0.1; done
  grep -q "^Made a self-signed certificate: $XDG_STATE_HOME/vivazuzoz/tls/" self.txt ||
    fail "--tls-self-signed made no certificate in the state folder: $(cat self.txt self.err)"
  made=$(sed -n 's/^Made a self-signed certificate: \([^ ]*\) .*/\1/p' self.txt)
  fingerprint=$(openssl x509 -in "$made" -noout -fingerprint -sha256 | sed 's/.*=//')
  grep -qx "Certificate SHA-256 fingerprint: $fingerprint" self.txt ||
    fail "the printed fingerprint is not the self-signed certificate's: $(cat self.txt)"
  url=$(grep -o 'rtsps://[^ ]*/0$' self.txt | head -1)
  timeout 60 ffmpeg -v error -nostdin -rtsp_transport tcp -i "$url" -frames:v 5 -f null - > self-ffmpeg.txt 2>&1 ||
    fail "ffmpeg over RTSPS with the self-signed certificate failed: $(cat self-ffmpeg.txt)"
  stop_server self.err
  ;;
rtsp_timing)
  need ffmpeg; need ffprobe
  # Recorded as a user records, over TCP and UDP: 5 s of the stream copied
  # into MP4 (no decoding, so the stream's own timestamps go into the file).
  unset GST_PLUGIN_PATH
  "$wrapper" -- "$tool" rtsp --listen 127.0.0.1:0 > server.txt 2> server.err &
  server=$!
  for _ in $(seq 100); do grep -q "rtsp://" server.txt && break; sleep 0.1; done
  url=$(grep -o 'rtsp://[^ ]*/0$' server.txt | head -1)
  [ -n "$url" ] || { fail "the server printed no address: $(cat server.txt server.err)"; exit 1; }
  for transport in tcp udp; do
    timeout 60 ffmpeg -nostdin -v warning -rtsp_transport $transport -i "$url" -t 5 -c copy -y $transport.mp4 \
        > $transport.txt 2>&1 || fail "$transport: ffmpeg failed: $(tail -5 $transport.txt)"
    # ffmpeg 5.1 gives the first access unit it parses from any RTSP H.264
    # stream no timestamp (its parser starts at byte position -1; a plain
    # gst-rtsp-server test pipeline gets the same), and the muxer then moves
    # the next one by a tick. Those two lines about the first packet are
    # ffmpeg's own; any other warning is about the stream.
    grep -v -e "Timestamps are unset in a packet for stream 0" -e "Non-monotonous DTS.*previous: 0, current: 0;" \
        $transport.txt > $transport.others
    [ -s $transport.others ] && fail "$transport: ffmpeg warns while copying: $(head -c 800 $transport.others)"
    untimed=$(grep -c "Timestamps are unset" $transport.txt)
    # One key frame at the start, then one a second: each key frame one
    # packet with a time of its own.
    ffprobe -v error -show_entries packet=pts,flags -of csv=p=0 $transport.mp4 > $transport.packets
    head -20 $transport.packets | grep -q "^0,K" || fail "$transport: the file does not start with a key frame"
    keys=$(head -20 $transport.packets | grep -c K)
    [ "$keys" = 1 ] || fail "$transport: $keys key frames among the first 20 packets: $(head -20 $transport.packets | tr '\n' ' ')"
    awk -F, 'NR > 1 && $1 <= last { bad = 1 } { last = $1 } END { exit bad }' $transport.packets ||
      fail "$transport: the file's times do not increase: $(tr '\n' ' ' < $transport.packets | head -c 600)"
    # 25 frames a second: 125 in 5 s, give or take one, not counting the
    # packet ffmpeg could not time.
    counted=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 \
        $transport.mp4)
    timed=$((${counted:-0} - untimed))
    [ $timed -ge 124 ] && [ $timed -le 126 ] ||
      fail "$transport: $timed timed frames in 5 s, not 125 (ffprobe counts ${counted:-none})"
    # The decoder finds nothing to conceal.
    timeout 60 ffmpeg -nostdin -v error -i $transport.mp4 -f null - > $transport.decoded 2>&1
    [ -s $transport.decoded ] && fail "$transport: ffmpeg's decoder reports: $(head -c 600 $transport.decoded)"
  done
  kill -TERM $server
  wait $server
  server=
  ;;
rtsp_stall)
  need ffmpeg
  # A TCP client that plays and then stops reading, a half-sent and a
  # malformed request, and DESCRIBE-only and malformed requests coming and
  # going, beside a UDP player that must keep its frames (with no other TCP
  # client, nothing else would pull the stream's TCP data along). A larger
  # picture than elsewhere, so that the stalled client's socket fills within
  # a second or two. Then a TCP player gets the stream too.
  unset GST_PLUGIN_PATH
  "$wrapper" --size 640x512 -- "$tool" rtsp --listen 127.0.0.1:0 > server.txt 2> server.err &
  server=$!
  for _ in $(seq 100); do grep -q "rtsp://" server.txt && break; sleep 0.1; done
  url=$(grep -o 'rtsp://[^ ]*/0$' server.txt | head -1)
  [ -n "$url" ] || { fail "the server printed no address: $(cat server.txt server.err)"; exit 1; }
  seconds=12
  timeout -k 5 60 ffmpeg -nostdin -rtsp_transport udp -i "$url" -t $seconds -f null - > udp.txt 2>&1 &
  player=$!
  sleep 2
  timeout 60 /usr/bin/python3 "$here/rtsp_stalled_client.py" "$url" $((seconds - 4)) > stalled.txt 2>&1 ||
    fail "the misbehaving clients could not be set up: $(cat stalled.txt)"
  wait $player || fail "udp: ffmpeg ended with $?: $(tail -c 600 udp.txt)"
  timeout -k 5 60 ffmpeg -nostdin -rtsp_transport tcp -i "$url" -t 4 -f null - > tcp.txt 2>&1 ||
    fail "tcp: ffmpeg ended with $?: $(tail -c 600 tcp.txt)"
  # 25 frames a second; a player that stalled for seconds falls far short
  # of half of them.
  for played in udp:$seconds tcp:4; do
    transport=${played%:*} length=${played#*:}
    decoded=$(tr '\r' '\n' < $transport.txt | grep -o 'frame= *[0-9]*' | tail -1 | grep -o '[0-9]*$')
    [ "${decoded:-0}" -ge $((length * 25 / 2)) ] ||
      fail "$transport: the player decoded ${decoded:-no} frames in $length s"
  done
  grep -q "stopped reading; it is disconnected" server.err ||
    fail "the server did not drop the client that stopped reading: $(cat server.err)"
  # A stream stuck for good also keeps the server from stopping.
  kill -TERM $server
  for _ in $(seq 100); do kill -0 $server 2>/dev/null || break; sleep 0.1; done
  kill -0 $server 2>/dev/null && { fail "the server did not stop within 10 s of SIGTERM"; kill -KILL $server; }
  wait $server
  status=$?
  server=
  [ $status -eq 0 ] || fail "the server exited with $status on SIGTERM: $(cat server.err)"
  ;;
rtsp_unplug)
  need ffmpeg
  # A client connected before an unplug keeps its connection through the
  # gap (the last picture repeated, marked) and decodes live frames again
  # after the replug; one that connects during the gap gets the stream too.
  unset GST_PLUGIN_PATH
  "$wrapper" --unplug-after 5 --replug-after 2 -- "$tool" rtsp --listen 127.0.0.1:0 > server.txt 2> server.err &
  server=$!
  for _ in $(seq 100); do grep -q "rtsp://" server.txt && break; sleep 0.1; done
  url=$(grep -o 'rtsp://[^ ]*/0$' server.txt | head -1)
  [ -n "$url" ] || { fail "the server printed no address: $(cat server.txt server.err)"; exit 1; }
  timeout 60 ffmpeg -nostdin -rtsp_transport tcp -i "$url" -t 15 -f null - > ffmpeg.txt 2>&1 &
  client=$!
  for _ in $(seq 200); do grep -q "camera was lost" server.err && break; sleep 0.05; done
  grep -q "camera was lost" server.err || fail "the server did not say that the camera was lost: $(cat server.err)"
  timeout 60 ffmpeg -nostdin -v error -rtsp_transport tcp -i "$url" -frames:v 1 -f null - > during.txt 2>&1 ||
    fail "a client that connected during the gap got nothing: $(cat during.txt)"
  wait $client || fail "ffmpeg ended with $? across the unplug: $(tail -c 600 ffmpeg.txt)"
  # Before the unplug the camera sent at most 5 s of frames (25 a second);
  # the repeats while it was away are 2 a second: more than that is live
  # frames after the replug.
  decoded=$(tr '\r' '\n' < ffmpeg.txt | grep -o 'frame= *[0-9]*' | tail -1 | grep -o '[0-9]*$')
  [ "${decoded:-0}" -gt $((5 * 25 + 15 * 2)) ] ||
    fail "ffmpeg decoded ${decoded:-no} frames: none after the replug? $(tail -c 600 ffmpeg.txt)"
  grep -q "camera is back after" server.err || fail "the server did not say that the camera is back: $(cat server.err)"
  stop_server server.err
  ;;
*)
  echo "unknown check $check" >&2
  exit 2
  ;;
esac
[ $failures -eq 0 ]
