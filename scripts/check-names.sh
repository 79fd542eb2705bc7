#!/usr/bin/env bash
# The naming scheme above the library (CONTRIBUTING.md, "Names"), checked on
# the files git tracks: snake_case file names, and no member declared with the
# m_ prefix (members end in '_' instead). The library's own src/ and include/
# keep the names the public header and the camera's wire fix, and are not
# checked; the few fixed names above it are listed below with their reason.
# Prints each file or line that breaks the scheme; exits 1 if there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

folders=(client tools gstreamer python vcam tests bench)

# Names that stay as they are.
fixed_files=(
  # The virtual camera's installed header: applications include it by this name.
  vcam/include/vcam/VirtualCamera.h
  # A Java class, named as Java requires.
  tests/python/ImageJProbe.java
)

failed=0

is_fixed() {
  local file=$1 f
  for f in "${fixed_files[@]}"; do
    [[ $file == "$f" ]] && return 0
  done
  return 1
}

# File names: lower-case words joined by '_' (scripts and web files are
# named as commands and URLs are, and not checked).
while IFS= read -r file; do
  is_fixed "$file" && continue
  name=${file##*/}
  if [[ ! $name =~ ^[a-z0-9_]+(\.[a-z0-9]+)+$ ]]; then
    echo "$file: file name is not snake_case"
    failed=1
  fi
done < <(git ls-files -- "${folders[@]}" | grep -E '\.(c|cc|cpp|h|hpp|py|java)$')

# Members: a declaration whose name starts with m_ ("int m_count;",
# "std::mutex m_lock{};"). Uses of the library's own members (tests reach
# into src/ classes: "camera.m_vd", "dev->m_cam", "m_cam = ...") are not
# declarations and do not match.
declaration='^\s*(?!(return|delete|throw|case|else|goto|co_return)\b)[A-Za-z_][\w:<>,\s*&]*[\s*&]m_[A-Za-z0-9]\w*\s*(;|=[^=]|\{|\[)'
while IFS= read -r hit; do
  echo "$hit: member declared with the m_ prefix (name it with a trailing '_')"
  failed=1
done < <(git ls-files -- "${folders[@]}" | grep -E '\.(c|cc|cpp|h|hpp)$' | xargs -r grep -nP "$declaration" || true)

if [[ $failed -ne 0 ]]; then
  echo "check-names: the names above break the scheme in CONTRIBUTING.md (\"Names\")" >&2
  exit 1
fi
