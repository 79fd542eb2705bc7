#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build and test libVIVAZUZOZ,
# only those that are missing. Runs apt-get as root, or through sudo.
set -euo pipefail

# --arm64: the arm64 cross build's packages instead (scripts/install-arm64-deps.sh).
if [ "${1:-}" = --arm64 ]; then
  exec "$(dirname "$0")/install-arm64-deps.sh"
fi

packages=(
  cmake ninja-build g++ pkg-config
  libpoco-dev libudev-dev libuvc-dev libusb-1.0-0-dev libpng-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  pybind11-dev python3-dev python3-numpy python3-pytest
  libtiff-dev python3-tifffile
  chromium chromium-driver python3-selenium
  clang-14 libclang-rt-14-dev
  help2man man-db bsdextrautils dpkg-dev lintian
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
