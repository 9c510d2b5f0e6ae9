# The cases of tests/win32/run.sh about scripts that compute: text
# variables (SetText, -t) and the state dialog that lists them, Calc and
# TestCalc, byte items in Send, Fail, their failure boxes and the exit status
# of a failed run, file names from text variables and the script files that
# are refused. Sourced by cases.sh, after window_cases.sh.
# shellcheck shell=bash disable=SC2154,SC2034

LANG_CASES="text_variables_in_state_dialog_like_headless state_dialog_at_144_dpi
bytes_in_send_like_headless fail_and_failed_runs_like_headless exit_status_of_the_last_run
files_from_variables_like_headless"

# A script that keeps texts and computes with them, its 65,536-byte text
# built by doubling; started with a text and a counter on the command line.
computing_script() {
  {
    cat <<'EOF'
SetText pozdrav "Dobrý den" tab "Věro" cr lf
SetText kód pozdrav "!" esc
Calc n len(kód) * 2 + 0x10
Calc h hexnum("1f") << 2
SetText binární byte(0) byte(255) byte(127) be16(0x0102) "x\\y"
Calc b byte(binární, 1) + be16(binární, 3)
TestCalc n > 20 && h == 124
IfDef TRUE SetText výsledek "ano " dec(n) " " hex(h) " " dec(-7) " " hex(-255)
TestCounter n < h
IfDef TRUE Define MENŠÍ
SetText parametr parametr "+"
SetText velký "0123456789abcdef"
EOF
    for _ in $(seq 12); do echo "SetText velký velký velký"; done
    cat <<'EOF'
Calc délka len(velký)
Calc místo find(pozdrav, "Věro") + pocet
Stop
EOF
  } | script pocty.tvl
}

COMPUTING_ARGS=(-t parametr "Z příkazové řádky" -n pocet 5 pocty.tvl)

# The state dialog after the computing script's run (the variables outlive
# it): symbols, counters and the text variables, their values escaped and
# the long one cut; no list needs to scroll sideways, and the dialog lies on
# the screen. The actions in standard input follow.
open_state_dialog_after_computing() {
  drive < <(
    cat <<'EOF'
window main "#32770" "Tarvelin 1.10"
text main 1004 "Script ukončen."
syscommand main 2002
window st "#32770" "Zobrazení aktuálního stavu symbolů a čítačů"
list st 1010 "MENŠÍ" "TRUE"
list st 1011 "b=513" "délka=65536" "h=124" "místo=15" "n=52" "pocet=5"
list st 1014 "binární=\\000\\255\\127\\001\\002x\\\\y" "kód=Dobrý den\\tVěro\\r\\n!\\e" "parametr=Z příkazové řádky+" "pozdrav=Dobrý den\\tVěro\\r\\n" "velký=0123456789abcdef0123456789abcdef01234567… (65536 bytů)" "výsledek=ano 52 7c -7 -ff"
hscroll st 1010 0
hscroll st 1011 0
hscroll st 1014 0
on-screen st
EOF
    cat
  )
}

close_state_dialog_and_program() {
  drive <<'EOF'
window main "#32770" "Tarvelin 1.10"
window st "#32770" "Zobrazení aktuálního stavu symbolů a čítačů"
press st 1
gone st
close main
gone main
EOF
  program_exits 20
}

# SetText, Calc, TestCalc, TestCounter with a counter on its right, -t and
# -n: what the state dialog shows is what the script computed; the log is
# the headless program's.
case_text_variables_in_state_dialog_like_headless() {
  computing_script
  start_program "${COMPUTING_ARGS[@]}"
  open_state_dialog_after_computing <<'EOF'
centred-on st main
sleep 300
EOF
  shot state-dialog-texts 700x500+0+0
  close_state_dialog_and_program
  exit_status_is 0
  like_headless - "${COMPUTING_ARGS[@]}"
}

# The same dialog at 144 pixels per inch on the 1024 x 768 screen: whole on
# the screen, its lines still fitting their lists.
case_state_dialog_at_144_dpi() {
  set_dpi 144
  computing_script
  start_program "${COMPUTING_ARGS[@]}"
  # Higher than the main window, it keeps to the screen rather than to the
  # main window's centre.
  echo "sleep 300" | open_state_dialog_after_computing
  shot state-dialog-texts-144
  close_state_dialog_and_program
}

# Byte items in Send: an MQTT-like header of lengths computed from texts,
# then every kind of item; the peer receives exactly those bytes. Connect
# takes its server from a text and its port from a counter. A binary reply
# is read with Receive and taken apart with byte, be16 and le16, and the
# numbers go back as text. The log is the headless program's.
case_bytes_in_send_like_headless() {
  need_peer
  port=$(free_port)
  script bajty.tvl <<EOF
SetText server "127.0.0.1"
Calc port $((port - 1000)) + 1000
Connect server port
SetText topic "a/b"
SetText msg "ahoj"
Send byte(0x30) byte(len(topic) + len(msg) + 2) be16(len(topic)) topic msg
Send le16(0x1234) be32(0x01020304) le32(-2) hex(255) dec(-42) sub("xyzw", 1, 2) byte(0) byte(0xff) cr lf
Receive 6
Calc délka be16(line, 0)
Calc první byte(line, 2)
Calc le le16(line, 4)
Send "výsledek " dec(délka) " " dec(první) " " hex(le) cr lf
Disconnect
End
EOF
  cat >"$dir/peer.peer" <<EOF
listen $port
expect "\\x30\\x09\\x00\\x03a/bahoj"
expect "\\x34\\x12\\x01\\x02\\x03\\x04\\xfe\\xff\\xff\\xff" "ff-42yz\\x00\\xff\\r\\n"
send "\\x01\\x02\\x80\\x00\\x34\\x12"
expect "výsledek 258 128 1234\\r\\n"
expect-eof
EOF
  start_peer peer <"$dir/peer.peer"
  start_program bajty.tvl
  program_exits 40
  peer_done peer
  exit_status_is 0
  log_is <<EOF
Program zahájen.
Interpretuji soubor bajty.tvl
\$\$ SetText server "127.0.0.1"
\$\$ Calc port $((port - 1000)) + 1000
\$\$ Connect server port
Čekám na připojení k 127.0.0.1, port $port
Spojení navázáno v pořádku.
\$\$ SetText topic "a/b"
\$\$ SetText msg "ahoj"
\$\$ Send byte(0x30) byte(len(topic) + len(msg) + 2) be16(len(topic)) topic msg
Odesílám řádku 0\\t\\000\\003a/bahoj
\$\$ Send le16(0x1234) be32(0x01020304) le32(-2) hex(255) dec(-42) sub("xyzw", 1, 2) byte(0) byte(0xff) cr lf
Odesílám řádku 4\\018\\001\\002\\003\\004ţ\\255\\255\\255ff-42yz\\000\\255\\r\\n
\$\$ Receive 6
Zahájeno čtení bloku o délce 6 ze socketu
Načten blok dat \\001\\002€\\0004\\018
Blok dat v pořádku načten.
\$\$ Calc délka be16(line, 0)
\$\$ Calc první byte(line, 2)
\$\$ Calc le le16(line, 4)
\$\$ Send "výsledek " dec(délka) " " dec(první) " " hex(le) cr lf
Odesílám řádku výsledek 258 128 1234\\r\\n
$(log_disconnect)
\$\$ End
Soubor interpretován a uzavřen.
EOF
  like_headless peer bajty.tvl
}

# The run of SCRIPT shows the error box TEXT (a driver string), which is
# confirmed; the window, idle again, is closed and the program ends (see
# error_box_then_close in tls_cases.sh).
failed_run_then_close() {
  drive <<EOF
window main "#32770" "Tarvelin - běží script $1"
$(error_box_then_close "$2")
EOF
  program_exits 20
}

# Starts the program on SCRIPT, which fails with the error box TEXT: once it
# is confirmed and the window closed, the program ends with status 1, as the
# headless program does with the same log.
failed_run_like_headless() {
  local name=$1 text=$2
  rm -f "$dir/TARVELIN.LOG" "$dir"/headless/*
  start_program "$name"
  failed_run_then_close "$name" "$text"
  exit_status_is 1
  like_headless - "$name"
  headless_status_is 1
}

# Fail with a text built of a text variable, and without one; the failures
# of SetText and Calc: each its box, the run's end and status 1.
case_fail_and_failed_runs_like_headless() {
  script fail.tvl <<'EOF'
SetText odpověď "-ERR"
Fail "Server odpověděl " odpověď " místo +OK"
Message "Sem se script nedostane"
EOF
  failed_run_like_headless fail.tvl "Server odpověděl -ERR místo +OK"
  log_is <<EOF
Program zahájen.
Interpretuji soubor fail.tvl
\$\$ SetText odpověď "-ERR"
\$\$ Fail "Server odpověděl " odpověď " místo +OK"
Script ukončen příkazem Fail: Server odpověděl -ERR místo +OK
Soubor interpretován a uzavřen.
Konec programu.
EOF
  printf 'Fail\n' | script fail2.tvl
  failed_run_like_headless fail2.tvl "Script ohlásil chybu"
  as_text "$dir/TARVELIN.LOG" | grep -qxF "Script ukončen příkazem Fail."
  script citac.tvl <<'EOF'
SetCounter počet 1
SetText počet "text"
EOF
  failed_run_like_headless citac.tvl "Jméno počet již patří čítači"
  script nula.tvl <<'EOF'
Calc n 10 / (3 - 3)
EOF
  failed_run_like_headless nula.tvl "Výraz nelze vyhodnotit: Dělení nulou"
  script vyraz.tvl <<'EOF'
Calc n (1 + 2
EOF
  failed_run_like_headless vyraz.tvl "Nesprávný výraz ve scriptu"
  {
    echo 'SetText t "0123456789abcdef"'
    for _ in $(seq 12); do echo "SetText t t t"; done
    echo 'SetText t t "x"'
  } | script dlouhy.tvl
  failed_run_like_headless dlouhy.tvl "Text je delší než 65536 bytů"
}

# The exit status follows the last run: a Fail and then a run that ends
# normally give 0; a time limit that ends the run gives 3, as in the
# headless program.
case_exit_status_of_the_last_run() {
  printf 'Fail\n' | script fail.tvl
  # The second run's box tells that it has started: its end is the next
  # "Script ukončen.", which the failed run's end already shows.
  printf 'Message "Druhý běh"\nStop\n' | script dobry.tvl
  start_program fail.tvl
  drive <<'EOF'
box e "*** CHYBA ***" "Script ohlásil chybu"
press e 1
gone e
window main "#32770" "Tarvelin 1.10"
settext main 1000 "dobry.tvl"
click main 1002
box m "Zpráva scriptu" "Druhý běh"
press m 1
gone m
text main 1004 "Script ukončen."
close main
gone main
EOF
  program_exits 20
  exit_status_is 0
  script limit.tvl <<'EOF'
Timeout 500
ShowCheckBox A "Nikdo nezaškrtne"
WaitCheck A 1
EOF
  start_program limit.tvl
  failed_run_then_close limit.tvl "Vypršel časový limit příkazu WaitCheck"
  exit_status_is 3
  like_headless - limit.tvl
  headless_status_is 3
}

# OutputFile and Call take their file names from text variables; Append
# keeps what the capture file held and writes the received lines after it.
# The log is the headless program's but for the capture file's full path. A
# script that is a device is refused with its box and log line.
case_files_from_variables_like_headless() {
  need_peer
  port=$(free_port)
  script promenne.tvl <<EOF
SetText soubor "zachyceno.txt"
SetText volaný "vedlejší.tvl"
Connect 127.0.0.1 $port
OutputFile soubor Append
WaitFor End
Call volaný
Stop
EOF
  script vedlejší.tvl <<'EOF'
Comment voláno
EOF
  printf 'dříve\r\n' >"$dir/zachyceno.txt"
  cp "$dir/zachyceno.txt" "$dir/headless-zachyceno.txt"
  cat >"$dir/peer.peer" <<EOF
listen $port
send "data 1\r\ndata 2\r\n"
close
EOF
  start_peer peer <"$dir/peer.peer"
  start_program promenne.tvl
  drive <<'EOF'
window main "#32770" "Tarvelin 1.10"
text main 1004 "Script ukončen."
close main
gone main
EOF
  program_exits 20
  peer_done peer
  test "$(cat "$dir/zachyceno.txt")" = "$(printf 'dříve\r\ndata 1\r\ndata 2\r')"
  as_text "$dir/TARVELIN.LOG" |
    grep -qxF "Otevírám pro připisování soubor $(winpath "$dir")\zachyceno.txt"
  if have_headless; then
    mkdir -p "$dir/headless"
    cp "$dir/headless-zachyceno.txt" "$dir/headless/zachyceno.txt"
  fi
  LOG_FILTER='s|^\(Otevírám pro připisování soubor \).*zachyceno.txt$|\1zachyceno.txt|' \
    like_headless peer promenne.tvl
  if have_headless; then cmp "$dir/zachyceno.txt" "$dir/headless/zachyceno.txt"; fi

  script zarizeni.tvl <<'EOF'
SetText jméno "NUL"
Call jméno
EOF
  start_program zarizeni.tvl
  failed_run_then_close zarizeni.tvl \
    "Soubor $(drvpath "$dir")\\\\NUL nelze použít jako script: není to obyčejný soubor"
  exit_status_is 1
  log_is <<EOF
Program zahájen.
Interpretuji soubor zarizeni.tvl
\$\$ SetText jméno "NUL"
\$\$ Call jméno
Soubor $(winpath "$dir")\\NUL není obyčejný soubor, nelze jej interpretovat.
Konec programu.
EOF
}
