#!/usr/bin/env bash
# Cross-builds everything for arm64 and runs the tests under qemu-user.
#   scripts/test-arm64.sh [BUILD_DIR] [extra CMake options...]   (default build-arm64)
# Needs scripts/install-deps.sh --arm64 first. CTest starts each test program
# through the emulator (CMAKE_CROSSCOMPILING_EMULATOR); programs that a test
# starts in turn run through binfmt_misc (scripts/arm64-binfmt.sh).
#   VIVAZUZOZ_ARM64_TESTS=REGEX   runs only the tests whose names match (ctest -R)
#   VIVAZUZOZ_TEST_JOBS=N         tests at once (default: one per core)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build-arm64}
shift || true

scripts/arm64-binfmt.sh
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
ctest --test-dir "$build_dir" --output-on-failure -j"$jobs" "${filter[@]}"
