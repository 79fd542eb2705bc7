#!/usr/bin/env bash
# Installs the Debian 12 packages libVIVAZUZOZ needs, only those that are
# missing. Runs apt-get as root, or through sudo.
#   scripts/install-deps.sh            what configuring with the default options,
#                                      building and running every installed
#                                      command need
#   scripts/install-deps.sh --tests    that, and what only the tests, the fuzz
#                                      run and the package check need
#   scripts/install-deps.sh --list     prints the first set, one package a line
#                                      (scripts/check-runtime-deps.sh checks it)
set -euo pipefail

# --arm64: the arm64 cross build's packages instead (scripts/install-arm64-deps.sh).
if [ "${1:-}" = --arm64 ]; then
  exec "$(dirname "$0")/install-arm64-deps.sh"
fi

# Configure, build and run: the compiler and build tools, the libraries the
# library, the tool and the virtual camera link, and the headers of what the
# default build also compiles (GoogleTest, Google Benchmark, pybind11 and
# Python's).
build_packages=(
  cmake ninja-build g++ pkg-config
  libpoco-dev libudev-dev libuvc-dev libusb-1.0-0-dev libpng-dev libtiff-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  pybind11-dev python3-dev
  # The live server's JPEG and deflate, the monitor's MQTT client, systemd's
  # readiness and watchdog for the services, and the GStreamer plugin and
  # RTSP server.
  libturbojpeg0-dev zlib1g-dev libmosquitto-dev libsystemd-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstrtspserver-1.0-dev
)

# Run: what the installed commands load at run time besides the libraries
# they link (which the packages above bring): numpy for `import vivazuzoz`;
# for `vivazuzoz rtsp`, GStreamer's x264enc (plugins-ugly), rtph264pay and
# the RTP, UDP and RTSP elements the RTSP server builds its streams from
# (plugins-good), appsrc/appsink for its TCP clients (plugins-base), and for
# RTSPS GLib's TLS backend (glib-networking).
# scripts/check-runtime-deps.sh derives these from the commands themselves.
run_packages=(
  python3-numpy
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly glib-networking
)

# Only the tests and CI: the Python tests' numpy, pytest and tifffile (and
# matplotlib for bench/shutter_figures.py's plot); the
# browser test's Chromium, its driver and Selenium; clang and its sanitizer
# and fuzzer runtimes for scripts/fuzz.sh; help2man for the manual pages (the
# default build leaves them out without it), man and col to read them back;
# dpkg-dev and lintian for the Debian packages and their check.
test_packages=(
  python3-pytest python3-tifffile python3-matplotlib
  chromium chromium-driver python3-selenium
  # node runs the page's emissivity script against the client layer's.
  nodejs
  clang-14 libclang-rt-14-dev
  help2man man-db bsdextrautils
  dpkg-dev lintian
  # Standard V4L2 programs run against the virtual camera.
  v4l-utils ffmpeg gstreamer1.0-tools python3-opencv
  # The stock RTSP server bench/color_figures.py measures ours against.
  python3-gi gir1.2-gst-rtsp-server-1.0
  # GStreamer's device monitor (gst-device-monitor-1.0, plugins-base-apps);
  # an MQTT broker, its client and Prometheus's promtool for the monitor's
  # tests.
  gstreamer1.0-plugins-base-apps
  mosquitto mosquitto-clients prometheus
  # The monitor's mqtts:// test makes its broker's certificates with openssl.
  openssl
  # Outside judges of the snapshot and recording files: GDAL (gdalinfo and
  # its Python bindings), rasterio, exiftool, Pillow and ImageJ.
  gdal-bin python3-gdal python3-rasterio libimage-exiftool-perl python3-pil imagej
  # CI's layout check (scripts/check-format.sh).
  clang-format-14
)

usage() {
  cat <<EOF
Usage: scripts/install-deps.sh [--tests | --arm64 | --list]

Installs the Debian 12 packages that are missing (apt-get, as root or through sudo).

  (no option)  what configuring with the default options, building and running every
               installed command (rtsp and the Python package included) need:
               ${build_packages[*]}
               ${run_packages[*]}
  --tests      those, and what only the tests, scripts/fuzz.sh and scripts/check-packages.sh need:
               ${test_packages[*]}
  --arm64      instead: the arm64 cross build's packages (scripts/install-arm64-deps.sh)
  --list       prints the no-option set, one package a line, and installs nothing
  --help       this text
EOF
}

packages=("${build_packages[@]}" "${run_packages[@]}")
case "${1:-}" in
  "") ;;
  --list)
    printf '%s\n' "${packages[@]}"
    exit 0
    ;;
  --tests) packages+=("${test_packages[@]}") ;;
  -h | --help)
    usage
    exit 0
    ;;
  *)
    usage >&2
    exit 2
    ;;
esac
if [ $# -gt 1 ]; then
  usage >&2
  exit 2
fi

native=$(dpkg --print-architecture)
missing=()
for p in "${packages[@]}"; do
  # Installed for this machine's architecture (or for all): a foreign one
  # (say :arm64 for a cross build) does not build for this machine.
  if ! dpkg-query -W -f='${Status} ${Architecture}\n' "$p" 2>/dev/null |
      grep -qE "^install ok installed ($native|all)\$"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
