#!/usr/bin/env bash
# The run-time check: does the no-argument scripts/install-deps.sh bring
# everything the installed commands load when they run, and do the Debian
# packages depend on what no linked library shows?
#
# There is no clean root or container to install into here, so the check
# derives each command's run-time files from the command itself and asks
# dpkg which packages hold them:
#  - every program, library and module: the libraries `ldd` resolves;
#  - `vivazuzoz rtsp` (when built): the GStreamer plugins it loads, logged by
#    GStreamer while it serves the virtual camera to a TCP and a UDP client
#    (ffprobe);
#  - the Python package: the modules and extension libraries `import
#    vivazuzoz` loads, on Debian's /usr/bin/python3.
# Each package found must be installed and among the packages that
# `scripts/install-deps.sh --list` names or their dependencies (apt-cache
# depends --recurse). The GStreamer plugins' packages must also be in the
# tools package's Depends, and the Python modules' packages in the Python
# package's: as cmake/Packaging.cmake names them, or with --debs as the
# built packages say (scripts/check-packages.sh runs it so).
#   scripts/check-runtime-deps.sh [--debs DIR] [BUILD_DIR]     (default build; built with the default options)
set -euo pipefail
cd "$(dirname "$0")/.."
debs=
if [ "${1:-}" = --debs ]; then
  debs=$(cd "${2:?check-runtime-deps.sh: --debs needs a folder}" && pwd)
  shift 2
fi
build=${1:-build}
[ -x "$build/bin/vivazuzoz" ] || { echo "check-runtime-deps: no $build/bin/vivazuzoz; build first" >&2; exit 2; }
build=$(cd "$build" && pwd)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vivazuzoz-runtime.XXXXXX")
server=
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
failed=0
fail() { echo "check-runtime-deps: FAILED: $*" >&2; failed=1; }

# The packages the no-argument install brings, with everything they depend on.
scripts/install-deps.sh --list | sort -u >"$scratch/listed"
apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
    --no-enhances $(cat "$scratch/listed") 2>/dev/null |
  grep -v '^[ <]' | sed 's/:.*//' | sort -u >"$scratch/brought"

# The packages that hold the files of stdin (one path a line), one
# "PATH<tab>PACKAGE PACKAGE..." line per file, "" packages for none. dpkg
# knows each file by the path its package gave it: Debian 12 merged /lib
# into /usr/lib, so each path is asked as given, resolved, and with and
# without /usr, all in one dpkg -S.
owners() {
  local path real candidate
  while read -r path; do
    real=$(readlink -f "$path")
    for candidate in "$path" "$real" "/usr${path#/usr}" "${path#/usr}" "/usr${real#/usr}" "${real#/usr}"; do
      printf '%s\t%s\n' "$path" "$candidate"
    done
  done >"$scratch/candidates"
  cut -f2 "$scratch/candidates" | sort -u | xargs -r -d '\n' dpkg -S 2>/dev/null >"$scratch/found" || true
  awk -F'\t' '
    NR == FNR { i = index($0, ": /"); names = substr($0, 1, i - 1); gsub(/:[a-z0-9]+/, "", names)
                gsub(/, /, " ", names); held[substr($0, i + 2)] = names; next }
    !($1 in answer) { answer[$1] = ""; order[++n] = $1 }
    answer[$1] == "" && ($2 in held) { answer[$1] = held[$2] }
    END { for (k = 1; k <= n; k++) print order[k] "\t" answer[order[k]] }' "$scratch/found" "$scratch/candidates"
}

# Checks the packages holding the files of stdin (one path a line) for one
# command; files of the build tree are this project's own and skipped.
check_files() {
  local what=$1 path packages
  grep -v -e "^$build/" -e "^$PWD/" | grep . | sort -u | owners >"$scratch/$what.owners" || true
  while IFS=$'\t' read -r path packages; do
    [ -n "$packages" ] || fail "$what: no package holds $path"
  done <"$scratch/$what.owners"
  cut -f2 "$scratch/$what.owners" | tr ' ' '\n' | grep . | sort -u >"$scratch/$what.packages" || true
  [ -s "$scratch/$what.packages" ] || return 0
  echo "$what: $(tr '\n' ' ' <"$scratch/$what.packages")"
  while read -r package; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed' ||
      fail "$what: $package is not installed"
    grep -qx "$package" "$scratch/brought" ||
      fail "$what needs $package, which scripts/install-deps.sh (no argument) does not bring"
  done <"$scratch/$what.packages"
}

# The libraries a program or module links, as ldd resolves them.
linked() {
  ldd "$1" | sed -n 's/.*=> \(\/[^ ]*\) .*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) .*/\1/p'
}

# The packages one Debian package of ours depends on (`package`: its name;
# `variable`: the Depends it gets in cmake/Packaging.cmake).
declared_depends() {
  local package=$1 variable=$2
  if [ -n "$debs" ]; then
    dpkg-deb -f "$(ls "$debs/${package}"_*.deb | head -n1)" Depends | tr ',|' '\n\n' | sed 's/(.*//; s/ //g' |
      grep . | sort -u
  else
    sed -n "/set($variable/,/)/p" cmake/Packaging.cmake | grep -o '[a-z0-9][a-z0-9.+-]*[a-z0-9]' | sort -u
  fi
}

for program in "$build"/bin/vivazuzoz "$build"/bin/vivazuzoz-vcam "$build"/lib/libVIVAZUZOZ.so.1 \
    "$build"/lib/libvivazuzoz-vcam.so "$build"/lib/gstreamer-1.0/libgstvivazuzoz.so; do
  [ -e "$program" ] || continue
  linked "$program" | check_files "$(basename "$program")"
done

# `vivazuzoz rtsp`: the plugins GStreamer loads while a TCP and a UDP
# client play camera 0.
if "$build/bin/vivazuzoz" rtsp --help >/dev/null 2>&1; then
  port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  env GST_DEBUG=GST_PLUGIN_LOADING:4 GST_DEBUG_NO_COLOR=1 GST_DEBUG_FILE="$scratch/gst.log" \
      XDG_STATE_HOME="$scratch/state" \
      "$build/bin/vivazuzoz-vcam" -- "$build/bin/vivazuzoz" rtsp --listen "127.0.0.1:$port" \
      >"$scratch/rtsp.out" 2>"$scratch/rtsp.err" &
  server=$!
  for _ in $(seq 100); do
    grep -q "rtsp://" "$scratch/rtsp.out" 2>/dev/null && break
    sleep 0.1
  done
  for transport in tcp udp; do
    timeout 30 ffprobe -v error -rtsp_transport $transport -show_entries stream=codec_name -of csv=p=0 \
        "rtsp://127.0.0.1:$port/0" >"$scratch/probe-$transport" 2>&1 ||
      fail "rtsp: ffprobe over $transport: $(cat "$scratch/probe-$transport")"
  done
  kill -INT "$server"
  wait "$server" || fail "rtsp: did not stop cleanly on SIGINT"
  server=
  grep -o 'plugin "[^"]*" loaded' "$scratch/gst.log" | sed 's/plugin "\(.*\)" loaded/\1/' | sort -u |
    tee "$scratch/plugins" | check_files rtsp-plugins
  grep -q x264 "$scratch/plugins" || fail "rtsp: no H.264 encoder was loaded (GStreamer's log: $scratch/gst.log)"
  if [ -s "$scratch/rtsp-plugins.packages" ]; then
    declared_depends vivazuzoz-tools CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS >"$scratch/tools-depends"
    while read -r package; do
      case $package in libgstreamer1.0-0) continue ;; esac  # linked: dpkg-shlibdeps names it
      grep -qx "$package" "$scratch/tools-depends" ||
        fail "vivazuzoz-tools does not depend on $package, which rtsp loads (cmake/Packaging.cmake${debs:+; $debs})"
    done <"$scratch/rtsp-plugins.packages"
  fi
fi

# The Python package: every file `import vivazuzoz` loads, and what its
# extension modules link.
if [ -d "$build/python/vivazuzoz" ]; then
  # What the interpreter loads by itself (site, .pth files) is not the
  # package's doing.
  loaded='
import sys
for module in list(sys.modules.values()):
    path = getattr(module, "__file__", None)
    if path:
        print(path)'
  /usr/bin/python3 -c "$loaded" | sort -u >"$scratch/python-alone"
  PYTHONPATH="$build/python" /usr/bin/python3 -c "import vivazuzoz; $loaded" | sort -u >"$scratch/python-files" ||
    fail "import vivazuzoz failed"
  comm -13 "$scratch/python-alone" "$scratch/python-files" | check_files python-modules
  for module in "$build"/python/vivazuzoz/*.so; do
    linked "$module" | check_files "python-$(basename "$module")"
  done
  if [ -s "$scratch/python-modules.packages" ]; then
    declared_depends python3-vivazuzoz CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS >"$scratch/python-depends"
    while read -r package; do
      case $package in python3 | python3-minimal | python3.[0-9]* | libpython3.[0-9]*) continue ;; esac  # the interpreter: a Depends of its own
      grep -qx "$package" "$scratch/python-depends" ||
        fail "python3-vivazuzoz does not depend on $package, which import vivazuzoz loads (cmake/Packaging.cmake${debs:+; $debs})"
    done <"$scratch/python-modules.packages"
  fi
fi

if [ $failed -ne 0 ]; then
  exit 1
fi
echo "check-runtime-deps: every run-time package is installed and brought by scripts/install-deps.sh"
