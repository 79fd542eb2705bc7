#!/usr/bin/env bash
# Every C and C++ file git tracks in the folders below follows .clang-format:
# clang-format-14 --dry-run --Werror prints each difference and fails on the
# first file that has one. Fix with `clang-format-14 -i FILE` (a whole file)
# or `git clang-format-14` (the lines a change touched).
set -euo pipefail
cd "$(dirname "$0")/.."

folders=(src include client gstreamer tools python vcam bench tests)

if ! command -v clang-format-14 >/dev/null; then
  echo "check-format: clang-format-14 is missing (scripts/install-deps.sh --tests installs it)" >&2
  exit 1
fi
git ls-files -z -- "${folders[@]}" | grep -zE '\.(c|cc|cpp|h|hpp)$' | xargs -0 -r -n 50 clang-format-14 --dry-run --Werror
