# The TLS cases of tests/win32/run.sh: tarvelin.exe against openssl s_server,
# s_client, curl and a Python https peer, with certificates made by the
# generator of the headless program's TLS runs. Sourced by cases.sh.
# shellcheck shell=bash disable=SC2154,SC2034

# The client's exchanges and its refusals: the rows of
# tests/tls/table, played by tls_table at the end of this file.
TLS_CASES="tls_server_s_client_and_curl tls_server_files_like_headless tls_capture_over_https
tls_timeout_on_silent_peer_like_headless tls_interrupted_handshake_like_headless
tls_reset_mid_stream_like_headless tls_client_certificate_like_headless
tls_trust_anchoring_like_headless tls_broken_stream_like_headless
tls_old_protocol_server_like_headless tls_server_refuses_old_client_like_headless"

# The certificates of tests/tls/tls_test.py in $dir/certs, the CA and the
# files the scripts name beside the scripts.
need_tls() {
  for tool in openssl curl; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "no $tool for the TLS peers"
      exit 77
    fi
  done
  mkdir -p "$dir/certs"
  python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import tls_test
tls_test.make_certificates(sys.argv[2])' "$root/tests/tls" "$dir/certs"
  # A password of plain letters too: Wine's import cannot decrypt a file
  # whose password has letters beyond ASCII.
  (cd "$dir/certs" && openssl pkcs12 -export -in server.pem -inkey server.key -certfile ca.pem \
    -out ascii.p12 -passout "pass:tajne heslo" 2>/dev/null)
  cp "$dir/certs/ca.pem" "$dir/certs/other-ca.pem" "$dir/certs/server.p12" \
    "$dir/certs/nopass.p12" "$dir/certs/ascii.p12" "$dir/"
}

# openssl s_server on the port for one connection; it sends every line back
# reversed. Further words go to s_server. What it tells of the connection
# goes to NAME.peer.err.
# S_SERVER_CERT names another certificate for the server's key.
start_s_server() {
  local name=$1 port=$2
  shift 2
  start_listening_peer "$name" ACCEPT openssl s_server -accept "127.0.0.1:$port" \
    -cert "${S_SERVER_CERT:-$dir/certs/server.pem}" -key "$dir/certs/server.key" -naccept 1 \
    -rev ${S_SERVER_EXTRA:-} "$@" </dev/null
}

# A peer of tests/win32/peers.py: KIND and its words after NAME.
start_py_peer() {
  local name=$1
  shift
  start_listening_peer "$name" ready python3 "$here/peers.py" "$@"
}

# Waits until the log holds a line with this text.
log_shows() {
  for _ in $(seq 300); do
    if [ -f "$dir/TARVELIN.LOG" ] && as_text "$dir/TARVELIN.LOG" 2>/dev/null | grep -qF "$1"; then
      return 0
    fi
    sleep 0.1
  done
  echo "the log never showed: $1" >&2
  describe_state >&2
  return 1
}

# What differs between the two programs by nature: the TLS library's choice
# of protocol and cipher, its words for a failure, full paths.
TLS_LOG_FILTER='s/^\(Spojení TLS navázáno:\).*/\1 …/; s/^\(TLS nelze navázat: [^(]*\) (.*)$/\1/; s/^\(Zahajuji TLS jako server, certifikát\) .*/\1 …/; s/^\(Soubor .*, úplná cesta\) .*/\1 …/; s/^\(Spojení TLS porušeno: [^(]*\) (.*)$/\1/; s/^\(Certifikát klienta:\) .*/\1 …/'

tls_files_for_headless() {
  mkdir -p "$dir/headless"
  cp "$dir"/*.pem "$dir"/*.p12 "$dir/headless/"
  if compgen -G "$dir/*.cer" >/dev/null; then cp "$dir"/*.cer "$dir/headless/"; fi
}

# The headless program's run of the same script, against s_servers started
# anew on the same ports (nothing without the headless program).
tls_like_headless() {
  have_headless || return 0
  local script=$1
  shift
  local port
  for port in "$@"; do start_s_server "headless-$port" "$port"; done
  tls_files_for_headless
  LOG_FILTER=$TLS_LOG_FILTER same_log_as_headless - "$script"
}

# The headless program's run of the same script against the same kind of
# peer of peers.py, started anew (nothing without the headless program).
tls_py_like_headless() {
  have_headless || return 0
  local script=$1
  shift
  start_py_peer headless "$@"
  tls_files_for_headless
  LOG_FILTER="$TLS_LOG_FILTER${LOG_FILTER:+; $LOG_FILTER}" same_log_as_headless - "$script"
  peer_done headless
}

# Scenario lines for the window "main": the error box with this text is
# confirmed, the run is over and the window is closed.
error_box_then_close() {
  cat <<EOF
box e "*** CHYBA ***" "$1"
press e 1
gone e
title main "Tarvelin 1.10"
close main
gone main
EOF
}

# The box of a failed StartTls in the run of SCRIPT, then the program is
# closed.
tls_failure_box() {
  local script=$1 words=$2
  drive <<EOF
window main "#32770" "Tarvelin - běží script $script"
box e "*** CHYBA ***" "Příkaz StartTls nelze provést, TLS nenavázáno: $words"
sleep 300
EOF
  shot "tls-error-${script%.tvl}"
  drive <<EOF
window main "#32770" "Tarvelin - běží script $script"
$(error_box_then_close "Příkaz StartTls nelze provést, TLS nenavázáno: $words")
EOF
  program_exits 20
}

# One failed StartTls: its box, then the program is closed.
tls_failure_run() {
  start_program "$1"
  tls_failure_box "$@"
}

# A TLS 1.2 server that asks for the client's certificate: given with
# ClientCert (the server requires one), and not given to a server that only
# asks (the handshake goes on without one, never hangs).
case_tls_client_certificate_like_headless() {
  need_tls
  # The table's certificates: its client.p12 has the password "klic".
  python3 "$root/tests/tls/tls_table.py" certs "$dir/certs"
  cp "$dir/certs/client.p12" "$dir/"
  for run in given asked refused; do
    port=$(free_port)
    options="Trust ca.pem"
    case $run in
      given)
        options='Trust ca.pem ClientCert client.p12 "klic"'
        S_SERVER_EXTRA="-tls1_2 -Verify 1 -CAfile $dir/certs/ca.pem"
        ;;
      asked) S_SERVER_EXTRA="-tls1_2 -verify 1 -CAfile $dir/certs/ca.pem" ;;
      refused) S_SERVER_EXTRA="-tls1_2 -Verify 1 -CAfile $dir/certs/ca.pem" ;;
    esac
    printf 'Connect localhost %s\nStartTls %s\nSend "ping" lf\nWaitFor LineStarting "gnip"\nDisconnect\nEnd\n' \
      "$port" "$options" | script "cert-$run.tvl"
    start_s_server "$run" "$port"
    rm -f "$dir/TARVELIN.LOG"
    if [ "$run" = refused ]; then
      # Under TLS 1.2 the server's refusal is the handshake's answer.
      tls_failure_run "cert-$run.tvl" "navazování TLS selhalo"
      as_text "$dir/TARVELIN.LOG" | grep -q '^TLS nelze navázat: navazování TLS selhalo (.\+)$'
    else
      start_program "cert-$run.tvl"
      program_exits 60
      as_text "$dir/TARVELIN.LOG" | grep -qx 'Načtena řádka gnip\\n'
    fi
    if [ "$run" = given ]; then
      grep -qE "CN ?= ?Tarvelin test client" "$dir/$run.peer.err"
    fi
    tls_like_headless "cert-$run.tvl" "$port"
  done
  # A server of any version that requires a certificate and gets none: under
  # TLS 1.3 its refusal comes after the handshake as an alert that fails the
  # read; where Schannel stops at TLS 1.2 (Wine), in the handshake.
  port=$(free_port)
  S_SERVER_EXTRA="-Verify 1 -CAfile $dir/certs/ca.pem"
  printf 'Connect localhost %s\nStartTls Trust ca.pem\nSend "ping" lf\nWaitFor LineStarting "gnip"\n' \
    "$port" | script cert-any.tvl
  start_s_server any "$port"
  rm -f "$dir/TARVELIN.LOG"
  start_program cert-any.tvl
  drive <<EOF
window main "#32770" "Tarvelin - běží script cert-any.tvl"
box-like e "*** CHYBA ***" "*"
$(error_box_then_close "" | sed 1d)
EOF
  program_exits 20
  as_text "$dir/TARVELIN.LOG" >"$dir/cert-any.log"
  if grep -q '^Spojení TLS navázáno: TLSv1\.3' "$dir/cert-any.log"; then
    grep -q '^Spojení TLS porušeno: partner ohlásil chybu TLS (.\+)$' "$dir/cert-any.log"
    grep -qx 'Koncové podmínky nebylo dosaženo.' "$dir/cert-any.log"
  else
    grep -q '^TLS nelze navázat: navazování TLS selhalo (.\+)$' "$dir/cert-any.log"
  fi
  S_SERVER_EXTRA=
}

# Skips the case when the program's log tells that Wine's Schannel has no
# server side; with TV_TLS_SERVER_REQUIRED=1 (as tests/win32/newer-wine.sh
# runs) that fails it.
server_side_missing() {
  if as_text "$dir/TARVELIN.LOG" | grep -q '^TLS nelze navázat: .*(error 0x80090302)$'; then
    if [ "${TV_TLS_SERVER_REQUIRED:-}" = 1 ]; then
      echo "Wine's Schannel has no server side (AcceptSecurityContext), which this run requires" >&2
      return 1
    fi
    echo "Wine's Schannel has no server side (AcceptSecurityContext: SEC_E_UNSUPPORTED_FUNCTION)"
    exit 77
  fi
}

# The server side: openssl s_client checks the chain and the name of the
# certificate from the password-protected file, curl gets a page with the
# file without a password.
case_tls_server_s_client_and_curl() {
  need_tls
  p1=$(free_port)
  p2=$(free_port)
  script server.tvl <<EOF
Accept $p1
StartTls Cert ascii.p12 "tajne heslo"
WaitFor LineStarting "ping"
Send "pong" cr lf
Disconnect
Accept $p2
StartTls Cert nopass.p12
WaitFor EmptyLine
Send "HTTP/1.1 200 OK" cr lf "Content-Length: 6" cr lf "Connection: close" cr lf cr lf "hello" lf
Disconnect
End
EOF
  start_program server.tvl
  log_shows "Čekám na připojení na portu $p1"
  (sleep 1; printf 'ping\n'; sleep 5) | timeout 20 openssl s_client -connect "127.0.0.1:$p1" \
    -CAfile "$dir/certs/ca.pem" -verify_return_error -servername localhost -ign_eof \
    >"$dir/s_client.out" 2>&1 || true
  server_side_missing
  grep -q "Verify return code: 0 (ok)" "$dir/s_client.out"
  grep -q "^pong" "$dir/s_client.out"
  log_shows "Čekám na připojení na portu $p2"
  timeout 20 curl -sS --cacert "$dir/certs/ca.pem" "https://localhost:$p2/x" >"$dir/curl.out" \
    2>"$dir/curl.err" || { cat "$dir/curl.err" >&2; return 1; }
  test "$(cat "$dir/curl.out")" = hello
  program_exits 30
  # The keys stored for Schannel went with the connections (Wine keeps a
  # user's key containers under this registry key).
  "$WINE" reg query 'HKCU\Software\Wine\Crypto\RSA' /s >"$dir/keys.txt" 2>&1 || true
  if grep -qF 'Crypto\RSA\' "$dir/keys.txt"; then
    echo "key containers were left behind:" >&2
    grep -F 'Crypto\RSA\' "$dir/keys.txt" >&2
    return 1
  fi
  as_text "$dir/TARVELIN.LOG" >"$dir/server.log"
  grep -qF "Zahajuji TLS jako server, certifikát $(winpath "$dir")\\ascii.p12" "$dir/server.log"
  test "$(grep -cE '^Spojení TLS navázáno: TLSv1\.[23], šifra ' "$dir/server.log")" = 2
  grep -qF 'Načtena řádka GET /x HTTP/1.1\r\n' "$dir/server.log"
}

# An https GET whose body, read after Content-Length into a capture file,
# equals the served bytes. The peer's close alert alone ends WaitFor End:
# the peer keeps the connection open until the program's own alert comes
# (and gives up only long after the program should have ended).
case_tls_capture_over_https() {
  need_tls
  port=$(free_port)
  python3 - "$dir/body.txt" <<'PYEOF'
import sys
with open(sys.argv[1], "wb") as f:
    f.write(b"".join(b"%06d the quick brown fox jumps over the lazy dog\n" % i
                     for i in range(6000)) + b"no line end at the end")
PYEOF
  start_py_peer https https "$port" "$dir/certs" "$dir/body.txt"
  script get.tvl <<EOF
Connect localhost $port
StartTls Trust ca.pem
Send "GET /data HTTP/1.0" cr lf "Host: localhost" cr lf cr lf
WaitFor LineStarting "Content-Length: "
WaitFor EmptyLine
OutputFile body.out
WaitFor End
CloseOutput
End
EOF
  start_program get.tvl
  program_exits 30
  # The program's own close answered the alert: the peer did not wait for
  # it in vain.
  peer_done https
  cmp "$dir/body.txt" "$dir/body.out"
  as_text "$dir/TARVELIN.LOG" | grep -qx "Ukončení spojení ze strany partnerského počítače."
  LOG_FILTER='s|^\(Otevírám pro zápis soubor \).*body.out$|\1body.out|' \
    tls_py_like_headless get.tvl https "$port" "$dir/certs" "$dir/body.txt"
  if have_headless; then cmp "$dir/body.txt" "$dir/headless/body.out"; fi
}

# Certificate files the server cannot use: a wrong password, a missing file,
# a file that is no PKCS#12. Each fails before anything is sent.
case_tls_server_files_like_headless() {
  need_tls
  cp "$dir/certs/server.pem" "$dir/"
  for run in password missing pem; do
    port=$(free_port)
    case $run in
      password) options='Cert ascii.p12 "špatné"' words="chybné heslo souboru s certifikátem" ;;
      missing) options="Cert missing.p12" words="soubor s certifikátem nelze použít" ;;
      pem) options="Cert server.pem" words="soubor s certifikátem nelze použít" ;;
    esac
    script "$run.tvl" <<EOF
Accept $port
StartTls $options
EOF
    rm -f "$dir/TARVELIN.LOG"
    start_program "$run.tvl"
    log_shows "Čekám na připojení na portu $port"
    python3 -c 'import socket, sys
c = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=30)
if c.recv(100) != b"": sys.exit("bytes came before the close")' "$port"
    tls_failure_box "$run.tvl" "$words"
    as_text "$dir/TARVELIN.LOG" | grep -qF "TLS nelze navázat: $words ("
    if have_headless; then
      tls_files_for_headless
      # The headless program listens once it has started: tried until then.
      python3 -c 'import socket, sys, time
for _ in range(400):
    try:
        c = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=30)
        break
    except ConnectionRefusedError:
        time.sleep(0.05)
c.recv(100)' "$port" &
      echo $! >>"$dir/pids"
      LOG_FILTER=$TLS_LOG_FILTER same_log_as_headless - "$run.tvl"
    fi
  done
}

# Starts SCRIPT with the Run button against a silent peer of peers.py on
# $port: the handshake begins and waits for the peer without using the
# processor for MS milliseconds; the rest of the scenario (for the window
# "main") comes from standard input.
handshake_with_silent_peer() {
  local script=$1 ms=$2 rest
  rest=$(cat)
  start_py_peer silent silent "$port"
  start_program
  drive <<EOF
window main "#32770" "Tarvelin 1.10"
settext main 1000 "$script"
click main 1002
text main 1004 "Navazuji spojení TLS"
idle-cpu main $ms 5
$rest
EOF
}

# A peer takes the connection and never answers the client's hello: the
# Timeout ends the StartTls with its box, the connection is closed (the peer
# sees its end) and meanwhile the window answers without using the
# processor.
case_tls_timeout_on_silent_peer_like_headless() {
  need_tls
  port=$(free_port)
  script ticho.tvl <<EOF
Connect 127.0.0.1 $port
Timeout 4000
StartTls Trust ca.pem
Send "ping" lf
EOF
  handshake_with_silent_peer ticho.tvl 1500 <<EOF
timeout 10000
$(error_box_then_close "Vypršel časový limit příkazu StartTls")
EOF
  program_exits 20
  peer_done silent
  log_is <<EOF
Program zahájen.
Interpretuji soubor ticho.tvl
$(log_connect 127.0.0.1 "$port")
\$\$ Timeout 4000
\$\$ StartTls Trust ca.pem
Zahajuji TLS jako klient, adresa serveru 127.0.0.1
TLS nelze navázat: Vypršel časový limit.
Spojení ukončeno.
Vypršel časový limit 4000 ms.
Soubor interpretován a uzavřen.
Konec programu.
EOF
  tls_py_like_headless ticho.tvl silent "$port"
}

# The headless program's operator interrupts once its handshake has begun.
interrupt_when_tls_starts() {
  for _ in $(seq 300); do
    grep -q "Zahajuji TLS" "$dir/headless/TARVELIN.LOG" 2>/dev/null && break
    sleep 0.05
  done
  echo interrupt
}

# The same silent peer, and the operator interrupts the handshake with the
# Run button: the run ends with the box of the failed StartTls, the
# connection is closed and the window is idle again.
case_tls_interrupted_handshake_like_headless() {
  need_tls
  port=$(free_port)
  script stop.tvl <<EOF
Connect 127.0.0.1 $port
StartTls Trust ca.pem
Send "ping" lf
EOF
  handshake_with_silent_peer stop.tvl 1000 <<'EOF'
click main 1002
box e "*** CHYBA ***" "Příkaz StartTls nelze provést, TLS nenavázáno: Obsluha přerušila akci."
press e 1
gone e
title main "Tarvelin 1.10"
text main 1002 "&Spuštění scriptu"
close main
gone main
EOF
  program_exits 20
  peer_done silent
  log_is <<EOF
Program zahájen.
Interpretuji soubor stop.tvl
$(log_connect 127.0.0.1 "$port")
\$\$ StartTls Trust ca.pem
Zahajuji TLS jako klient, adresa serveru 127.0.0.1
Akce přerušena obsluhou.
TLS nelze navázat: Obsluha přerušila akci.
Spojení ukončeno.
Soubor interpretován a uzavřen.
Konec programu.
EOF
  HEADLESS_INPUT=interrupt_when_tls_starts tls_py_like_headless stop.tvl silent "$port"
}

# The log lines of what the reset peer of peers.py sends between "line 2"
# and "line 3".
reset_peer_bulk() {
  local x i
  x=$(printf '%990s' '' | tr ' ' x)
  for i in $(seq -w 0 39); do printf 'Načtena řádka bulk %s %s\\n\n' "$i" "$x"; done
}

# After the handshake the peer sends its last lines and resets the
# connection at once: the lines are read, and the reset ends the next
# WaitFor. On a plain connection that is the peer's close (the same dialogue
# without TLS is played first); over TLS a reset is no close alert: the
# stream was cut, and the WaitFor fails naming that.
case_tls_reset_mid_stream_like_headless() {
  need_tls
  for mode in plain tls; do
    port=$(free_port)
    if [ "$mode" = tls ]; then
      start="StartTls Trust ca.pem" certs=$dir/certs
    else
      start="" certs=plain
    fi
    script "reset-$mode.tvl" <<EOF
Connect localhost $port
$start
WaitFor LineStarting "line 1"
Send "ok" lf
WaitFor LineStarting "line 3"
WaitFor LineStarting "never"
EOF
    start_py_peer "$mode" reset "$port" "$certs"
    rm -f "$dir/TARVELIN.LOG"
    start_program "reset-$mode.tvl"
    if [ "$mode" = tls ]; then
      box='box-like e "*** CHYBA ***" "Spojení TLS porušeno, koncové podmínky nebylo dosaženo: spojení skončilo bez zprávy close_notify*"'
    else
      box='box e "*** CHYBA ***" "Předčasný pád spojení, koncové podmínky nebylo dosaženo"'
    fi
    drive <<EOF
window main "#32770" "Tarvelin - běží script reset-$mode.tvl"
$box
$(error_box_then_close "" | sed 1d)
EOF
    program_exits 20
    peer_done "$mode"
  done
  log_is <<EOF
Program zahájen.
Interpretuji soubor reset-tls.tvl
$(log_connect localhost "$port")
\$\$ StartTls Trust ca.pem
Zahajuji TLS jako klient, jméno serveru localhost
$(as_text "$dir/TARVELIN.LOG" | grep '^Spojení TLS navázáno: ')
$(log_wait_for LineStarting "line 1" 'line 1\n')
\$\$ Send "ok" lf
Odesílám řádku ok\n
\$\$ WaitFor LineStarting "line 3"
Zahájeno čtení řádek ze socketu, dokud nenarazím na řádku začínající textem line 3
Načtena řádka line 2\n
$(reset_peer_bulk)
Načtena řádka line 3\n
Koncová podmínka splněna.
\$\$ WaitFor LineStarting "never"
Zahájeno čtení řádek ze socketu, dokud nenarazím na řádku začínající textem never
$(as_text "$dir/TARVELIN.LOG" | grep '^Spojení TLS porušeno: spojení skončilo bez zprávy close_notify')
Koncové podmínky nebylo dosaženo.
Soubor interpretován a uzavřen.
Konec programu.
EOF
  tls_py_like_headless reset-tls.tvl reset "$port" "$dir/certs"
}

# The Trust file is the set of roots: the chain must end at one of them. A
# file with only the server's own certificate trusts nothing, nor does one
# that adds another CA; the CA in DER (.cer) does, as in PEM.
case_tls_trust_anchoring_like_headless() {
  need_tls
  cp "$dir/certs/server.pem" "$dir/leaf.pem"
  cat "$dir/certs/server.pem" "$dir/certs/other-ca.pem" >"$dir/leaf-and-other.pem"
  openssl x509 -in "$dir/certs/ca.pem" -outform DER -out "$dir/ca.cer"
  local run trust port
  for run in leaf leaf-and-other der; do
    port=$(free_port)
    case $run in
      leaf) trust=leaf.pem ;;
      leaf-and-other) trust=leaf-and-other.pem ;;
      der) trust=ca.cer ;;
    esac
    printf 'Connect localhost %s\nStartTls Trust %s\nSend "ping" lf\nWaitFor LineStarting "gnip"\nDisconnect\nEnd\n' \
      "$port" "$trust" | script "anchor-$run.tvl"
    start_s_server "$run" "$port"
    rm -f "$dir/TARVELIN.LOG"
    if [ "$run" = der ]; then
      start_program "anchor-$run.tvl"
      program_exits 60
      as_text "$dir/TARVELIN.LOG" | grep -qx 'Načtena řádka gnip\\n'
    else
      tls_failure_run "anchor-$run.tvl" "certifikát partnera není důvěryhodný"
      as_text "$dir/TARVELIN.LOG" | grep -q '^TLS nelze navázat: certifikát partnera není důvěryhodný ('
    fi
    tls_like_headless "anchor-$run.tvl" "$port"
  done
}

# A stream spoilt after the handshake by the tamper peer of peers.py: a bit
# of an authentication tag flipped, plaintext in front of a record, a close
# alert forged in the clear, the TCP connection closed without the close
# alert. Each fails WaitFor End (none is the orderly end); what came before
# stays in the buffer and the capture file, nothing after it is used.
case_tls_broken_stream_like_headless() {
  need_tls
  local how words fault port
  for how in flip inject forge cut; do
    port=$(free_port)
    script "$how.tvl" <<EOF
Connect localhost $port
StartTls Trust ca.pem
Send "ping" cr lf
OutputFile got-$how.out
WaitFor End
EOF
    if [ "$how" = cut ]; then
      words="spojení skončilo bez zprávy close_notify"
    else
      words="přijatý záznam TLS je poškozený nebo neplatný"
    fi
    start_py_peer "$how" tamper "$port" "$dir/certs" "$how"
    rm -f "$dir/TARVELIN.LOG"
    start_program "$how.tvl"
    drive <<EOF
window main "#32770" "Tarvelin - běží script $how.tvl"
box-like e "*** CHYBA ***" "Spojení TLS porušeno, koncové podmínky nebylo dosaženo: $words*"
$(error_box_then_close "" | sed 1d)
EOF
    program_exits 20
    peer_done "$how"
    grep -qx "spoilt: $how" "$dir/$how.peer.out"
    as_text "$dir/TARVELIN.LOG" | sed -n '/^\$\$ WaitFor End$/,$p' >"$dir/$how.log"
    if [ "$how" = cut ]; then
      fault="Spojení TLS porušeno: $words"
    else
      fault=$(grep "^Spojení TLS porušeno: $words (.\+)$" "$dir/$how.log")
    fi
    diff -u - "$dir/$how.log" <<EOF
\$\$ WaitFor End
Zahájeno čtení řádek ze socketu až do ukončení spojení
Načtena řádka pong\\n
$fault
V bufferu pro čtení zůstává: half
Koncové podmínky nebylo dosaženo.
Soubor interpretován a uzavřen.
Soubor pro opisování dat zůstal otevřen - uzavírám jej.
Konec programu.
EOF
    test "$(cat "$dir/got-$how.out")" = "$(printf 'pong\nhalf')"
    LOG_FILTER='s|^\(Otevírám pro zápis soubor \).*\(got-.*\)$|\1\2|' \
      tls_py_like_headless "$how.tvl" tamper "$port" "$dir/certs" "$how"
    if have_headless; then cmp "$dir/got-$how.out" "$dir/headless/got-$how.out"; fi
  done
}

# A server that speaks only TLS 1.1 is refused, whatever the system's
# Schannel lets through.
case_tls_old_protocol_server_like_headless() {
  need_tls
  local port
  port=$(free_port)
  printf 'Connect localhost %s\nStartTls Trust ca.pem\nSend "ping" lf\n' "$port" | script old.tvl
  S_SERVER_EXTRA="-tls1_1 -cipher DEFAULT@SECLEVEL=0"
  start_s_server old "$port"
  tls_failure_run old.tvl "partner nepodporuje TLS 1.2 ani novější"
  as_text "$dir/TARVELIN.LOG" | grep -q '^TLS nelze navázat: partner nepodporuje TLS 1.2 ani novější (.\+)$'
  tls_like_headless old.tvl "$port"
  S_SERVER_EXTRA=
}

# openssl s_client speaking only TLS 1.1 to the port, tried until something
# listens there.
old_client() {
  python3 - "$1" <<'PYEOF'
import subprocess, sys, time
for _ in range(200):
    run = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:" + sys.argv[1],
                          "-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"],
                         stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    if b"Connection refused" not in run.stderr:
        break
    time.sleep(0.05)
PYEOF
}

# The server side refuses a client that speaks only TLS 1.1.
case_tls_server_refuses_old_client_like_headless() {
  need_tls
  local port
  port=$(free_port)
  printf 'Accept %s\nStartTls Cert nopass.p12\n' "$port" | script old-client.tvl
  start_program old-client.tvl
  log_shows "Čekám na připojení na portu $port"
  old_client "$port"
  log_shows "TLS nelze navázat: "
  server_side_missing
  tls_failure_box old-client.tvl "partner nepodporuje TLS 1.2 ani novější"
  if have_headless; then
    tls_files_for_headless
    old_client "$port" &
    echo $! >>"$dir/pids"
    LOG_FILTER=$TLS_LOG_FILTER same_log_as_headless - old-client.tvl
  fi
}
# The rows of tests/tls/table (its README tells the format), each played by
# the Windows program as the headless program plays it in the CTest test
# tls-table: the row's peer, files and command line; its boxes, the ones its
# expected standard error lists, answered; its log and exit status compared
# with the row after the filter for what differs by nature. A row marked as
# differing on Windows or under this Wine is reported and does not fail the
# case (nor does a marked row that no longer differs, which is told).
# TV_TLS_ROWS names the rows to play (default: all).
case_tls_table() {
  need_tls
  local table=$root/tests/tls/tls_table.py certs=$dir/certs case_dir=$dir
  local backend row port status peer_pid peer_status differ="" args
  python3 "$table" certs "$certs"
  backend=wine$("$WINE" --version | sed -n 's/^wine-\([0-9]*\).*/\1/p')
  echo "playing the rows as $backend"
  for row in ${TV_TLS_ROWS:-$(python3 "$table" list)}; do
    dir=$case_dir/$row
    mkdir -p "$dir"
    # What the row starts is ended with the case's own processes.
    ln -s ../pids "$dir/pids"
    port=$(free_port)
    python3 "$table" prepare "$row" "$dir" "$certs" "$port" >"$dir/args"
    mapfile -t args <"$dir/args"
    start_listening_peer peer ready python3 "$table" peer "$row" "$dir" "$certs" "$port"
    peer_pid=$PEER_PID
    start_program "${args[@]}"
    python3 "$table" scenario "$row" >"$dir/answers.txt"
    # A scenario that fails has shown the state: the program is ended.
    if { [ -s "$dir/answers.txt" ] && ! drive <"$dir/answers.txt"; } ||
      ! program_exits 20 >>"$dir/state.txt" 2>&1; then
      kill -9 "$PROGRAM_PID" 2>/dev/null || true
      "$WINESERVER" -k >/dev/null 2>&1 || true
    fi
    status=0
    wait "$PROGRAM_PID" 2>/dev/null || status=$?
    for _ in $(seq 100); do
      kill -0 "$peer_pid" 2>/dev/null || break
      sleep 0.1
    done
    # (Its openssl ends with it.)
    kill -9 "$peer_pid" 2>/dev/null || true
    peer_status=0
    wait "$peer_pid" 2>/dev/null || peer_status=$?
    cat "$dir/peer.peer.out" "$dir/peer.peer.err" >"$dir/peer.told"
    if ! python3 "$table" check "$row" "$dir" "$port" --exit "$status" \
      --peer-exit "$peer_status" --peer-output "$dir/peer.told" --backend "$backend" \
      >"$dir/verdict.txt"; then
      differ="$differ $row"
      if [ -s "$dir/state.txt" ]; then sed 's/^/    /' "$dir/state.txt" >>"$dir/verdict.txt"; fi
    fi
    cat "$dir/verdict.txt"
    # A marked row is told even when the case passes.
    sed -n 's/^\(KNOWN\|SAME\) /NOTE: &/p' "$dir/verdict.txt"
  done
  if [ -n "$differ" ]; then
    echo "rows whose run differs from the table:$differ" >&2
    return 1
  fi
}
TLS_CASES="$TLS_CASES tls_table"
