#!/usr/bin/env bash
# Makes the kernel run arm64 programs through qemu-user (binfmt_misc), so that
# an arm64 program can start another arm64 program (the virtual camera's
# wrapper, the tool's tests, help2man on a built program). Mounts binfmt_misc
# and registers qemu-user-static's own entry when they are not there yet;
# needs root for that. Exits non-zero, saying why, when arm64 programs still
# cannot run directly.
set -euo pipefail
entry=/proc/sys/fs/binfmt_misc/qemu-aarch64
conf=/usr/lib/binfmt.d/qemu-aarch64.conf

if ! grep -qx enabled "$entry" 2>/dev/null; then
  [ -e "$conf" ] || { echo "arm64-binfmt: no $conf: scripts/install-deps.sh --arm64 installs qemu-user-static" >&2; exit 1; }
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    "${as_root[@]}" mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc ||
      { echo "arm64-binfmt: cannot mount binfmt_misc" >&2; exit 1; }
  fi
  if [ ! -e "$entry" ]; then
    # The entry's F flag makes the kernel open the emulator now, so it also
    # works inside other mount namespaces and chroots.
    grep -v '^#' "$conf" | "${as_root[@]}" tee /proc/sys/fs/binfmt_misc/register >/dev/null ||
      { echo "arm64-binfmt: the kernel refused qemu-aarch64's binfmt_misc entry" >&2; exit 1; }
  fi
  grep -qx enabled "$entry" || echo 1 | "${as_root[@]}" tee "$entry" >/dev/null
fi

# The proof: an arm64 program started as any program is.
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'int main(void) { return sizeof(void*) == 8 && (char)-1 > 0 ? 42 : 1; }\n' > "$probe/probe.c"
aarch64-linux-gnu-gcc -o "$probe/probe" "$probe/probe.c"
set +e
"$probe/probe"
status=$?
set -e
[ $status -eq 42 ] || { echo "arm64-binfmt: an arm64 program does not run directly (status $status)" >&2; exit 1; }
