#!/usr/bin/env bash
# The installed-files check: builds the Debian packages, unpacks them into a
# scratch root (dpkg-deb -x; nothing on the machine changes), and proves the
# unpacked files work on their own:
#  - cmake --install into another prefix gives a pkg-config file that points there;
#  - examples/ builds against that root only, once through pkg-config and once
#    through find_package(VIVAZUZOZ), and also with a plain
#    cc ... $(pkg-config --cflags --libs VIVAZUZOZ);
#  - the examples and the vivazuzoz tool run under the unpacked virtual camera;
#  - the unpacked Python package imports and finds the virtual camera (required
#    once the tree has python/);
#  - the manual pages render and the completion files load;
#  - every systemd unit of packaging/ is in the tools package and passes
#    systemd-analyze verify (offline, with the unpacked tool in ExecStart=);
#  - gst-inspect-1.0 finds the unpacked GStreamer plugin (when the build made
#    one) in the multiarch GStreamer folder, and it streams the virtual camera;
#    the unpacked `vivazuzoz rtsp` serves the virtual camera and ffmpeg reads
#    a frame of it;
#  - what the commands load at run time is installed by the no-argument
#    scripts/install-deps.sh and named in the packages' Depends
#    (scripts/check-runtime-deps.sh, on this machine's architecture);
#  - lintian reports no errors (its warnings are printed).
#   scripts/check-packages.sh [BUILD_DIR]     (default build-package)
#   scripts/check-packages.sh --arch arm64 [BUILD_DIR]
#     the same for the arm64 packages (scripts/package.sh --arch arm64): the
#     examples are cross-built against the unpacked root, and the programs
#     (Python, gst-launch-1.0 and gst-inspect-1.0: the arm64 sysroot's) run
#     under qemu-user (binfmt_misc).
set -euo pipefail
cd "$(dirname "$0")/.."
arch_args=()
if [ "${1:-}" = --arch ]; then
  arch_args=(--arch "${2:?check-packages.sh: --arch needs an architecture}")
  shift 2
fi
step() { echo "== check-packages: $*"; }
die() { echo "check-packages: FAILED: $*" >&2; exit 1; }

# The host's tools, or the cross compiler and the emulated loader.
cross_cmake=()
cc=cc
python=/usr/bin/python3
list_libraries=(ldd)
packages_dir=build/packages
gst_root=  # where GStreamer's programs and plugins are, when not the machine's
case ${arch_args[1]:-} in
  "" | "$(dpkg --print-architecture)")
    build_dir=${1:-build-package}
    multiarch=$(gcc -print-multiarch) ;;
  arm64)
    build_dir=${1:-build-package-arm64}
    packages_dir=build/packages-arm64
    multiarch=aarch64-linux-gnu
    cc=aarch64-linux-gnu-gcc
    cross_cmake=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-arm64.cmake")
    python=$(ls "${VIVAZUZOZ_ARM64_SYSROOT:-$PWD/build-arm64-sysroot}"/usr/bin/python3.* | grep -E '/python3\.[0-9]+$' | head -n1)
    # The arm64 loader lists what a program loads (host ldd cannot).
    list_libraries=(/lib/ld-linux-aarch64.so.1 --list)
    # GStreamer's arm64 libraries and plugins are the sysroot's (the
    # emulator's prefix; scripts/install-arm64-deps.sh).
    export QEMU_LD_PREFIX=${VIVAZUZOZ_ARM64_SYSROOT:-$PWD/build-arm64-sysroot}
    gst_root=$QEMU_LD_PREFIX ;;
  *) die "no packages for architecture '${arch_args[1]}'" ;;
esac

step "building the packages"
scripts/package.sh "${arch_args[@]}" "$build_dir"
debs=("$packages_dir"/*.deb)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vivazuzoz-check.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
for deb in "${debs[@]}"; do
  dpkg-deb -x "$deb" "$root"
done
libdir=$root/usr/lib/$multiarch
bindir=$root/usr/bin
[ -e "$libdir/libVIVAZUZOZ.so.1" ] || die "no libVIVAZUZOZ.so.1 in $libdir"
# Nothing may come from an install on this machine.
if [ -e /usr/include/VIVAZUZOZ.h ] || [ -e "/usr/lib/$multiarch/libVIVAZUZOZ.so.1" ]; then
  echo "check-packages: note: the library is also installed on this machine; checking that nothing uses it"
fi

# Runs a command with the unpacked libraries and a scratch home.
in_root() {
  env HOME="$scratch/home" XDG_STATE_HOME="$scratch/state" LD_LIBRARY_PATH="$libdir" "$@"
}
# The library a program loads must be the unpacked one.
uses_root_library() {
  local resolved
  resolved=$(in_root "${list_libraries[@]}" "$1" | sed -n 's/.*libVIVAZUZOZ\.so\.1 => \([^ ]*\).*/\1/p')
  case $resolved in
    "$root"/*) ;;
    *) die "$1 loads libVIVAZUZOZ.so.1 from '$resolved', not from the unpacked packages" ;;
  esac
}
# Runs an example under the unpacked virtual camera; it must find the camera.
run_example() {
  local program=$1 output
  uses_root_library "$program"
  output=$(cd "$scratch" && in_root "$bindir/vivazuzoz-vcam" -- "$program" 2>&1) ||
    die "$program under the virtual camera: $output"
  grep -q "^1 camera found" <<< "$output" || die "$program found no virtual camera: $output"
}

step "examples through pkg-config"
export PKG_CONFIG_LIBDIR=$libdir/pkgconfig PKG_CONFIG_PATH=
pkg-config --exists VIVAZUZOZ || die "pkg-config does not find VIVAZUZOZ in $PKG_CONFIG_LIBDIR"
flags=$(pkg-config --cflags --libs VIVAZUZOZ)
[[ $flags == *"$root"* ]] || die "pkg-config flags do not point into the unpacked root: $flags"
$cc -Wall -Werror -o "$scratch/search_cameras_cc" examples/search_cameras.c $flags
run_example "$scratch/search_cameras_cc"
cmake -S examples -B "$scratch/pkg-config" -G Ninja -DVIVAZUZOZ_FIND_WITH=pkg-config "${cross_cmake[@]}" >/dev/null
cmake --build "$scratch/pkg-config" >/dev/null
run_example "$scratch/pkg-config/search_cameras"
unset PKG_CONFIG_LIBDIR PKG_CONFIG_PATH

step "examples through find_package"
cmake -S examples -B "$scratch/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
  "${cross_cmake[@]}" >/dev/null
found=$(sed -n 's/^VIVAZUZOZ_DIR:PATH=//p' "$scratch/cmake/CMakeCache.txt")
[[ $found == "$root"/* ]] || die "find_package found VIVAZUZOZ in '$found', not in the unpacked root"
cmake --build "$scratch/cmake" >/dev/null
run_example "$scratch/cmake/search_cameras"

step "cmake --install into another prefix"
prefix=$scratch/prefix
for component in runtime development; do
  cmake --install "$build_dir" --prefix "$prefix" --component $component >/dev/null
done
pc=$(find "$prefix" -name VIVAZUZOZ.pc)
flags=$(PKG_CONFIG_LIBDIR=$(dirname "$pc") PKG_CONFIG_PATH= pkg-config --cflags --libs VIVAZUZOZ)
[[ $flags == *"$prefix"* ]] || die "pkg-config flags of an install in $prefix do not point there: $flags"
$cc -Wall -Werror -o "$scratch/search_cameras_prefix" examples/search_cameras.c $flags
[ -x "$scratch/search_cameras_prefix" ] || die "no program built against the install in $prefix"

step "the tool under the virtual camera"
uses_root_library "$bindir/vivazuzoz"
output=$(cd "$scratch" && in_root "$bindir/vivazuzoz-vcam" -- "$bindir/vivazuzoz" snapshot -o "$scratch/thermal.png" 2>&1) ||
  die "vivazuzoz snapshot: $output"
[ -s "$scratch/thermal.png" ] || die "vivazuzoz snapshot wrote no picture: $output"
version=$(in_root "$bindir/vivazuzoz" --version)
package_version=$(dpkg-deb -f "$packages_dir"/vivazuzoz-tools_*.deb Version)
[ "$version" = "vivazuzoz ${package_version%-*}" ] || die "the tool says '$version', its package is $package_version"

step "the Python package"
python_debs=("$packages_dir"/python3-vivazuzoz_*.deb)
if [ -e "${python_debs[0]}" ]; then
  module=$(find "$root" \( -name '__init__.py' -path '*/vivazuzoz/*' -o -name 'vivazuzoz*.so' \) -path '*python3*' | head -n1)
  [ -n "$module" ] || die "python3-vivazuzoz holds no vivazuzoz module"
  case $module in
    */vivazuzoz/__init__.py) pythonpath=$(dirname "$(dirname "$module")") ;;
    *) pythonpath=$(dirname "$module") ;;
  esac
  output=$(cd "$scratch" && in_root PYTHONPATH="$pythonpath" "$bindir/vivazuzoz-vcam" -- "$python" -c \
    'import vivazuzoz; print(vivazuzoz.__file__); print(len(vivazuzoz.search()), "cameras")' 2>&1) ||
    die "import vivazuzoz: $output"
  grep -q "^$root" <<< "$output" || die "Python imported vivazuzoz from elsewhere: $output"
  grep -qx "1 cameras" <<< "$output" || die "the Python package found no virtual camera: $output"
elif [ -e python/CMakeLists.txt ]; then
  die "the tree has python/ but no python3-vivazuzoz package was made"
else
  echo "no Python package in this tree yet"
fi

step "the GStreamer plugin"
gst_debs=("$packages_dir"/gstreamer1.0-vivazuzoz_*.deb)
if [ -e "${gst_debs[0]}" ]; then
  plugin=$libdir/gstreamer-1.0/libgstvivazuzoz.so
  [ -e "$plugin" ] || die "gstreamer1.0-vivazuzoz has no $plugin"
  uses_root_library "$plugin"
  # GStreamer's own folder stays (for fakesink, x264enc, the RTSP elements);
  # the unpacked one is looked at first, in a registry of this check only.
  # On arm64, GStreamer's programs and plugins are the sysroot's, under the
  # emulator.
  gst_system=$gst_root/usr/lib/$multiarch/gstreamer-1.0
  gst_env=(GST_PLUGIN_SYSTEM_PATH="$libdir/gstreamer-1.0:$gst_system" GST_REGISTRY="$scratch/gst-registry.bin")
  gst_bin=
  if [ -n "$gst_root" ]; then
    gst_env+=(GST_PLUGIN_SCANNER="$gst_root/usr/lib/$multiarch/gstreamer1.0/gstreamer-1.0/gst-plugin-scanner")
    gst_bin=$gst_root/usr/bin/
  fi
  output=$(in_root env "${gst_env[@]}" "${gst_bin}gst-inspect-1.0" vivazuzoz 2>&1) || die "gst-inspect-1.0 vivazuzoz: $output"
  grep -q "Filename *$plugin" <<< "$output" || die "gst-inspect-1.0 did not load the unpacked plugin: $output"
  output=$(cd "$scratch" && in_root env "${gst_env[@]}" "$bindir/vivazuzoz-vcam" -- \
    "${gst_bin}gst-launch-1.0" -q vivazuzozsrc num-buffers=10 ! thermalcolorize ! fakesink 2>&1) ||
    die "gst-launch-1.0 with the unpacked plugin: $output"

  step "vivazuzoz rtsp"
  # The unpacked tool serves the virtual camera; the machine's ffmpeg reads
  # a frame of it.
  (cd "$scratch" && exec env HOME="$scratch/home" XDG_STATE_HOME="$scratch/state" LD_LIBRARY_PATH="$libdir" \
    "${gst_env[@]}" "$bindir/vivazuzoz-vcam" -- "$bindir/vivazuzoz" rtsp --listen 127.0.0.1:0 \
    > "$scratch/rtsp.txt" 2> "$scratch/rtsp.err") &
  rtsp=$!
  for _ in $(seq 600); do grep -q "rtsp://" "$scratch/rtsp.txt" && break; sleep 0.1; done
  url=$(grep -o 'rtsp://[^ ]*/0$' "$scratch/rtsp.txt" | head -n1)
  [ -n "$url" ] || { kill $rtsp; die "vivazuzoz rtsp printed no address: $(cat "$scratch/rtsp.txt" "$scratch/rtsp.err")"; }
  output=$(timeout 120 ffmpeg -v error -nostdin -rtsp_transport tcp -i "$url" -frames:v 1 -y "$scratch/rtsp.png" 2>&1) ||
    { kill $rtsp; die "ffmpeg read no frame of $url: $output $(cat "$scratch/rtsp.err")"; }
  [ -s "$scratch/rtsp.png" ] || { kill $rtsp; die "ffmpeg wrote no frame of $url"; }
  kill -TERM $rtsp
  wait $rtsp || die "vivazuzoz rtsp exited with $? on SIGTERM: $(cat "$scratch/rtsp.err")"
elif grep -qw gstreamer "$build_dir/packaging/components.txt"; then
  die "the build has the GStreamer plugin but no gstreamer1.0-vivazuzoz package was made"
else
  echo "no GStreamer plugin in this build"
fi

step "manual pages and completion"
for page in vivazuzoz vivazuzoz-vcam; do
  file=$root/usr/share/man/man1/$page.1.gz
  [ -e "$file" ] || die "no manual page $page(1)"
  rendered=$(LC_ALL=C MANWIDTH=80 man --local-file "$file" 2>&1)
  grep -q "^NAME" <<< "$rendered" || die "$page(1) does not render: $rendered"
  completion=$root/usr/share/bash-completion/completions/$page
  [ -e "$completion" ] || die "no bash completion for $page"
  bash -c "source '$completion' && complete -p $page" >/dev/null || die "the completion for $page does not load"
done

step "systemd units"
for unit in packaging/*.service; do
  installed=$root/usr/lib/systemd/system/$(basename "$unit")
  [ -e "$installed" ] || die "$(basename "$unit") is not in the packages (/usr/lib/systemd/system)"
  if command -v systemd-analyze >/dev/null && [ -z "${arch_args[*]}" ]; then
    sed "s|/usr/bin/vivazuzoz|$bindir/vivazuzoz|" "$installed" > "$scratch/$(basename "$unit")"
    output=$(systemd-analyze verify --man=no "$scratch/$(basename "$unit")" 2>&1) ||
      die "systemd-analyze verify $(basename "$unit"): $output"
    [ -z "$output" ] || die "systemd-analyze verify $(basename "$unit") warns: $output"
  fi
done

if [ -z "${arch_args[1]:-}" ] || [ "${arch_args[1]}" = "$(dpkg --print-architecture)" ]; then
  step "run-time packages"
  scripts/check-runtime-deps.sh --debs "$packages_dir" "$build_dir" || die "run-time packages (above)"
fi

step "lintian"
lintian --fail-on error --tag-display-limit 0 "${debs[@]}" 2>&1 | grep -v "^running with root privileges" ||
  true
lintian --fail-on error --tag-display-limit 0 "${debs[@]}" >/dev/null 2>&1 || die "lintian reports errors (above)"
step "passed: ${debs[*]##*/}"
