#!/usr/bin/env bash
# End-to-end tests of the Windows program: tarvelin.exe runs under Wine in a
# private X server (Xvfb) and a fresh Wine prefix, and tvdriver.exe operates it
# as a person would (see tests/win32/driver.cpp); the front end's own tests
# (tarvelin_win32_tests.exe) run first. Some cases compare the log with the one
# the headless program writes for the same script and peer.
#
#   tests/win32/run.sh WIN_BUILD_DIR [NATIVE_BUILD_DIR]
#
# WIN_BUILD_DIR holds tarvelin.exe and tests/win32/*.exe (the win64 preset's
# build-win64 or the win32 preset's build-win32: the 32-bit programs run with
# the 32-bit Wine loader in a fresh 32-bit prefix); NATIVE_BUILD_DIR holds the headless program and the test peer
# (default: build beside the sources). Nothing is built here. Variables:
#   TV_WINE_TIME_LIMIT  seconds for the whole run (default 900)
#   TV_SCREENSHOT       a PNG file that gets a picture of the main window
#                       during a run with check boxes
#   TV_SCREENSHOTS      a folder that gets pictures of the dialogs over the
#                       main window, the check boxes and the error box
#   TV_KEEP=1           keep the temporary folder (its path is printed)
#   TV_CASES            names of the cases to run (default: all)
#   TV_PROGRAM_WINEDEBUG  Wine's debug channels for tarvelin.exe only
#
# Every process started here is ended when the run ends, however it ends.
set -uo pipefail

if [ -z "${TV_UNDER_TIME_LIMIT:-}" ]; then
  export TV_UNDER_TIME_LIMIT=1
  exec timeout --kill-after=15 "${TV_WINE_TIME_LIMIT:-900}" "$0" "$@"
fi

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
if [ $# -lt 1 ]; then
  echo "usage: tests/win32/run.sh WIN_BUILD_DIR [NATIVE_BUILD_DIR]" >&2
  exit 2
fi
win_build="$(cd "$1" && pwd)"
native_build="${2:-$root/build}"
EXE="$win_build/tarvelin.exe"
DRIVER="$win_build/tests/win32/tvdriver.exe"
LAYER_TESTS="$win_build/tests/win32/tarvelin_win32_tests.exe"
HEADLESS="$native_build/tarvelin"
PEER="$native_build/tools/testpeer"
for f in "$EXE" "$DRIVER" "$LAYER_TESTS"; do
  if [ ! -f "$f" ]; then
    echo "run.sh: $f is missing: build the win64 or win32 preset first" >&2
    exit 2
  fi
done

# The machine the programs were built for (the PE header's machine field):
# a 32-bit build runs with the 32-bit loader (Debian's wine32:i386) in a
# 32-bit prefix, a 64-bit one with wine64.
machine="$(python3 -c '
import struct, sys
with open(sys.argv[1], "rb") as f:
    data = f.read(4096)
at = struct.unpack_from("<I", data, 0x3C)[0]
print({0x14C: "i386", 0x8664: "x86_64"}.get(struct.unpack_from("<H", data, at + 4)[0], "?"))
' "$EXE")"
case "$machine" in
  i386)
    if [ -x /usr/lib/wine/wine ]; then
      WINE=/usr/lib/wine/wine
    else
      echo "run.sh: $EXE is a 32-bit program, and the 32-bit Wine is missing (wine32:i386)" >&2
      exit 2
    fi
    WINE_ARCH=win32
    ;;
  x86_64)
    if command -v wine64 >/dev/null 2>&1; then
      WINE=wine64
    elif [ -x /usr/lib/wine/wine64 ]; then
      WINE=/usr/lib/wine/wine64
    else
      WINE=wine
    fi
    WINE_ARCH=win64
    ;;
  *)
    echo "run.sh: $EXE is no Windows program for i386 or x86_64" >&2
    exit 2
    ;;
esac
if command -v wineserver >/dev/null 2>&1; then
  WINESERVER=wineserver
elif [ -x /usr/lib/wine/wineserver ]; then
  WINESERVER=/usr/lib/wine/wineserver
else
  echo "run.sh: wineserver not found (Debian packages wine, wine64)" >&2
  exit 2
fi
for tool in Xvfb iconv python3; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "run.sh: $tool not found" >&2
    exit 2
  fi
done

TMP="$(mktemp -d /tmp/tarvelin-wine.XXXXXX)"
export WINEPREFIX="$TMP/prefix"
export WINEARCH=$WINE_ARCH
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LC_ALL=C.UTF-8
XVFB_PID=""
cleanup() {
  trap - EXIT INT TERM
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    "$WINESERVER" -k >/dev/null 2>&1 || true
  fi
  for pidfile in "$TMP"/cases/*/pids; do
    [ -f "$pidfile" ] || continue
    while read -r pid; do kill -9 "$pid" 2>/dev/null || true; done < "$pidfile"
  done
  if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
  if [ "${TV_KEEP:-}" = 1 ]; then
    echo "run.sh: kept $TMP"
  else
    rm -rf "$TMP"
  fi
}
trap cleanup EXIT
trap 'exit 124' INT TERM

# A private X server; it picks a free display number itself and tells it
# once it is ready, so that runs side by side never take the same one.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$TMP/display" >"$TMP/xvfb.log" 2>&1 &
XVFB_PID=$!
display=""
for _ in $(seq 100); do
  display="$(tr -dc 0-9 <"$TMP/display" 2>/dev/null)"
  [ -n "$display" ] && break
  sleep 0.1
done
if [ -z "$display" ]; then
  echo "run.sh: Xvfb did not start:" >&2
  cat "$TMP/xvfb.log" >&2
  exit 2
fi
export DISPLAY=":$display"

# A prefix made ready for the cases (WINEPREFIX): Wine's own fonts (Tahoma
# for the dialogs, Marlett for the caption buttons); one virtual desktop, so
# that windows have their frames and a foreground window exists; no crash
# dialog that could hang a run. The installer's case makes one of its own.
prepare_prefix() {
  timeout 180 "$WINE" wineboot -i >"$1" 2>&1
  "$WINESERVER" -w
  if [ -d /usr/share/wine/fonts ]; then
    cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
  fi
  "$WINE" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
  "$WINE" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
  "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -w
}

echo "run.sh: preparing a $WINEARCH Wine prefix in $WINEPREFIX ($machine programs)"
prepare_prefix "$TMP/wineboot.log"

passed=0
failed=0
skipped=0
retried=0
failures=""

echo "run.sh: the front end's own tests"
if (cd "$TMP" && timeout 300 "$WINE" "$LAYER_TESTS" >"$TMP/layer.txt" 2>&1); then
  grep -E '^\[(==========|  PASSED  |  SKIPPED )\] ' "$TMP/layer.txt" || true
  passed=$((passed + 1))
else
  cat "$TMP/layer.txt"
  failed=$((failed + 1))
  failures="$failures layer-tests"
fi

# ------------------------------------------------------------------ helpers
# Used by the cases in cases.sh; each case runs in a subshell with set -e in
# its own folder ($dir), which is also the program's current directory.

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# A port free on ::1.
free_port6() {
  python3 -c 'import socket; s=socket.socket(socket.AF_INET6); s.bind(("::1", 0)); print(s.getsockname()[1])'
}

# The Windows name of a Linux path (Wine's drive Z: is /).
winpath() {
  printf 'Z:%s' "$1" | tr '/' '\\'
}

# The same for a string in a driver scenario, where a backslash is doubled.
drvpath() {
  winpath "$1" | sed 's/\\/\\\\/g'
}

# A script (or other text file) from UTF-8 standard input, in Windows-1250
# with CR LF line ends.
script() {
  iconv -f UTF-8 -t CP1250 | sed 's/$/\r/' >"$dir/$1"
}

start_program() {
  (cd "$dir" && WINEDEBUG="${TV_PROGRAM_WINEDEBUG:-$WINEDEBUG}" exec "$WINE" "$EXE" "$@") \
    >>"$dir/program.out" 2>&1 &
  PROGRAM_PID=$!
  echo "$PROGRAM_PID" >>"$dir/pids"
}

scenario_count=0
# Plays the scenario on standard input with the driver.
drive() {
  scenario_count=$((scenario_count + 1))
  local file="$dir/scenario$scenario_count.txt"
  cat >"$file"
  if ! (cd "$dir" && timeout 180 "$WINE" "$DRIVER" "scenario$scenario_count.txt"); then
    describe_state quiet >&2
    return 1
  fi
}

# Waits until the program has ended by itself.
program_exits() {
  local limit=${1:-30}
  for _ in $(seq $((limit * 10))); do
    kill -0 "$PROGRAM_PID" 2>/dev/null || return 0
    sleep 0.1
  done
  echo "the program did not end within $limit s" >&2
  describe_state >&2
  return 1
}

# What a case that hangs has got to: the open windows (unless "quiet": the
# driver has just listed them), the log so far, what the program and the
# peers printed.
describe_state() {
  if [ "${1:-}" != quiet ]; then
    echo "windows" >"$dir/describe.txt"
    echo "open windows:"
    (cd "$dir" && timeout 30 "$WINE" "$DRIVER" describe.txt 2>&1) | sed 's/^/  /' || true
  fi
  if [ -f "$dir/TARVELIN.LOG" ]; then
    echo "the log so far:"
    iconv -f CP1250 -t UTF-8 "$dir/TARVELIN.LOG" | tr -d '\r' | sed 's/^/  /' || true
  fi
  local f
  for f in "$dir"/program.out "$dir"/*.peer.out "$dir"/*.peer.err; do
    [ -s "$f" ] || continue
    echo "$(basename "$f"):"
    sed 's/^/  /' "$f"
  done
}

# A file in Windows-1250 with CR LF line ends, as UTF-8 text with LF.
as_text() {
  if grep -q $'[^\r]$' "$1" 2>/dev/null; then
    echo "$1 has a line without CR LF" >&2
    return 1
  fi
  iconv -f CP1250 -t UTF-8 "$1" | tr -d '\r'
}

# The log (TARVELIN.LOG or the file named) equals standard input.
log_is() {
  local file="$dir/${1:-TARVELIN.LOG}"
  cat >"$dir/expected.log"
  if [ ! -f "$file" ]; then
    echo "no log $file" >&2
    return 1
  fi
  as_text "$file" >"$dir/actual.log"
  if ! diff -u "$dir/expected.log" "$dir/actual.log" >&2; then
    echo "the log differs from what was expected (- expected, + written)" >&2
    return 1
  fi
}

# Lines of expected logs, for the steps many cases share.

# A Connect to HOST (a name is looked up first; localhost stands for
# 127.0.0.1) on PORT that succeeds.
log_connect() {
  local host=$1 port=$2 address=$1
  printf '$$ Connect %s %s\n' "$host" "$port"
  if [ "$host" = localhost ]; then
    echo "Táži se serveru DNS na jméno localhost"
    address=127.0.0.1
  fi
  printf 'Čekám na připojení k %s, port %s\nSpojení navázáno v pořádku.\n' "$address" "$port"
}

# A WaitFor MODE (LineStarting or ExactMatch) "TEXT" that reads the LINES
# given (as the log shows them) and ends with the last.
log_wait_for() {
  local mode=$1 text=$2 what
  shift 2
  case $mode in
    LineStarting) what="řádku začínající textem" ;;
    ExactMatch) what="řádku se samotným textem" ;;
  esac
  printf '$$ WaitFor %s "%s"\n' "$mode" "$text"
  printf 'Zahájeno čtení řádek ze socketu, dokud nenarazím na %s %s\n' "$what" "$text"
  printf 'Načtena řádka %s\n' "$@"
  echo "Koncová podmínka splněna."
}

log_disconnect() {
  printf '$$ Disconnect\nUkončuji spojení.\nSpojení ukončeno.\n'
}

# A case that talks to the test peer is skipped without it.
need_peer() {
  if [ ! -x "$PEER" ]; then
    echo "no test peer at $PEER (build the linux preset)"
    exit 77
  fi
}

# A case on ::1 is skipped where the machine has no IPv6 loopback.
need_ipv6() {
  if ! python3 -c 'import socket; socket.socket(socket.AF_INET6).bind(("::1", 0))' 2>/dev/null; then
    echo "no IPv6 loopback (::1 cannot be bound): skipped"
    exit 77
  fi
}

have_headless() {
  [ -x "$HEADLESS" ] && [ -x "$PEER" ]
}

# Waits until the peer started last (PEER_PID) prints WORD on NAME.peer.out,
# which it does once it listens; its output is shown when it ends first or
# takes too long.
peer_listens() {
  local name=$1 word=$2
  for _ in $(seq 200); do
    grep -q "$word" "$dir/$name.peer.out" && return 0
    kill -0 "$PEER_PID" 2>/dev/null || break
    sleep 0.05
  done
  echo "the peer $name did not start:" >&2
  cat "$dir/$name.peer.out" "$dir/$name.peer.err" >&2 2>/dev/null
  return 1
}

# Starts a peer, the command line given, with NAME.peer.out and
# NAME.peer.err (emptied first, so that an earlier run's "ready" does not
# count) and waits until it prints WORD. PEER_PID is its process.
start_listening_peer() {
  local name=$1 word=$2
  shift 2
  : >"$dir/$name.peer.out"
  : >"$dir/$name.peer.err"
  "$@" >"$dir/$name.peer.out" 2>"$dir/$name.peer.err" &
  PEER_PID=$!
  echo "$PEER_PID" >>"$dir/pids"
  peer_listens "$name" "$word"
}

# Starts the test peer on the dialogue of standard input (UTF-8, sent and
# expected in Windows-1250) and waits until it listens. PEER_PID is its
# process.
start_peer() {
  local name=$1
  cat >"$dir/$name.peer.new"
  mv "$dir/$name.peer.new" "$dir/$name.peer"
  iconv -f UTF-8 -t CP1250 "$dir/$name.peer" >"$dir/$name.peer.cp1250"
  start_listening_peer "$name" ready "$PEER" "$dir/$name.peer.cp1250"
}

# A peer (relay of tests/win32/peers.py) on PORT that sends the lines the
# case gives it with "cue", each when the case wants it. One a case.
start_relay_peer() {
  local name=$1 port=$2
  mkfifo "$dir/$name.cues"
  # Opened for reading and writing, the pipe never blocks its opening.
  exec {RELAY_FD}<>"$dir/$name.cues"
  RELAY_NAME=$name
  : >"$dir/$name.peer.out"
  : >"$dir/$name.peer.err"
  # Its own redirection: a command started in the background would read
  # from /dev/null otherwise.
  python3 "$here/peers.py" relay "$port" <&"$RELAY_FD" >"$dir/$name.peer.out" \
    2>"$dir/$name.peer.err" &
  PEER_PID=$!
  echo "$PEER_PID" >>"$dir/pids"
  peer_listens "$name" ready
}

# The relay peer sends LINE (UTF-8 here, Windows-1250 with CR LF on the
# wire); returns once it has.
cue() {
  local out="$dir/$RELAY_NAME.peer.out" before
  before=$(grep -c '^sent' "$out" || true)
  printf '%s\n' "$1" >&"$RELAY_FD"
  for _ in $(seq 200); do
    [ "$(grep -c '^sent' "$out" || true)" -gt "$before" ] && return 0
    sleep 0.05
  done
  echo "the relay peer did not send: $1" >&2
  cat "$dir/$RELAY_NAME.peer.err" >&2
  return 1
}

# The exit status of the program, which has ended, is STATUS.
exit_status_is() {
  local status=0
  wait "$PROGRAM_PID" || status=$?
  if [ "$status" -ne "$1" ]; then
    echo "the program ended with status $status, not $1" >&2
    return 1
  fi
}

# The screen's resolution (pixels per inch) for the programs started next;
# 96 comes back after the case, however it ends.
set_dpi() {
  "$WINE" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f \
    >/dev/null 2>&1
  touch "$dir/dpi-changed"
}

peer_done() {
  local name=$1
  if ! wait "$PEER_PID"; then
    echo "the peer $name failed:" >&2
    cat "$dir/$name.peer.err" >&2
    return 1
  fi
}

# Runs the headless program on the same files in $dir/headless with the same
# arguments; its log must equal the log the Windows program left in $dir
# (its exit status is kept for headless_status_is).
# The peer dialogue, if one is named, is played again for it. LOG_FILTER, a
# sed expression, is applied to both logs first (for lines that must differ,
# such as full paths). HEADLESS_INPUT names a function whose output is the
# headless program's operator input (what the Windows case did with the
# window); without it the input is empty.
same_log_as_headless() {
  local peer=$1
  shift
  mkdir -p "$dir/headless"
  find "$dir" -maxdepth 1 -name '*.tvl' -exec cp {} "$dir/headless/" \;
  if [ "$peer" != - ]; then
    start_peer "$peer" <"$dir/$peer.peer"
  fi
  local status="$dir/headless/status"
  "${HEADLESS_INPUT:-true}" | (cd "$dir/headless" && HOME="$dir/headless" \
    XDG_CONFIG_HOME="$dir/headless" timeout 60 "$HEADLESS" "$@" >"$dir/headless/out.txt" 2>&1 &&
    echo 0 >"$status" || echo $? >"$status") || true
  if [ "$peer" != - ]; then peer_done "$peer"; fi
  as_text "$dir/headless/TARVELIN.LOG" | sed -e "${LOG_FILTER:-}" >"$dir/headless.log"
  as_text "$dir/TARVELIN.LOG" | sed -e "${LOG_FILTER:-}" >"$dir/windows.log"
  if ! diff -u "$dir/headless.log" "$dir/windows.log" >&2; then
    echo "the Windows log differs from the headless one (- headless, + Windows)" >&2
    return 1
  fi
}

# The headless program, run last by same_log_as_headless, ended with the
# exit status STATUS.
headless_status_is() {
  have_headless || return 0
  local status
  status=$(cat "$dir/headless/status")
  if [ "$status" -ne "$1" ]; then
    echo "the headless program ended with status $status, not $1" >&2
    return 1
  fi
}

# same_log_as_headless where the headless program is there; nothing
# without it.
like_headless() {
  have_headless || return 0
  same_log_as_headless "$@"
}

screenshot() {
  [ -n "${TV_SCREENSHOT:-}" ] || return 0
  if command -v import >/dev/null 2>&1; then
    import -window root -crop 660x420+30+30 +repage "$TV_SCREENSHOT" 2>/dev/null ||
      echo "run.sh: no screenshot taken" >&2
  fi
}

# shot NAME [GEOMETRY]: a picture of the screen (or of the part GEOMETRY,
# WxH+X+Y) as TV_SCREENSHOTS/NAME.png, when TV_SCREENSHOTS names a folder.
shot() {
  [ -n "${TV_SCREENSHOTS:-}" ] || return 0
  mkdir -p "$TV_SCREENSHOTS"
  local crop=()
  if [ -n "${2:-}" ]; then crop=(-crop "$2" +repage); fi
  if command -v import >/dev/null 2>&1; then
    import -window root "${crop[@]}" "$TV_SCREENSHOTS/$1.png" 2>/dev/null ||
      echo "run.sh: no screenshot $1 taken" >&2
  fi
}

# ------------------------------------------------------------------ cases
# shellcheck source=tests/win32/cases.sh
. "$here/cases.sh"

# One attempt at a case in a fresh folder; its status is the case's.
attempt_case() {
  local name=$1
  case_number=$((${case_number:-0} + 1))
  dir="$TMP/cases/$case_number-$name"
  mkdir -p "$dir"
  : >"$dir/pids"
  (
    set -e
    "case_$name"
  ) >"$dir/output.txt" 2>&1
  local status=$?
  # Whatever the case left running ends here: the program and its windows,
  # the driver, the peer.
  while read -r pid; do kill -9 "$pid" 2>/dev/null || true; done <"$dir/pids"
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -w
  if [ -e "$dir/dpi-changed" ]; then
    "$WINE" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f \
      >/dev/null 2>&1
    "$WINESERVER" -k >/dev/null 2>&1 || true
    "$WINESERVER" -w
  fi
  return "$status"
}

# A case that fails is played once more (on a loaded machine a driver's
# time limit can run out); its first failure is shown all the same, and a
# case that fails twice fails the run.
run_case() {
  local name=$1
  local started=$SECONDS
  attempt_case "$name"
  local status=$?
  if [ "$status" -ne 0 ] && [ "$status" -ne 77 ]; then
    echo "RETRY $name ($((SECONDS - started)) s), its first attempt:"
    sed 's/^/    /' "$dir/output.txt"
    retried=$((retried + 1))
    started=$SECONDS
    attempt_case "$name"
    status=$?
  fi
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
    echo "PASS $name ($((SECONDS - started)) s)"
    # What a passing case has to tell all the same.
    sed -n 's/^NOTE: /    /p' "$dir/output.txt"
  elif [ "$status" -eq 77 ]; then
    skipped=$((skipped + 1))
    echo "SKIP $name: $(tail -n 1 "$dir/output.txt")"
  else
    failed=$((failed + 1))
    failures="$failures $name"
    echo "FAIL $name ($((SECONDS - started)) s)"
    sed 's/^/    /' "$dir/output.txt"
  fi
}

for name in ${TV_CASES:-$ALL_CASES}; do
  run_case "$name"
done

echo "$passed passed, $failed failed, $skipped skipped, $retried retried"
if [ "$failed" -gt 0 ]; then
  echo "run.sh: failed:$failures" >&2
  exit 1
fi
exit 0
