#!/usr/bin/env bash
# The benchmark with the Windows program added: sets up a private X server and
# a fresh Wine prefix, keeps one Wine server running (its CPU time is counted
# with the program's), then runs bench/run.py --windows EXE with the other
# arguments. Everything started here ends with the script.
#
#   bench/wine.sh build-win64/tarvelin.exe -n 100000 -r 3 --only windows-log,tarvelin-log
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
if [ $# -lt 1 ] || [ ! -f "$1" ]; then
  echo "usage: bench/wine.sh TARVELIN_EXE [run.py arguments]" >&2
  exit 2
fi
exe="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
shift
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

tmp="$(mktemp -d /tmp/tvbench-wine.XXXXXX)"
xvfb=""
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  if [ -n "$xvfb" ]; then kill "$xvfb" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
export WINEPREFIX="$tmp/prefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
  display=$((display + 1))
done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=":$display"
for _ in $(seq 50); do
  [ -e "/tmp/.X11-unix/X$display" ] && break
  sleep 0.1
done

echo "wine.sh: preparing a Wine prefix" >&2
timeout 180 "$wine" wineboot -i >/dev/null 2>&1
"$wineserver" -w
"$wineserver" -p
# The first program started brings up Wine's own services; they live as long
# as the server and would otherwise hold the first measured run's pipes.
timeout 120 "$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
# The server of this prefix (another one may run for other prefixes).
TV_WINESERVER_PID=""
for pid in $(pgrep wineserver || true); do
  if { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
    TV_WINESERVER_PID=$pid
  fi
done
export TV_WINESERVER_PID
if [ -z "$TV_WINESERVER_PID" ]; then
  echo "wine.sh: the Wine server was not found; its CPU time is left out" >&2
else
  echo "wine.sh: the Wine server is process $TV_WINESERVER_PID" >&2
fi
"$here/run.py" --windows "$exe" "$@"
