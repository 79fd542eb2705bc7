#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [BUILD_DIR]      (default 20 s, build-fuzz)
# Each target starts from its seeds in fuzz/corpus/TARGET; what it finds is
# kept in BUILD_DIR/corpus/TARGET (the committed seeds are not touched).
# A crash leaves its input as BUILD_DIR/crash-* and fails the script, and so
# does a target of the list that was not built.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
build_dir=${2:-build-fuzz}
CC=${FUZZ_CC:-clang-14} CXX=${FUZZ_CXX:-clang++-14} cmake -S . -B "$build_dir" -G Ninja \
  -DVIVAZUZOZ_FUZZ=ON -DVIVAZUZOZ_BUILD_VCAM=ON -DVIVAZUZOZ_BUILD_TESTS=OFF -DVIVAZUZOZ_BUILD_BENCHMARKS=OFF \
  -DVIVAZUZOZ_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build_dir" --target fuzz_targets
targets=(command_replies frames search)
status=0
for target in "${targets[@]}"; do
  binary="$build_dir/bin/${target}_fuzz"
  if [ ! -x "$binary" ]; then
    echo "fuzz $target: FAILED (no $binary after building fuzz_targets)"
    status=1
    continue
  fi
  mkdir -p "$build_dir/corpus/$target"
  log="$build_dir/fuzz-$target.log"
  # The library's and the virtual camera's chatter goes to the log too.
  if ! (cd "$build_dir" && "bin/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
          -rss_limit_mb=4096 -artifact_prefix="$PWD/" "corpus/$target" "../fuzz/corpus/$target") >"$log" 2>&1; then
    echo "fuzz $target: FAILED (see $log)"
    grep -E 'ERROR|SUMMARY|crash-|Test unit written' "$log" | head -20 || true
    status=1
    continue
  fi
  runs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
  cov=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$log" | tail -1 | sed -E 's/.*cov: ([0-9]+).*/\1/')
  echo "fuzz $target: ${runs:-?} executions in ${seconds} s, coverage ${cov:-?} edges, no crash"
done
exit $status
