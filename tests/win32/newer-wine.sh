#!/usr/bin/env bash
# The Windows program's TLS cases under a newer Wine than the system's:
# tests/win32/run.sh runs inside the Debian 13 root of tools/wine-root.sh
# (made first when it is missing or out of date), whose Wine is 10.0.
#
#   tests/win32/newer-wine.sh WIN_BUILD_DIR [NATIVE_BUILD_DIR]
#
# The arguments are run.sh's (a 64-bit build: the root has no 32-bit Wine).
# TV_CASES names the cases (default: the TLS cases); run.sh's other
# variables pass through. This Wine has Schannel's server side, so the server
# cases fail rather than skip without it (TV_TLS_SERVER_REQUIRED=0 lets them
# skip). Run as root.
#
# The root sees the source tree at its own path and the system's /tmp, /dev
# and a /proc of its own. Those mounts are made in a mount namespace of the
# run's own: they end with it, however the run ends, and the system's mounts
# never show them (so a root made anew cannot take them with it).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
if [ $# -lt 1 ]; then
  echo "usage: tests/win32/newer-wine.sh WIN_BUILD_DIR [NATIVE_BUILD_DIR]" >&2
  exit 2
fi
win_build="$(cd "$1" && pwd)"
native_build="$(cd "${2:-$root/build}" 2>/dev/null && pwd || echo "${2:-$root/build}")"
if [ "$(id -u)" -ne 0 ]; then
  echo "newer-wine.sh: the run enters a chroot, which takes root" >&2
  exit 2
fi
for dir in "$win_build" "$native_build"; do
  case "$dir/" in
    "$root"/*) ;;
    *)
      echo "newer-wine.sh: $dir is outside the source tree $root, which alone the root sees" >&2
      exit 2
      ;;
  esac
done
fs="$("$root/tools/wine-root.sh")"
# The root is not made anew while this run uses it.
exec 9>>"$(dirname "$fs")/lock"
flock -s 9
if ! "$root/tools/wine-root.sh" --check; then
  echo "newer-wine.sh: the root in $fs was being made anew; run again" >&2
  exit 1
fi
# The TLS cases.
# shellcheck source=tests/win32/tls_cases.sh
cases="$(. "$here/tls_cases.sh" && echo "$TLS_CASES")"

# Only these variables reach the run inside, with a plain PATH and locale.
pass=(PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LC_ALL=C.UTF-8 "TV_CASES=${TV_CASES:-$cases}"
  "TV_TLS_SERVER_REQUIRED=${TV_TLS_SERVER_REQUIRED:-1}")
for name in TV_WINE_TIME_LIMIT TV_KEEP TV_PROGRAM_WINEDEBUG TV_SCREENSHOT TV_SCREENSHOTS; do
  if [ -n "${!name:-}" ]; then pass+=("$name=${!name}"); fi
done

echo "newer-wine.sh: $(chroot "$fs" dpkg-query -W -f '${Package} ${Version}' wine64) in $fs"
exec unshare --mount --propagation private -- /bin/bash -euc '
  fs=$1 src=$2
  shift 2
  mount -t proc proc "$fs/proc"
  mount --rbind /dev "$fs/dev"
  mount --bind /tmp "$fs/tmp"
  mkdir -p "$fs$src"
  mount --bind "$src" "$fs$src"
  exec chroot "$fs" /usr/bin/env -i "$@"
' newer-wine "$fs" "$root" "${pass[@]}" /bin/bash "$root/tests/win32/run.sh" "$win_build" "$native_build"
