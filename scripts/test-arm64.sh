#!/usr/bin/env bash
# Cross-builds everything for arm64 and runs the tests under qemu-user.
#   scripts/test-arm64.sh [BUILD_DIR] [extra CMake options...]   (default build-arm64)
# Needs scripts/install-deps.sh --arm64 first. CTest starts each test program
# through the emulator (CMAKE_CROSSCOMPILING_EMULATOR); programs that a test
# starts in turn run through binfmt_misc (scripts/arm64-binfmt.sh).
#   VIVAZUZOZ_ARM64_TESTS=REGEX   runs only the tests whose names match (ctest -R)
#   VIVAZUZOZ_ARM64_SKIP=REGEX    leaves out these instead of the default few (ctest -E; "": none)
#   VIVAZUZOZ_TEST_JOBS=N         tests at once (default: one per core)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build-arm64}
shift || true

scripts/arm64-binfmt.sh
# arm64 programs started by the build (help2man) and by the tests find the
# sysroot's libraries and GStreamer through the emulator's prefix.
export QEMU_LD_PREFIX=${VIVAZUZOZ_ARM64_SYSROOT:-$PWD/build-arm64-sysroot}
# The Python package is built for, and tested on, the sysroot's arm64 Python.
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake "$@"
cmake --build "$build_dir"

# What was built is arm64 code, and the emulator runs it.
library=$(find "$build_dir/lib" -name 'libVIVAZUZOZ.so.*.*' | head -n1)
readelf -h "$library" | grep -q 'Machine: *AArch64' || { echo "test-arm64: $library is not an arm64 library" >&2; exit 1; }

# Under the emulator each test costs several times its processor time, so
# one runs per core (VIVAZUZOZ_TEST_JOBS sets another number).
jobs=${VIVAZUZOZ_TEST_JOBS:-$(nproc)}
filter=()
[ -z "${VIVAZUZOZ_ARM64_TESTS:-}" ] || filter=(-R "$VIVAZUZOZ_ARM64_TESTS")
# Left out under the emulator unless VIVAZUZOZ_ARM64_SKIP says otherwise
# ("" runs every test): the browser tests drive the machine's Chromium
# through the page, the same code on both sides, and the serve test of a
# camera that vanishes and comes back waits out reconnects for 100 s under
# emulation to check bookkeeping that is the same on both. The build
# machine's run (scripts/test.sh) has them.
skip=${VIVAZUZOZ_ARM64_SKIP-'^live_view_browser|^ServeTest\.AVanishedCamera'}
[ -z "$skip" ] || filter+=(-E "$skip")
ctest --test-dir "$build_dir" --output-on-failure -j"$jobs" "${filter[@]}"

# The same snapshot from the arm64 and the host build (when there is one:
# VIVAZUZOZ_NATIVE_BUILD, default build/): the temperature table and the
# picture must be the same bytes, whichever kernel converted the frame.
native=${VIVAZUZOZ_NATIVE_BUILD:-build}
if [ -x "$native/bin/vivazuzoz" ] && [ -x "$native/bin/vivazuzoz-vcam" ]; then
  compare=$(mktemp -d)
  trap 'rm -rf "$compare"' EXIT
  for side in arm64:"$build_dir" host:"$native"; do
    dir=$(cd "${side#*:}" && pwd)
    mkdir "$compare/${side%%:*}"
    (cd "$compare/${side%%:*}" && "$dir/bin/vivazuzoz-vcam" -- "$dir/bin/vivazuzoz" snapshot thermal.png \
      --temperature thermal.csv >/dev/null)
  done
  for file in thermal.csv thermal.png; do
    cmp "$compare/arm64/$file" "$compare/host/$file" ||
      { echo "test-arm64: the arm64 build's $file differs from the host build's" >&2; exit 1; }
  done
  echo "test-arm64: the arm64 snapshot is the host's, byte for byte"
else
  echo "test-arm64: no host build in $native: the snapshots were not compared"
fi
