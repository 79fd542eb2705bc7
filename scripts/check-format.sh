#!/usr/bin/env bash
# Every C and C++ file git tracks in the folders below follows .clang-format:
# clang-format-14 --dry-run --Werror runs on each file, prints where it
# differs, and the check fails when any file does (all of them are listed).
# Fix with `clang-format-14 -i FILE` (a whole file) or `git clang-format-14`
# (the lines a change touched).
set -euo pipefail
cd "$(dirname "$0")/.."

folders=(src include client gstreamer tools python vcam bench tests)

if ! command -v clang-format-14 >/dev/null; then
  echo "check-format: clang-format-14 is missing (scripts/install-deps.sh --tests installs it)" >&2
  exit 1
fi
failed=0
while IFS= read -r -d '' file; do
  if ! clang-format-14 --dry-run --Werror --ferror-limit=3 "$file"; then
    echo "check-format: $file does not follow .clang-format" >&2
    failed=1
  fi
done < <(git ls-files -z -- "${folders[@]}" | grep -zE '\.(c|cc|cpp|h|hpp)$')
exit $failed
