#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
set -euo pipefail
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends \
  ca-certificates cmake ninja-build g++ make libgtest-dev libgmock-dev libbenchmark-dev \
  python3 perl clang libclang-rt-14-dev \
  mingw-w64 wine wine64 fonts-wine xvfb xdotool imagemagick zip xauth
