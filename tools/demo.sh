#!/usr/bin/env bash
# The demo: a Tarvelin server script and a Tarvelin client script talk to each
# other over 127.0.0.1; both logs are printed at the end.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
cmake --preset linux >/dev/null
cmake --build build >/dev/null
work="$(mktemp -d)"
trap 'kill $server 2>/dev/null || true; rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config"
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"

build/tarvelin -p "$work/server.log" -a "$port" examples/demo/server.tvl </dev/null &
server=$!
for _ in $(seq 100); do
  grep -q "port" "$work/server.log" 2>/dev/null && break
  sleep 0.05
done
status=0
build/tarvelin -p "$work/client.log" -c 127.0.0.1 "$port" examples/demo/client.tvl </dev/null || status=$?
wait "$server" || status=$?

show() {
  echo "===== $1 ====="
  iconv -f CP1250 -t UTF-8 "$2" | tr -d '\r'
}
show "server log" "$work/server.log"
show "client log" "$work/client.log"
exit "$status"
