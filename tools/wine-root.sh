#!/usr/bin/env bash
# Makes the Debian 13 ("trixie") root in which the Windows program's TLS
# cases run under trixie's Wine 10 (tests/win32/newer-wine.sh), from
# Debian's packages with mmdebstrap, and keeps it for later runs. A root
# made from the same suite and package list is used as it is; any other is
# made anew. Prints the root's folder.
#
#   tools/wine-root.sh           make the root unless it is current
#   tools/wine-root.sh --check   only tell whether it is (exit 0) or not (1)
#
# Variables:
#   TV_WINE_ROOT      the cache folder (default ~/.cache/tarvelin/trixie-wine);
#                     the root is its subfolder root, the list it was made
#                     from is the file key, and the file lock is held while
#                     the root is made or used
#   TV_DEBIAN_MIRROR  Debian's archive (default http://deb.debian.org/debian)
#
# Run as root: the packages are installed in a chroot.
set -euo pipefail

suite=trixie
mirror="${TV_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
cache="${TV_WINE_ROOT:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/tarvelin/trixie-wine}"
# What tests/win32/run.sh needs for the TLS cases of the 64-bit program:
# Wine and the TLS library its Schannel loads (only recommended by Wine),
# the X server, Python for the peers and the certificates, openssl and curl
# for the peers. The 32-bit Wine (wine32:i386) is left out: the server side
# is the same code in both builds, and a second architecture would double
# the root.
packages=(wine wine64 libgnutls30t64 xvfb python3 openssl curl)
# Raised whenever the way the root is made changes, so that an older root
# is made anew.
format=1
key="suite $suite, format $format, packages ${packages[*]}"

current() {
  [ -f "$cache/key" ] && [ "$(cat "$cache/key")" = "$key" ] && [ -x "$cache/root/usr/bin/wine" ]
}
if [ "${1:-}" = --check ]; then current && exit 0 || exit 1; fi
if current; then
  echo "$cache/root"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "wine-root.sh: the root of $suite is made as root (a chroot install)" >&2
  exit 2
fi
if ! command -v mmdebstrap >/dev/null 2>&1; then
  echo "wine-root.sh: mmdebstrap is missing (tools/deps.sh installs it)" >&2
  exit 2
fi

mkdir -p "$cache"
# One maker at a time, and none while a run uses the root (a run holds the
# lock shared); whoever waited finds the root made.
exec 9>>"$cache/lock"
flock 9
if current; then
  echo "$cache/root"
  exit 0
fi
rm -rf "$cache/root.new" "$cache/key"
trap 'rm -rf "$cache/root.new"' EXIT
started=$SECONDS
echo "wine-root.sh: making the $suite root in $cache/root (${packages[*]})" >&2
# Only what is needed: the Essential packages and the list, no recommended
# ones, no documentation, manual pages or translations. /etc/hosts names
# localhost, which the cases connect to.
made=0
for try in 1 2 3; do
  if mmdebstrap --mode=root --variant=essential --quiet \
    --aptopt='APT::Install-Recommends "false"' \
    --dpkgopt='path-exclude=/usr/share/doc/*' \
    --dpkgopt='path-exclude=/usr/share/man/*' \
    --dpkgopt='path-exclude=/usr/share/locale/*' \
    --include="$(
      IFS=,
      echo "${packages[*]}"
    )" \
    --customize-hook='printf "127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n" >"$1/etc/hosts"' \
    "$suite" "$cache/root.new" "$mirror" >&2; then
    made=1
    break
  fi
  # A mirror caught mid-sync fails one index; a little later it is whole.
  echo "wine-root.sh: mmdebstrap failed (try $try of 3)" >&2
  rm -rf "$cache/root.new"
  sleep $((try * 10))
done
if [ "$made" != 1 ]; then exit 1; fi
rm -rf "$cache/root"
mv "$cache/root.new" "$cache/root"
echo "$key" >"$cache/key"
echo "wine-root.sh: made in $((SECONDS - started)) s, $(du -sh "$cache/root" | cut -f1):" \
  "$(chroot "$cache/root" dpkg-query -W -f '${Package} ${Version}' wine64)" >&2
echo "$cache/root"
