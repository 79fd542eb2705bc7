#!/usr/bin/env bash
# Builds everything and runs every test.
#   scripts/test.sh [BUILD_DIR] [extra CMake options...]
# e.g. scripts/test.sh build-asan -DVIVAZUZOZ_SANITIZE=ON
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
shift || true
cmake -S . -B "$build_dir" -G Ninja "$@"
cmake --build "$build_dir"
# Most tests wait on the virtual cameras' frame clocks and the command port's
# timing rather than on the processor, so three run per core
# (VIVAZUZOZ_TEST_JOBS sets another number).
jobs=${VIVAZUZOZ_TEST_JOBS:-$(($(nproc) * 3))}
# Benchmarks registered with CTest (label "bench") print figures and judge
# nothing; they run apart, alone on the machine: ctest --test-dir build -L bench.
ctest --test-dir "$build_dir" --output-on-failure -j"$jobs" -LE bench
