# The cases of tests/win32/run.sh about the main window around a run: the
# dialogs opened during a run, closing the window during a run, the script
# check's dialog, the exit status and long paths in boxes. Sourced by
# cases.sh, after tls_cases.sh.
# shellcheck shell=bash disable=SC2154,SC2034

WINDOW_CASES="system_dialogs_during_waitfor time_limit_behind_dialog
close_box_during_waitfor_like_headless alt_f4_during_wait_like_headless
taskkill_during_accept_like_headless close_message_during_startup_accept_like_headless
close_message_during_blocked_send alt_f4_during_tls_handshake_like_headless
check_dialog_at_144_dpi long_path_in_box"

# The headless program's operator closes the window once its log holds
# HEADLESS_CLOSE_AFTER, then gives the answers in HEADLESS_ANSWERS (words);
# the dialogs after them take their default buttons.
close_when_logged() {
  for _ in $(seq 300); do
    if [ -f "$dir/headless/TARVELIN.LOG" ] &&
      as_text "$dir/headless/TARVELIN.LOG" 2>/dev/null | grep -qF "$HEADLESS_CLOSE_AFTER"; then
      break
    fi
    sleep 0.05
  done
  echo close
  local answer
  for answer in ${HEADLESS_ANSWERS:-}; do echo "$answer"; done
}

# The line WORD reaches the WaitFor LineStarting "WORD" of okna.tvl while
# the dialog of the system-menu COMMAND is open; once the dialog is closed,
# the next WaitFor (or the end) shows that the line has been read. BIND
# binds the dialog as d, CLOSE closes it.
line_behind_dialog() {
  local word=$1 command=$2 bind=$3 close=$4
  drive <<EOF
window main "#32770" "Tarvelin - běží script okna.tvl"
text main 1003 "WaitFor LineStarting \"$word\""
text main 1004 "Čtu řádky ze socketu, dokud nenarazím na řádku začínající textem $word"
syscommand main $command
$bind
EOF
  cue "$word"
  # Time for the notification to pass through the dialog's loop.
  sleep 0.5
  drive <<EOF
$bind
$close
gone d
EOF
}

# Every dialog of the system menu, opened during a WaitFor while the peer
# sends the line it waits for: the notification that the dialog's own loop
# takes reaches the WaitFor once the dialog is closed. The help comes twice:
# its error box while the file is missing, then its window.
case_system_dialogs_during_waitfor() {
  port=$(free_port)
  script okna.tvl <<EOF
Connect 127.0.0.1 $port
WaitFor LineStarting "stav"
WaitFor LineStarting "verze"
WaitFor LineStarting "kontrola"
WaitFor LineStarting "chyba"
WaitFor LineStarting "nápověda"
WaitFor LineStarting "konec"
Disconnect
End
EOF
  start_relay_peer peer "$port"
  start_program okna.tvl
  line_behind_dialog stav 2002 \
    'window d "#32770" "Zobrazení aktuálního stavu symbolů a čítačů"' 'press d 1'
  line_behind_dialog verze 2001 'window d "#32770" "O verzi programu"' 'press d 1'
  line_behind_dialog kontrola 2003 'window d "#32770" "Kontrola scriptu"' 'press d 1'
  line_behind_dialog chyba 2000 'box d "*** CHYBA ***" "Nelze prohlížet soubor TARVELIN.HLP"' \
    'press d 1'
  cp "$root/res/TARVELIN.HLP" "$dir/"
  line_behind_dialog nápověda 2000 'window d "TarvelinHelpViewer" "Nápověda - TARVELIN.HLP"' \
    'close d'
  drive <<'EOF'
window main "#32770" "Tarvelin - běží script okna.tvl"
text main 1003 "WaitFor LineStarting \"konec\""
EOF
  cue konec
  program_exits 30
  log_is <<EOF
Program zahájen.
Interpretuji soubor okna.tvl
$(log_connect 127.0.0.1 "$port")
$(log_wait_for LineStarting stav 'stav\r\n')
$(log_wait_for LineStarting verze 'verze\r\n')
$(log_wait_for LineStarting kontrola 'kontrola\r\n')
$(log_wait_for LineStarting chyba 'chyba\r\n')
$(log_wait_for LineStarting nápověda 'nápověda\r\n')
$(log_wait_for LineStarting konec 'konec\r\n')
$(log_disconnect)
\$\$ End
Soubor interpretován a uzavřen.
EOF
}

# A time limit that runs out while About is open: its tick, which the
# dialog's loop takes, is not lost, and the label is reached as soon as the
# dialog is closed, not a whole limit later.
case_time_limit_behind_dialog() {
  port=$(free_port)
  script limit.tvl <<EOF
Connect 127.0.0.1 $port
Timeout 4000 pozde
WaitFor LineStarting "nikdy"
Message "Sem se script nedostane"
Label pozde
Disconnect
EOF
  start_relay_peer peer "$port"
  start_program
  drive <<'EOF'
window main "#32770" "Tarvelin 1.10"
settext main 1000 "limit.tvl"
click main 1002
text main 1003 "WaitFor LineStarting \"nikdy\""
syscommand main 2001
window d "#32770" "O verzi programu"
sleep 4500
press d 1
gone d
timeout 1500
title main "Tarvelin 1.10"
timeout 30000
text main 1004 "Script ukončen."
close main
gone main
EOF
  program_exits 20
  log_is <<EOF
Program zahájen.
Interpretuji soubor limit.tvl
$(log_connect 127.0.0.1 "$port")
\$\$ Timeout 4000 pozde
\$\$ WaitFor LineStarting "nikdy"
Zahájeno čtení řádek ze socketu, dokud nenarazím na řádku začínající textem nikdy
Vypršel časový limit 4000 ms.
$(log_disconnect)
Soubor interpretován a uzavřen.
Konec programu.
EOF
}

# A peer for the cases below that takes the connection and waits for its
# end; the same dialogue serves the headless program.
waiting_peer() {
  cat >"$dir/peer.peer" <<EOF
wait-ms 60000
listen $1
expect-eof
EOF
  start_peer peer <"$dir/peer.peer"
}

# The scenario's end after a close request during a run with a connection
# open: the box of the command that stopped, then the question about the
# connection answered Yes, and the program ends.
box_then_question_yes() {
  cat <<EOF
box e "*** CHYBA ***" "$1"
press e 1
box q "Script ukončen" "Spojení zůstalo otevřeno - mám jej uzavřít?"
press q 6
gone main
EOF
}

# The close box during a WaitFor with a connection open: the run stops as an
# interruption stops it (the WaitFor's box), asks its question about the
# connection, and then the program ends, with the headless program's log
# and exit status.
case_close_box_during_waitfor_like_headless() {
  need_peer
  port=$(free_port)
  script cekej.tvl <<EOF
Connect 127.0.0.1 $port
WaitFor LineStarting "nikdy"
Message "Sem se script nedostane"
EOF
  waiting_peer "$port"
  start_program cekej.tvl
  drive <<EOF
window main "#32770" "Tarvelin - běží script cekej.tvl"
text main 1003 "WaitFor LineStarting \"nikdy\""
close main
$(box_then_question_yes "Předčasný pád spojení, koncové podmínky nebylo dosaženo")
EOF
  program_exits 20
  peer_done peer
  exit_status_is 1
  log_is <<EOF
Program zahájen.
Interpretuji soubor cekej.tvl
$(log_connect 127.0.0.1 "$port")
\$\$ WaitFor LineStarting "nikdy"
Zahájeno čtení řádek ze socketu, dokud nenarazím na řádku začínající textem nikdy
Předčasné uzavření spojení ze strany partnerského počítače.
Koncové podmínky nebylo dosaženo.
Socket zůstal otevřený - ukončuji předchozí spojení.
Spojení ukončeno.
Soubor interpretován a uzavřen.
Konec programu.
EOF
  HEADLESS_CLOSE_AFTER="Zahájeno čtení" HEADLESS_INPUT=close_when_logged \
    like_headless peer cekej.tvl
  headless_status_is 1
}

# Alt+F4 during a Wait with a connection open, the question answered No:
# the program ends all the same (and closes the connection as it ends).
case_alt_f4_during_wait_like_headless() {
  need_peer
  port=$(free_port)
  script cekej.tvl <<EOF
Connect 127.0.0.1 $port
Wait 60000
Message "Sem se script nedostane"
EOF
  waiting_peer "$port"
  start_program cekej.tvl
  drive <<'EOF'
window main "#32770" "Tarvelin - běží script cekej.tvl"
text main 1004 "Zahájeno prodlení 60000 ms"
chord main 0x12 0x73
box q "Script ukončen" "Spojení zůstalo otevřeno - mám jej uzavřít?"
press q 7
gone main
EOF
  program_exits 20
  peer_done peer
  log_is <<EOF
Program zahájen.
Interpretuji soubor cekej.tvl
$(log_connect 127.0.0.1 "$port")
\$\$ Wait 60000
Zahájeno prodlení 60000 ms.
Program předčasně přerušen.
Čas prodlení završen.
Soubor interpretován a uzavřen.
Konec programu.
EOF
  HEADLESS_CLOSE_AFTER="Zahájeno prodlení" HEADLESS_ANSWERS=no HEADLESS_INPUT=close_when_logged \
    like_headless peer cekej.tvl
}

# The system's taskkill (without /f) during a script's Accept: Accept's box,
# then the program ends.
case_taskkill_during_accept_like_headless() {
  port=$(free_port)
  script prijmi.tvl <<EOF
Accept $port
Message "Sem se script nedostane"
EOF
  start_program prijmi.tvl
  drive <<EOF
window main "#32770" "Tarvelin - běží script prijmi.tvl"
text main 1004 "Čekám na připojení na portu $port"
taskkill main
box e "*** CHYBA ***" "Příkaz Accept nelze provést, spojení nenavázáno: Obsluha přerušila akci."
press e 1
gone main
EOF
  program_exits 20
  log_is <<EOF
Program zahájen.
Interpretuji soubor prijmi.tvl
\$\$ Accept $port
Čekám na připojení na portu $port
Program předčasně přerušen.
Soubor interpretován a uzavřen.
Konec programu.
EOF
  HEADLESS_CLOSE_AFTER="Čekám na připojení" HEADLESS_INPUT=close_when_logged \
    like_headless - prijmi.tvl
}

# A close request posted from outside during the start-up Accept: the
# start-up ends and so does the program.
case_close_message_during_startup_accept_like_headless() {
  port=$(free_port)
  start_program -a "$port"
  drive <<EOF
window main "#32770" "Tarvelin - zahajuji spojení"
text main 1004 "Čekám na připojení na portu $port"
post-close main
gone main
EOF
  program_exits 20
  log_is <<EOF
Program zahájen.
Čekám na připojení na portu $port
Program předčasně přerušen.
Konec programu.
EOF
  HEADLESS_CLOSE_AFTER="Čekám na připojení" HEADLESS_INPUT=close_when_logged \
    like_headless - -a "$port"
}

# A close request posted during a Send that waits for a peer that reads
# nothing (the window uses no processor meanwhile): Send's box, the
# question, the end of the program. How much went out depends on the
# socket buffers, so only the end of the log is compared. The system lets
# a little more through now and then even so; with sends this long the
# request comes while one waits, not between two.
case_close_message_during_blocked_send() {
  need_peer
  port=$(free_port)
  chunk=$(printf '%200000s' '' | tr ' ' x)
  script posli.tvl <<EOF
Connect 127.0.0.1 $port
Label znovu
Send "$chunk"
GoTo znovu
EOF
  start_peer peer <<EOF
rcvbuf 2048
wait-ms 60000
listen $port
noread 8000
close
EOF
  start_program posli.tvl
  drive <<EOF
window main "#32770" "Tarvelin - běží script posli.tvl"
sleep 1500
idle-cpu main 1500 5
post-close main
$(box_then_question_yes "Příkaz Send nelze provést, spojení bylo přerušeno")
EOF
  program_exits 20
  peer_done peer
  as_text "$dir/TARVELIN.LOG" | tail -n 6 | sed 's/zapsáno [0-9]* znaků/zapsáno N znaků/' \
    >"$dir/end.log"
  diff -u - "$dir/end.log" <<'EOF'
Akce přerušena, dosud zapsáno N znaků.
Send nelze provést: Obsluha přerušila akci.
Socket zůstal otevřený - ukončuji předchozí spojení.
Spojení ukončeno.
Soubor interpretován a uzavřen.
Konec programu.
EOF
}

# Alt+F4 while the TLS handshake waits for a peer that never answers: the
# failed StartTls's box, and the program ends.
case_alt_f4_during_tls_handshake_like_headless() {
  need_tls
  port=$(free_port)
  script konec.tvl <<EOF
Connect 127.0.0.1 $port
StartTls Trust ca.pem
Send "ping" lf
EOF
  handshake_with_silent_peer konec.tvl 1000 <<'EOF'
chord main 0x12 0x73
box e "*** CHYBA ***" "Příkaz StartTls nelze provést, TLS nenavázáno: Obsluha přerušila akci."
press e 1
gone main
EOF
  program_exits 20
  peer_done silent
  log_is <<EOF
Program zahájen.
Interpretuji soubor konec.tvl
$(log_connect 127.0.0.1 "$port")
\$\$ StartTls Trust ca.pem
Zahajuji TLS jako klient, adresa serveru 127.0.0.1
TLS nelze navázat: Obsluha přerušila akci.
Spojení ukončeno.
Soubor interpretován a uzavřen.
Konec programu.
EOF
  HEADLESS_CLOSE_AFTER="Zahajuji TLS" HEADLESS_INPUT=close_when_logged \
    tls_py_like_headless konec.tvl silent "$port"
}

# The scripts of the check dialog's cases: a script with an error, a call
# of a script in a folder below it that has one too, a call of a missing
# script and a line no label reaches.
check_dialog_scripts() {
  mkdir -p "$dir/podsložka"
  script kontrola.tvl <<'EOF'
Sedn "x"
Call podsložka\volaný.tvl
Call chybí.tvl
Stop
Send "y"
EOF
  script podsložka/volaný.tvl <<'EOF'
Wiat 100
EOF
}

# The check dialog opened on kontrola.tvl named by its full path: the path
# once above the findings, which name their files relative to its folder.
open_check_dialog() {
  drive <<EOF
window main "#32770" "Tarvelin 1.10"
settext main 1000 "$(drvpath "$dir")\\\\kontrola.tvl"
syscommand main 2003
window ck "#32770" "Kontrola scriptu"
text ck 1013 "Soubor: $(drvpath "$dir")\\\\kontrola.tvl"
text ck 1012 "kontrola.tvl:1:1: chyba: Neznámý příkaz scriptu: SEDN\r\nkontrola.tvl:3:6: varování: Soubor chybí.tvl nyní nelze otevřít pro čtení\r\nkontrola.tvl:5:1: varování: Řádka je nedosažitelná: za příkazem Stop na řádce 4 není žádné návěští\r\npodsložka\\\\volaný.tvl:1:1: chyba: Neznámý příkaz scriptu: WIAT\r\n\r\nChyb: 2, varování: 2\r\n"
wrapped ck 1012
on-screen ck
centred-on ck main
EOF
}

# At 144 pixels per inch on the 1024 x 768 screen the check dialog opens
# centred on the main window, and its findings wrap.
case_check_dialog_at_144_dpi() {
  set_dpi 144
  check_dialog_scripts
  start_program -p -
  open_check_dialog
  shot check-dialog-144
  drive <<'EOF'
window main "#32770" "Tarvelin 1.10"
window ck "#32770" "Kontrola scriptu"
press ck 1
gone ck
close main
gone main
EOF
  program_exits 20
}

# A missing script whose name is 311 characters long: the error box shows
# its start and its file name around "…" and stays on the screen; the log
# has the whole name.
case_long_path_in_box() {
  local base name folder
  base="$(winpath "$dir")\\"
  name="chybějící-script.tvl"
  folder=$(printf 'a%.0s' $(seq $((311 - ${#base} - ${#name} - 1))))
  start_program "$base$folder\\$name"
  drive <<'EOF'
box-like e "*** CHYBA ***" "Nelze otevřít pro čtení soubor Z:\\tmp\\*…*\\chybějící-script.tvl"
on-screen e
sleep 300
EOF
  shot long-path-box
  drive <<'EOF'
box-like e "*** CHYBA ***" "Nelze otevřít pro čtení soubor Z:\\tmp\\*…*\\chybějící-script.tvl"
press e 1
gone e
window main "#32770" "Tarvelin 1.10"
close main
gone main
EOF
  program_exits 20
  as_text "$dir/TARVELIN.LOG" | grep -qxF "Soubor $base$folder\\$name nelze otevřít pro čtení."
  test $((${#base} + ${#folder} + 1 + ${#name})) -eq 311
}
