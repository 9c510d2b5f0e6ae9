#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
set -euo pipefail
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# The 32-bit Wine (wine32:i386) runs the 32-bit Windows program; it comes
# from the i386 architecture. googletest holds the sources the Windows tests'
# GoogleTest is built from with the mingw toolchain. Wine only recommends
# gnutls, and its TLS (the Windows program's StartTls) cannot work without it.
# nodejs is the ECMAScript engine the patterns are compared with (tests/ecma).
# xmllint (libxml2-utils) checks the suite runner's JUnit reports against the
# Ant and the Jenkins schemas. mmdebstrap makes the Debian 13 root with the
# newer Wine (tools/wine-root.sh) in which the Windows program's TLS cases run
# once more. nginx-light, mosquitto and mosquitto-clients are the servers
# (and the second client) the examples run against (tests/examples). nsis
# (makensis) makes the Windows program's installer tarvelin-setup.exe.
# python3-jsonschema validates the checker's SARIF output (tests/check).
# python3-aiosmtpd is the SMTP server the recorder's tests record smtplib
# against (tests/record).
if [ "$(dpkg --print-architecture)" = amd64 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
# A mirror caught mid-sync fails the update of one index; a second try a
# little later usually finds it whole, and an install from the indexes that
# did load still tells clearly what is missing.
for try in 1 2 3; do
  if $sudo apt-get update -q; then break; fi
  echo "deps.sh: apt-get update failed (try $try of 3)" >&2
  sleep $((try * 10))
done
packages=(
  ca-certificates cmake ninja-build g++ make libgtest-dev libgmock-dev googletest
  libbenchmark-dev python3 python3-jsonschema python3-aiosmtpd perl libxml2-utils clang clang-tidy libclang-rt-14-dev redis-server
  libssl-dev openssl curl nodejs
  mingw-w64 wine wine64 wine32:i386 fonts-wine xvfb xdotool imagemagick zip xauth
  libgnutls30 libgnutls30:i386 mmdebstrap
  nginx-light mosquitto mosquitto-clients nsis
)
if ! $sudo apt-get install -y -q --no-install-recommends "${packages[@]}"; then
  # When one architecture's security index did not load, a library shared by
  # both architectures has different newest versions in each; taking the
  # release's own versions keeps the two alike.
  codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
  [ -n "$codename" ] || exit 1
  echo "deps.sh: trying again with the packages of $codename itself" >&2
  $sudo apt-get install -y -q --no-install-recommends -t "$codename" "${packages[@]}"
fi
# The root with the newer Wine, unless the one made earlier is current.
"$(dirname "$0")/wine-root.sh" >/dev/null
