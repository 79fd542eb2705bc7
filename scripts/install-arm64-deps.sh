#!/usr/bin/env bash
# The arm64 cross build's packages (scripts/install-deps.sh --arm64 runs this):
#  - Debian's cross compiler (crossbuild-essential-arm64) and qemu-user-static,
#    which runs arm64 programs on this machine;
#  - the arm64 development packages that install beside the host's own
#    (multiarch: dpkg --add-architecture arm64), only those that are missing;
#  - a small sysroot, build-arm64-sysroot/ in the source tree (or
#    $VIVAZUZOZ_ARM64_SYSROOT), for what cannot be installed beside the
#    host's own: libpoco-dev (it depends on the MySQL client's development
#    package, which is one architecture only), libuvc-dev (its CMake files sit
#    in an architecture-free folder) and the arm64 Python interpreter with
#    numpy (the interpreter is one architecture per machine), which builds and
#    runs the Python package under the emulator. Their arm64 .deb files are
#    unpacked there with dpkg-deb -x; the libraries they load at run time are
#    installed multiarch like the rest. pytest, plain Python, is the host's.
#  - GStreamer, for the plugin and `vivazuzoz rtsp`: its development packages,
#    gst-launch-1.0, gst-device-monitor-1.0 and the plugins the tests use
#    (base, good, ugly with x264), with every arm64 package they need that is
#    not installed here yet, all unpacked into the same sysroot. None of it is installed: the
#    arm64 GStreamer and GLib packages would replace the host's development
#    packages. Their programs run under the emulator with the sysroot as
#    its prefix (qemu-aarch64 -L, QEMU_LD_PREFIX), which looks for every file
#    in the sysroot before the machine's own; cmake/toolchain-arm64.cmake
#    sets that up for the build and its tests.
# Runs apt-get as root, or through sudo.
set -euo pipefail
cd "$(dirname "$0")/.."
sysroot=${VIVAZUZOZ_ARM64_SYSROOT:-$PWD/build-arm64-sysroot}

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi
# Waits for another apt or dpkg run on this machine instead of failing.
apt_get() { DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get -o DPkg::Lock::Timeout=600 "$@"; }

packages=(
  crossbuild-essential-arm64 qemu-user-static
  libc6-dev:arm64 libstdc++-12-dev:arm64
  libudev-dev:arm64 libusb-1.0-0-dev:arm64 libpng-dev:arm64 libtiff-dev:arm64
  libgtest-dev:arm64 libgmock-dev:arm64 libbenchmark-dev:arm64
  libturbojpeg0-dev:arm64 libmosquitto-dev:arm64 libsystemd-dev:arm64
  # What Poco's CMake files ask for, and the libraries of the sysroot's packages.
  libpcre3-dev:arm64 zlib1g-dev:arm64 libpocofoundation80:arm64 libpoconet80:arm64 libpocojson80:arm64 libuvc0:arm64
  libpoconetssl80:arm64 libpocoutil80:arm64 libpocoxml80:arm64 libpococrypto80:arm64 libexpat1-dev:arm64 libssl-dev:arm64
  libexpat1:arm64 libbz2-1.0:arm64 libcrypt1:arm64 libdb5.3:arm64 libffi8:arm64 liblzma5:arm64 libncursesw6:arm64
  libnsl2:arm64 libreadline8:arm64 libsqlite3-0:arm64 libtinfo6:arm64 libtirpc3:arm64 libuuid1:arm64 libssl3:arm64
  libblas3:arm64 liblapack3:arm64 libgfortran5:arm64
)
sysroot_packages=(libpoco-dev:arm64 libpocofoundation80:arm64 libpoconet80:arm64 libpocojson80:arm64 libuvc-dev:arm64 libuvc0:arm64
  libpoconetssl80:arm64 libpocoutil80:arm64 libpocoxml80:arm64 libpococrypto80:arm64
  python3.11-minimal:arm64 libpython3.11-minimal:arm64 libpython3.11-stdlib:arm64 libpython3.11:arm64
  libpython3.11-dev:arm64 python3-numpy:arm64)

# GStreamer's packages for the sysroot and what they need, as apt would
# install them on an arm64 machine that has nothing yet (an empty package
# list), less the arm64 packages installed here (found at run time through
# the emulator's prefix) and the architecture-free ones (data the tests do
# not read).
gstreamer_packages=(libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstrtspserver-1.0-dev libglib2.0-dev
  gstreamer1.0-tools gstreamer1.0-plugins-base-apps gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-ugly)
gstreamer_closure() {
  local installed
  installed=$(dpkg-query -W -f='${binary:Package} ${Status}\n' | sed -n 's/:arm64 install ok installed$//p')
  apt-get -s -qq -o Dir::State::status=/dev/null -o APT::Architecture=arm64 -o APT::Architectures::=arm64 \
    install --no-install-recommends "${gstreamer_packages[@]}" |
    awk '/^Inst / && !/\[all\]\)/ {print $2}' | grep -vxF -f <(echo "$installed") | sed 's/$/:arm64/'
}

updated=false
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  "${as_root[@]}" dpkg --add-architecture arm64
  apt_get update -qq
  updated=true
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $updated || apt_get update -qq
  updated=true
  # --no-remove: never trade a host package for an arm64 one.
  apt_get install -y -qq --no-install-recommends --no-remove "${missing[@]}"
fi

mapfile -t gstreamer_sysroot < <(gstreamer_closure)
[ ${#gstreamer_sysroot[@]} -gt 0 ] || { echo "install-arm64-deps: apt finds no arm64 GStreamer packages" >&2; exit 1; }
sysroot_packages+=("${gstreamer_sysroot[@]}")

# The sysroot, made again when the package versions it was made from change.
want=$(apt-cache policy "${sysroot_packages[@]}" | awk '/^[^ ]/{p=$1} /Candidate:/{print p, $2}')
if [ -f "$sysroot/.packages" ] && [ "$(cat "$sysroot/.packages")" = "$want" ]; then
  exit 0
fi
echo "Making the arm64 sysroot in $sysroot from ${sysroot_packages[*]}"
download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
chmod 755 "$download"
# apt-get download as the calling user into a folder of its own.
download() { (cd "$download" && apt-get download -q -o APT::Sandbox::User="$(id -un)" "${sysroot_packages[@]}" >/dev/null); }
download || { $updated || { apt_get update -qq && download; }; }
rm -rf "$sysroot"
mkdir -p "$sysroot"
for deb in "$download"/*.deb; do
  dpkg-deb -x "$deb" "$sysroot"
done
# pkg-config files name folders under /usr: point them into the sysroot.
for pc in "$sysroot"/usr/lib/aarch64-linux-gnu/pkgconfig/*.pc; do
  sed -i "s|=/usr/|=$sysroot/usr/|; s|=/usr\$|=$sysroot/usr|" "$pc"
done
# Python: the header that picks pyconfig.h by architecture looks for it
# among the compiler's folders, which are the host's; put the arm64 one in its
# place. The interpreter finds its own library under the sysroot, then the
# host's plain-Python packages (pytest) after the sysroot's numpy. They are
# named through a link outside the sysroot's tree: with the sysroot as the
# emulator's prefix, /usr/lib/python3/dist-packages is the sysroot's own.
python=$(cd "$sysroot/usr/include" && ls -d python3.* | head -n1)
cp "$sysroot/usr/include/aarch64-linux-gnu/$python/pyconfig.h" "$sysroot/usr/include/$python/pyconfig.h"
ln -s /usr/lib/python3/dist-packages "$sysroot/host-python3-packages"
echo "$sysroot/host-python3-packages" > "$sysroot/usr/lib/python3/dist-packages/zz-host-packages.pth"
echo "$want" > "$sysroot/.packages"
