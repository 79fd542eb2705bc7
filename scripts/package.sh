#!/usr/bin/env bash
# Builds the Debian packages into build/packages/:
#   libvivazuzoz1, libvivazuzoz-dev, vivazuzoz-tools, vivazuzoz-vcam,
#   python3-vivazuzoz and, where GStreamer's development files are there,
#   gstreamer1.0-vivazuzoz.
#   scripts/package.sh [BUILD_DIR]      (default build-package)
#   scripts/package.sh --arch arm64 [BUILD_DIR]
#                          arm64 packages from the cross build (default
#                          build-package-arm64) into build/packages-arm64/;
#                          needs scripts/install-deps.sh --arm64 (the
#                          Python package is built for the arm64 Python of
#                          its sysroot).
# A release build with debugging information (stripped into the packages) and
# Debian's hardening flags, installed under /usr, without tests or benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=
if [ "${1:-}" = --arch ]; then
  arch=${2:?package.sh: --arch needs an architecture}
  shift 2
fi
cross=()
case $arch in
  "" | "$(dpkg --print-architecture)")
    build_dir=${1:-build-package}
    out_dir=build/packages ;;
  arm64)
    build_dir=${1:-build-package-arm64}
    out_dir=build/packages-arm64
    # help2man runs the built programs: arm64 ones must start directly, and
    # find GStreamer in the sysroot (the emulator's prefix).
    scripts/arm64-binfmt.sh
    export QEMU_LD_PREFIX=${VIVAZUZOZ_ARM64_SYSROOT:-$PWD/build-arm64-sysroot}
    # GNUInstallDirs picks Debian's multiarch library folder only for native
    # builds: name it.
    cross=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake -DCMAKE_INSTALL_LIBDIR=lib/aarch64-linux-gnu)
    # dpkg-buildflags gives the target's flags.
    export DEB_HOST_ARCH=arm64 CC=aarch64-linux-gnu-gcc ;;
  *)
    echo "package.sh: no cross build for architecture '$arch' (arm64 is known)" >&2
    exit 2 ;;
esac

# Dates written into the packages (the manual pages') are the changelog's.
SOURCE_DATE_EPOCH=$(date -d "$(sed -n 's/^ -- .*>  //p' packaging/changelog | head -n1)" +%s)
export SOURCE_DATE_EPOCH

# Debian's own compiler and linker flags, with every hardening feature.
buildflag() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cflags="$(buildflag CFLAGS) $(buildflag CPPFLAGS)"
cxxflags="$(buildflag CXXFLAGS) $(buildflag CPPFLAGS)"
ldflags=$(buildflag LDFLAGS)

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" \
  -DCMAKE_SKIP_INSTALL_RPATH=ON -DVIVAZUZOZ_BUILD_MAN_PAGES=ON -DVIVAZUZOZ_BUILD_TESTS=OFF -DVIVAZUZOZ_BUILD_BENCHMARKS=OFF \
  -DVIVAZUZOZ_SANITIZE=OFF -DVIVAZUZOZ_BUILD_VCAM=ON -DVIVAZUZOZ_BUILD_TOOLS=ON -DVIVAZUZOZ_BUILD_PYTHON=ON "${cross[@]}"
cmake --build "$build_dir"

# Every installed file must belong to a package.
read -r -a components < "$build_dir/packaging/components.txt"
for c in "${components[@]}"; do
  if [ "$c" = Unspecified ]; then
    scratch=$(mktemp -d)
    cmake --install "$build_dir" --component Unspecified --prefix "$scratch" >/dev/null
    echo "package.sh: these files are installed without a COMPONENT and would be in no package:" >&2
    (cd "$scratch" && find . -type f -o -type l) | sed 's|^\.|  <prefix>|' >&2
    rm -rf "$scratch"
    exit 1
  fi
done

rm -rf "$out_dir"
mkdir -p "$out_dir"
out_abs=$(cd "$out_dir" && pwd)
(cd "$build_dir" && cpack -G DEB -B "$out_abs" >/dev/null) || {
  echo "package.sh: cpack failed; run 'cpack -G DEB --verbose' in $build_dir for details" >&2
  exit 1
}
rm -rf "$out_dir/_CPack_Packages"

# One package per component, no more, no fewer.
names=(runtime:libvivazuzoz1 development:libvivazuzoz-dev tools:vivazuzoz-tools vcam:vivazuzoz-vcam
       python:python3-vivazuzoz)
status=0
for entry in "${names[@]}"; do
  component=${entry%%:*} package=${entry#*:}
  made=$(compgen -G "$out_dir/${package}_*.deb" || true)
  if [[ " ${components[*]} " == *" $component "* ]]; then
    [ -n "$made" ] || { echo "package.sh: no $package package was made" >&2; status=1; }
  elif [ -n "$made" ]; then
    echo "package.sh: $package made, but nothing installs component $component" >&2
    status=1
  else
    echo "package.sh: $package skipped: nothing in this tree installs component $component"
  fi
done
ls -1 "$out_dir"/*.deb
exit $status
