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
ctest --test-dir "$build_dir" --output-on-failure -j2
