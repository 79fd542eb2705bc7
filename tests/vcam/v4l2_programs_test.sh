#!/usr/bin/env bash
# Standard V4L2 programs, written by nobody here, against the virtual camera:
# the user's view of the capture node.
#   v4l2_programs_test.sh WRAPPER CHECK
# CHECK: compliance | v4l2-ctl | ffmpeg | gstreamer | opencv
# A missing program skips the check (exit 77), except under CI=true, where
# it fails: CI installs them (scripts/install-deps.sh).
set -uo pipefail
wrapper=$1 check=$2
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

missing() {
  if [ "${CI:-}" = true ]; then
    echo "FAIL: $1 is not installed (scripts/install-deps.sh installs it)" >&2
    exit 1
  fi
  echo "SKIP: $1 is not installed" >&2
  exit 77
}
need() { command -v "$1" >/dev/null 2>&1 || missing "$1"; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
# In sanitizer builds the wrapper preloads the sanitizer's runtime into these
# programs too; their own leaks are not ours to report.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

node=/dev/vivazuzoz-vcam/video0
frame=$((256 * 192 * 2 * 2))  # 256x192, image and temperature halves of 16-bit samples

# has FILE PATTERN WHAT: FILE has a line matching the extended regex PATTERN.
has() { grep -Eq -- "$2" "$1" || { fail "$3"; sed 's/^/    /' "$1" >&2; }; }

case $check in
compliance)
  need v4l2-compliance
  "$wrapper" -- v4l2-compliance -d "$node" -s > out.txt 2>&1
  status=$?
  total=$(grep -E '^Total for ' out.txt)
  echo "$total"
  [ "$status" -eq 0 ] || fail "v4l2-compliance exited with $status"
  has out.txt "^Total for uvcvideo device $node: [0-9]+, Succeeded: [0-9]+, Failed: 0," "v4l2-compliance reports failures"
  # The streaming tests ran, in every waiting mode the tool has.
  for mode in "no poll" select epoll; do
    has out.txt "test MMAP \\($mode\\): OK" "the MMAP ($mode) streaming test did not pass"
  done
  # Every warning that stays is one the README explains: CREATE_BUFS, and a
  # frame the camera dropped because v4l2-compliance had no buffer queued in
  # time (a busy machine), which the sequence number shows as a skip.
  unexplained=$(grep -E 'warn:' out.txt | grep -v 'VIDIOC_CREATE_BUFS not supported' |
    grep -Ev 'got sequence number [0-9]+, expected [0-9]+')
  [ -z "$unexplained" ] || fail "warnings the README does not explain: $unexplained"
  # The metadata node beside it, through its /dev name (it does not stream).
  "$wrapper" -- v4l2-compliance -d /dev/video1 > meta.txt 2>&1 || fail "v4l2-compliance on the metadata node failed"
  has meta.txt '^Total for uvcvideo device /dev/video1: [0-9]+, Succeeded: [0-9]+, Failed: 0, Warnings: 0$' \
    "the metadata node does not pass"
  ;;
v4l2-ctl)
  need v4l2-ctl
  "$wrapper" --cameras 2 -- v4l2-ctl --list-devices > list.txt 2>&1
  has list.txt '^Virtual Thermal Camera \(usb-vivazuzoz-vcam-1\.2\):$' "--list-devices does not list the first camera"
  has list.txt '^Virtual Thermal Camera \(usb-vivazuzoz-vcam-2\.3\):$' "--list-devices does not list the second camera"
  [ "$(grep -cE '^\s+/dev/video[0-3]$' list.txt)" -eq 4 ] || fail "--list-devices does not list four nodes"
  "$wrapper" --size 384x288 --mode image --name "Bench Camera" -- v4l2-ctl -d /dev/video0 --all > all.txt 2>&1
  has all.txt 'Driver name +: uvcvideo' "--all does not describe the driver"
  has all.txt 'Card type +: Bench Camera' "--all does not name the camera"
  has all.txt 'Video input +: 0 \(Camera 1: ok\)' "--all shows no camera input"
  has all.txt 'Width/Height +: 384/288' "--all shows another size than the image-only 384x288"
  has all.txt "Pixel Format +: 'Y16 '" "--all shows another pixel format than Y16"
  has all.txt 'Frames per second: 25\.000 \(25/1\)' "--all shows another frame interval"
  # A plain mmap stream of ten frames (select and dequeue as v4l2-ctl does them).
  "$wrapper" -- v4l2-ctl -d "$node" --stream-mmap --stream-count 10 --stream-to stream.raw > stream.txt 2>&1 ||
    fail "v4l2-ctl --stream-mmap failed: $(cat stream.txt)"
  [ "$(stat -c %s stream.raw 2>/dev/null)" = $((10 * frame)) ] || fail "v4l2-ctl streamed $(stat -c %s stream.raw) bytes"
  ;;
ffmpeg)
  need ffmpeg
  "$wrapper" -- ffmpeg -hide_banner -nostdin -f v4l2 -i "$node" -frames:v 50 -f rawvideo -y frames.raw > ff.txt 2>&1 ||
    fail "ffmpeg failed"
  has ff.txt 'Video: rawvideo .*gray16le.*512x192' "ffmpeg does not see a 512x192 gray16le stream"
  size=$(stat -c %s frames.raw 2>/dev/null || echo 0)
  [ "$size" -eq $((50 * frame)) ] || fail "ffmpeg wrote $size bytes, not 50 frames of $frame"
  # Frames of a moving scene: the first and the last differ.
  cmp -s <(head -c $frame frames.raw) <(tail -c $frame frames.raw) && fail "the first and the last frame are the same"
  ;;
gstreamer)
  need gst-launch-1.0
  "$wrapper" -- gst-launch-1.0 -q v4l2src device="$node" num-buffers=50 \
    ! video/x-raw,format=GRAY16_LE,width=512,height=192,framerate=25/1 ! filesink location=frames.raw > gst.txt 2>&1 ||
    fail "gst-launch-1.0 failed: $(cat gst.txt)"
  size=$(stat -c %s frames.raw 2>/dev/null || echo 0)
  [ "$size" -eq $((50 * frame)) ] || fail "v4l2src delivered $size bytes, not 50 frames of $frame"
  ;;
opencv)
  # Debian's OpenCV belongs to Debian's Python.
  need /usr/bin/python3
  /usr/bin/python3 -c 'import cv2' 2>/dev/null || missing python3-opencv
  # The README's example: split a frame into its image and temperature
  # halves and convert the raw samples with the virtual camera's formula at
  # its default level (scale 80, offset -2000).
  cat > split.py <<'EOF'
import sys
import cv2
import numpy as np

cap = cv2.VideoCapture(sys.argv[1], cv2.CAP_V4L2)
assert cap.isOpened(), "VideoCapture did not open the node"
cap.set(cv2.CAP_PROP_CONVERT_RGB, 0)  # the Y16 samples as they are
for _ in range(10):
    ok, frame = cap.read()
    assert ok, "no frame"
assert frame.shape == (192, 512) and frame.dtype == np.uint16, (frame.shape, frame.dtype)
w = frame.shape[1] // 2
image = frame[:, :w]                     # image samples
raw = frame[:, w:].view(np.int16)        # raw temperature samples, signed
celsius = (raw.astype(np.float64) + 2000) / 80
print(f"image {image.min()}..{image.max()}, {celsius.min():.1f}..{celsius.max():.1f} C")
# The scene's coolest wall and its hot plate.
assert 21 <= celsius.min() <= 23 and 109 <= celsius.max() <= 111, (celsius.min(), celsius.max())
assert image.max() > image.min(), "a flat image half"
EOF
  "$wrapper" -- /usr/bin/python3 split.py "$node" > cv.txt 2>&1 || fail "OpenCV: $(cat cv.txt)"
  cat cv.txt
  ;;
*)
  echo "unknown check $check" >&2
  exit 2
  ;;
esac

if [ "$failures" -ne 0 ]; then
  echo "$failures failed" >&2
  exit 1
fi
echo "$check: passed"
