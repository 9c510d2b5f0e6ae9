# The end-to-end cases of tests/win32/run.sh, one function each. Every case
# runs with set -e in its own folder $dir; the helpers are in run.sh. Texts
# in scenarios and expected logs are UTF-8 here; scripts are written in
# Windows-1250 by "script".
# shellcheck shell=bash disable=SC2154,SC2034

ALL_CASES="end_quits_like_headless command_line_error interrupt_and_question
network_dialogue_like_headless accept_at_start_like_headless connect_at_start
accept_during_state_dialog startup_interrupted
input_and_question parameter_dialogs check_boxes state_about_help_close
choose_script window_and_sound log_locked utf8_script_like_headless
timeout_label_on_silent_peer patterns_like_headless check_script
ipv6_connect_and_accept_like_headless"

# shellcheck source=tests/win32/tls_cases.sh
. "$here/tls_cases.sh"
# shellcheck source=tests/win32/window_cases.sh
. "$here/window_cases.sh"
# shellcheck source=tests/win32/lang_cases.sh
. "$here/lang_cases.sh"
# shellcheck source=tests/win32/setup_cases.sh
. "$here/setup_cases.sh"
ALL_CASES="$ALL_CASES $TLS_CASES $WINDOW_CASES $LANG_CASES $SETUP_CASES"

# A script that ends with End closes the program by itself, and the log is
# the one the headless program writes.
case_end_quits_like_headless() {
  script end.tvl <<'EOF'
Comment Konec sám od sebe
Define POKUS
SetCounter n 5
IncrementCounter n 2
TestCounter n = 7
IfDef TRUE Wait 300
End
Message "Sem se script nedostane"
EOF
  start_program end.tvl
  program_exits 40
  exit_status_is 0
  log_is <<'EOF'
Program zahájen.
Interpretuji soubor end.tvl
$$ Comment Konec sám od sebe
$$ Define POKUS
$$ SetCounter n 5
$$ IncrementCounter n 2
$$ TestCounter n = 7
$$ IfDef TRUE Wait 300
Zahájeno prodlení 300 ms.
Čas prodlení završen.
$$ End
Soubor interpretován a uzavřen.
EOF
  like_headless - end.tvl
}

# Command-line errors (a missing value, an unknown option, a name that
# cannot be a text variable's): one box with its title, then the program
# ends without a log and with the headless program's status 2.
case_command_line_error() {
  start_program -n pocet
  drive <<'EOF'
box b "Chyba v argumentech programu" "Parametr n vyžaduje 2 parametry"
sleep 300
EOF
  shot error-box
  drive <<'EOF'
box b "Chyba v argumentech programu" "Parametr n vyžaduje 2 parametry"
press b 1
gone b
EOF
  program_exits 20
  exit_status_is 2
  test ! -e "$dir/TARVELIN.LOG"
  start_program -x
  drive <<'EOF'
box b "Chyba v argumentech programu" "Neznámý parametr: x"
press b 1
EOF
  program_exits 20
  exit_status_is 2
  start_program -t line text
  drive <<'EOF'
box b "Chyba v argumentech programu" "Jméno line nelze použít pro textovou proměnnou"
press b 1
EOF
  program_exits 20
  exit_status_is 2
}

# Titles and captions of the idle and the running window; interrupting Wait
# with the Run button; the question about the open connection answered No
# (the next run sends on it) and then Yes; Escape refused during a run and
# ending the idle program; the remembered script name.
case_interrupt_and_question() {
  need_peer
  port=$(free_port)
  script wait.tvl <<EOF
Connect 127.0.0.1 $port
Wait 60000
EOF
  script send.tvl <<'EOF'
Send "ahoj" nl
Wait 60000
EOF
  start_peer peer <<EOF
wait-ms 60000
listen $port
expect "ahoj\n"
expect-eof
EOF
  start_program
  drive <<'EOF'
window main "#32770" "Tarvelin 1.10"
text main 1002 "&Spuštění scriptu"
text main 1004 "Program odstartován, čekám na spuštění scriptu."
visible main 1001 1
idle-cpu main 2000 5
settext main 1000 "wait.tvl"
click main 1002
title main "Tarvelin - běží script wait.tvl"
text main 1002 "&Přerušení scriptu"
visible main 1001 0
visible main 1000 0
text main 1003 "Wait 60000"
text main 1004 "Zahájeno prodlení 60000 ms"
idle-cpu main 2000 5
key main 27
sleep 500
title main "Tarvelin - běží script wait.tvl"
click main 1002
box q "Script ukončen" "Spojení zůstalo otevřeno - mám jej uzavřít?"
press q 7
title main "Tarvelin 1.10"
text main 1002 "&Spuštění scriptu"
visible main 1001 1
visible main 1000 1
text main 1004 "Čas prodlení završen"
settext main 1000 "send.tvl"
click main 1002
text main 1004 "Zahájeno prodlení 60000 ms"
click main 1002
box q "Script ukončen" "Spojení zůstalo otevřeno - mám jej uzavřít?"
press q 6
title main "Tarvelin 1.10"
text main 1004 "Spojení ukončeno."
key main 27
gone main
EOF
  program_exits 20
  peer_done peer
  log_is <<EOF
Program zahájen.
Interpretuji soubor wait.tvl
$(log_connect 127.0.0.1 "$port")
\$\$ Wait 60000
Zahájeno prodlení 60000 ms.
Akce přerušena obsluhou.
Program předčasně přerušen.
Čas prodlení završen.
Soubor interpretován a uzavřen.
Interpretuji soubor send.tvl
\$\$ Send "ahoj" nl
Odesílám řádku ahoj\n
\$\$ Wait 60000
Zahájeno prodlení 60000 ms.
Akce přerušena obsluhou.
Program předčasně přerušen.
Čas prodlení završen.
Socket zůstal otevřený - ukončuji předchozí spojení.
Spojení ukončeno.
Soubor interpretován a uzavřen.
Konec programu.
EOF
  # The profile remembers the script the operator ran.
  start_program -p -
  drive <<'EOF'
window main "#32770" "Tarvelin 1.10"
text main 1000 "send.tvl"
close main
gone main
EOF
  program_exits 20
}

# A dialogue with a peer on 127.0.0.1, reached through a host-name lookup,
# with every kind of read and a capture file: the log and the capture equal
# the headless program's.
case_network_dialogue_like_headless() {
  need_peer
  port=$(free_port)
  script net.tvl <<EOF
Connect localhost $port
WaitFor LineStarting "+OK"
Send "USER tester" cr lf
WaitFor ExactMatch "+OK heslo"
Send "PASS tajné" cr lf
Receive 5
SkipTo ":"
WaitFor EmptyLine
OutputFile zachyceno.txt
WaitFor End
Stop
EOF
  start_peer peer <<EOF
listen $port
send "+OK vítejte\r\n"
expect "USER tester\r\n"
send "+OK heslo\r\n"
expect "PASS tajné\r\n"
send "12345klíč:hodnota\r\n\r\n"
sleep 300
send "data 1\r\ndata 2\r\n"
sleep 300
close
EOF
  start_program net.tvl
  drive <<'EOF'
window main "#32770" "Tarvelin 1.10"
text main 1004 "Script ukončen."
close main
gone main
EOF
  program_exits 20
  peer_done peer
  log_is <<EOF
Program zahájen.
Interpretuji soubor net.tvl
$(log_connect localhost "$port")
$(log_wait_for LineStarting "+OK" '+OK vítejte\r\n')
\$\$ Send "USER tester" cr lf
Odesílám řádku USER tester\r\n
$(log_wait_for ExactMatch "+OK heslo" '+OK heslo\r\n')
\$\$ Send "PASS tajné" cr lf
Odesílám řádku PASS tajné\r\n
\$\$ Receive 5
Zahájeno čtení bloku o délce 5 ze socketu
Načten blok dat 12345
Blok dat v pořádku načten.
\$\$ SkipTo ":"
Zahájeno čtení bloku až do znaku 58 ze socketu
Načtena řádka klíč:
Blok dat v pořádku načten.
\$\$ WaitFor EmptyLine
Zahájeno čtení řádek ze socketu, dokud nenarazím na prázdnou řádku
Načtena řádka hodnota\r\n
Načtena řádka \r\n
Koncová podmínka splněna.
\$\$ OutputFile zachyceno.txt
Otevírám pro zápis soubor $(winpath "$dir")\zachyceno.txt
Soubor v pořádku otevřen.
\$\$ WaitFor End
Zahájeno čtení řádek ze socketu až do ukončení spojení
Načtena řádka data 1\r\n
Načtena řádka data 2\r\n
Ukončení spojení ze strany partnerského počítače.
Koncová podmínka splněna.
\$\$ Stop
Soubor interpretován a uzavřen.
Soubor pro opisování dat zůstal otevřen - uzavírám jej.
Konec programu.
EOF
  test "$(cat "$dir/zachyceno.txt")" = "$(printf 'data 1\r\ndata 2\r')"
  # The capture file's path differs between the two programs; the rest of
  # the log must not.
  LOG_FILTER='s|^\(Otevírám pro zápis soubor \).*zachyceno.txt$|\1zachyceno.txt|' \
    like_headless peer net.tvl
  if have_headless; then cmp "$dir/zachyceno.txt" "$dir/headless/zachyceno.txt"; fi
}

# Connect to ::1 and Accept on ::1 only: the addresses in the log, which
# equals the headless program's.
case_ipv6_connect_and_accept_like_headless() {
  need_peer
  need_ipv6
  port=$(free_port6)
  port2=$(free_port6)
  script six.tvl <<EOF
Connect ::1 $port
Send "ahoj" cr lf
WaitFor ExactMatch "sbohem"
Accept $port2 ::1
WaitFor LineStarting "druhý"
Disconnect
End
EOF
  cat >"$dir/peer.peer" <<EOF
listen $port ::1
expect "ahoj\r\n"
send "sbohem\r\n"
expect-eof
connect ::1 $port2
send "druhý\r\n"
expect-eof
EOF
  start_peer peer <"$dir/peer.peer"
  start_program six.tvl
  program_exits 40
  peer_done peer
  log_is <<EOF
Program zahájen.
Interpretuji soubor six.tvl
$(log_connect ::1 "$port")
\$\$ Send "ahoj" cr lf
Odesílám řádku ahoj\r\n
$(log_wait_for ExactMatch "sbohem" 'sbohem\r\n')
\$\$ Accept $port2 ::1
Socket zůstal otevřený - ukončuji předchozí spojení.
Spojení ukončeno.
Čekám na připojení na adrese ::1, port $port2
Navázáno spojení s počítačem ::1 na portu $port2.
$(log_wait_for LineStarting "druhý" 'druhý\r\n')
$(log_disconnect)
\$\$ End
Soubor interpretován a uzavřen.
EOF
  like_headless peer six.tvl
}

# A connection accepted at start-up, then the script named on the command
# line runs on it by itself and ends the program.
case_accept_at_start_like_headless() {
  need_peer
  port=$(free_port)
  script acc.tvl <<'EOF'
Send "ahoj" cr lf
WaitFor ExactMatch "sbohem"
End
EOF
  cat >"$dir/peer.peer" <<EOF
connect 127.0.0.1 $port
expect "ahoj\r\n"
send "sbohem\r\n"
expect-eof
EOF
  start_program -a "$port" acc.tvl
  start_peer peer <"$dir/peer.peer"
  program_exits 40
  peer_done peer
  log_is <<EOF
Program zahájen.
Čekám na připojení na portu $port
Navázáno spojení s počítačem 127.0.0.1 na portu $port.
Interpretuji soubor acc.tvl
\$\$ Send "ahoj" cr lf
Odesílám řádku ahoj\r\n
$(log_wait_for ExactMatch "sbohem" 'sbohem\r\n')
\$\$ End
Soubor interpretován a uzavřen.
EOF
  # The question about the open connection comes while the quit message of
  # End is queued: the system's message box closes at once without a Yes, and
  # the connection ends with the program. (The headless program answers the
  # question, so its log is not compared here.)
}

# One start with a connection at start-up to a peer whose greeting is
# already waiting: the script named on the command line reads it, answers
# and ends the program. Returns 1 when the program hangs (its log is shown).
connect_at_start_once() {
  local port
  port=$(free_port)
  start_peer peer <<EOF
wait-ms 120000
listen $port
send "220 vítejte\r\n"
expect "QUIT\r\n"
expect-eof
EOF
  rm -f "$dir/TARVELIN.LOG"
  start_program -c 127.0.0.1 "$port" pozdrav.tvl
  program_exits "${1:-40}" || return 1
  peer_done peer
  log_is <<EOF
Program zahájen.
Čekám na připojení k 127.0.0.1, port $port
Spojení navázáno v pořádku.
Interpretuji soubor pozdrav.tvl
$(log_wait_for LineStarting "220" '220 vítejte\r\n')
\$\$ Send "QUIT" cr lf
Odesílám řádku QUIT\r\n
\$\$ End
Soubor interpretován a uzavřen.
EOF
}

connect_at_start_script() {
  script pozdrav.tvl <<'EOF'
WaitFor LineStarting "220"
Send "QUIT" cr lf
End
EOF
}

# The connection made at start-up (-c) while the new window still has its
# first paints queued: its notification must reach the wait.
case_connect_at_start() {
  need_peer
  connect_at_start_script
  for _ in 1 2 3; do connect_at_start_once; done
}

# Not among ALL_CASES: TV_STARTS (default 500) starts in a row with a
# connection at start-up, counting the ones that hang (run it beside busy
# processes to look for a lost notification). The time limits are long, so
# that only a start that never ends counts, not a slow one.
case_connect_at_start_repeated() {
  need_peer
  connect_at_start_script
  local starts=${TV_STARTS:-500} hung=0 i
  for i in $(seq "$starts"); do
    if ! connect_at_start_once 120 >"$dir/start.txt" 2>&1; then
      hung=$((hung + 1))
      echo "start $i hung:"
      sed 's/^/    /' "$dir/start.txt"
      # The program that hangs and its windows go before the next start.
      "$WINESERVER" -k >/dev/null 2>&1 || true
      "$WINESERVER" -w
    fi
    while read -r pid; do kill -9 "$pid" 2>/dev/null || true; done <"$dir/pids"
    : >"$dir/pids"
    if [ $((i % 50)) -eq 0 ]; then echo "$i starts, $hung hung ($SECONDS s)"; fi
  done
  echo "$starts starts, $hung hung"
  test "$hung" -eq 0
}

# The peer connects while the operator looks at the state dialog during the
# start-up Accept: the notification that the dialog's own loop takes is not
# lost, and the connection is made once the dialog is closed.
case_accept_during_state_dialog() {
  need_peer
  port=$(free_port)
  start_program -a "$port"
  drive <<EOF
window main "#32770" "Tarvelin - zahajuji spojení"
text main 1004 "Čekám na připojení na portu $port"
syscommand main 2002
window st "#32770" "Zobrazení aktuálního stavu symbolů a čítačů"
EOF
  start_peer peer <<EOF
connect 127.0.0.1 $port
send "ahoj\r\n"
expect-eof
EOF
  sleep 1
  drive <<EOF
window st "#32770" "Zobrazení aktuálního stavu symbolů a čítačů"
press st 1
gone st
window main "#32770" "Tarvelin 1.10"
text main 1004 "Spojení navázáno v pořádku."
close main
gone main
EOF
  program_exits 20
  peer_done peer
  log_is <<EOF
Program zahájen.
Čekám na připojení na portu $port
Navázáno spojení s počítačem 127.0.0.1 na portu $port.
Konec programu.
EOF
}

# The start-up connection waits for a peer that never comes; the Run button
# interrupts it and the window goes back to idle.
case_startup_interrupted() {
  port=$(free_port)
  start_program -a "$port"
  drive <<EOF
window main "#32770" "Tarvelin - zahajuji spojení"
text main 1002 "&Přerušení spojování"
enabled main 1001 0
enabled main 1000 0
visible main 1001 1
text main 1004 "Čekám na připojení na portu $port"
idle-cpu main 2000 5
click main 1002
title main "Tarvelin 1.10"
text main 1004 "Spojení se nepodařilo navázat"
text main 1002 "&Spuštění scriptu"
enabled main 1001 1
enabled main 1000 1
close main
gone main
EOF
  program_exits 20
  log_is <<EOF
Program zahájen.
Čekám na připojení na portu $port
Akce přerušena obsluhou.
Program předčasně přerušen.
Konec programu.
EOF
}

# Input and Question answered through their windows; Cancel in Input ends
# the run.
case_input_and_question() {
  script dotaz.tvl <<'EOF'
Input "Zadejte své jméno"
Question "Má se pozdravit " line "?"
IfDef CONSENT Message "Ahoj, " line "!"
IfNotDef CONSENT Message "Tak nic."
Input
Message "Sem se script nedostane"
EOF
  start_program dotaz.tvl
  drive <<'EOF'
window main "#32770" "Tarvelin - běží script dotaz.tvl"
window i "#32770" "Zadejte své jméno"
foreground i
settext i 1007 "Věra Nováková"
press i 1
box q "Zpráva scriptu" "Má se pozdravit Věra Nováková?"
press q 6
box m "Zpráva scriptu" "Ahoj, Věra Nováková!"
press m 1
window i2 "#32770" "Zadejte řádku pro předání scriptu"
press i2 2
title main "Tarvelin 1.10"
text main 1004 "Script ukončen."
close main
gone main
EOF
  program_exits 20
  log_is <<'EOF'
Program zahájen.
Interpretuji soubor dotaz.tvl
$$ Input "Zadejte své jméno"
$$ Question "Má se pozdravit " line "?"
$$ IfDef CONSENT Message "Ahoj, " line "!"
$$ IfNotDef CONSENT Message "Tak nic."
$$ Input
Soubor interpretován a uzavřen.
Konec programu.
EOF
}

# Connect and Accept with "?" ask through their dialogs; the values given are
# remembered in the profile and offered the next time; Cancel ends the run
# without a message.
case_parameter_dialogs() {
  need_peer
  port=$(free_port)
  script dotazy.tvl <<'EOF'
Connect ? ?
Send "ahoj" cr lf
Disconnect
Accept ?
Message "Sem se script nedostane"
EOF
  start_peer peer <<EOF
wait-ms 60000
listen $port
expect "ahoj\r\n"
expect-eof
EOF
  start_program dotazy.tvl
  drive <<EOF
window main "#32770" "Tarvelin - běží script dotazy.tvl"
window c "#32770" "Parametry pro Connect"
text c 1005 ""
text c 1006 "0"
sleep 300
EOF
  shot connect-dialog 700x500+0+0
  drive <<EOF
window main "#32770" "Tarvelin - běží script dotazy.tvl"
window c "#32770" "Parametry pro Connect"
settext c 1005 "127.0.0.1"
settext c 1006 "$port"
press c 1
gone c
window a "#32770" "Parametry pro Accept"
text a 1006 "0"
press a 2
gone a
title main "Tarvelin 1.10"
text main 1004 "Script ukončen."
click main 1002
window c "#32770" "Parametry pro Connect"
text c 1005 "127.0.0.1"
text c 1006 "$port"
press c 2
gone c
title main "Tarvelin 1.10"
close main
gone main
EOF
  program_exits 20
  peer_done peer
  log_is <<EOF
Program zahájen.
Interpretuji soubor dotazy.tvl
\$\$ Connect ? ?
Čekám na připojení k 127.0.0.1, port $port
Spojení navázáno v pořádku.
\$\$ Send "ahoj" cr lf
Odesílám řádku ahoj\r\n
$(log_disconnect)
\$\$ Accept ?
Soubor interpretován a uzavřen.
Interpretuji soubor dotazy.tvl
\$\$ Connect ? ?
Soubor interpretován a uzavřen.
Konec programu.
EOF
}

# Check boxes stand where the layout puts them; a real mouse click ends
# WaitCheck; the end of the run removes them.
case_check_boxes() {
  script boxy.tvl <<'EOF'
ShowCheckBox A "První volba"
ShowCheckBox B "Druhá - čekám na zaškrtnutí"
ShowCheckBox C
ShowCheckBox E "Pátá: ěščřžýáíé ĚŠČŘŽÝÁÍÉ"
HideCheckBox A
ShowCheckBox D "Čtvrtá"
SetCheck C 1
WaitCheck B 1
TestCheck C
IfDef CHECKED Message "Hotovo"
Stop
EOF
  start_program boxy.tvl
  drive <<'EOF'
window main "#32770" "Tarvelin - běží script boxy.tvl"
checkboxes main 4
checkbox-slot main "Čtvrtá" 0
checkbox-slot main "Druhá - čekám na zaškrtnutí" 1
checkbox-slot main "C" 2
checkbox-slot main "Pátá: ěščřžýáíé ĚŠČŘŽÝÁÍÉ" 3
checkstate main "C" 1
checkstate main "Druhá - čekám na zaškrtnutí" 0
rect main 1002 26 11 608 36
idle-cpu main 2000 5
sleep 500
EOF
  screenshot
  shot check-boxes 660x420+30+30
  drive <<'EOF'
window main "#32770" "Tarvelin - běží script boxy.tvl"
mouse-box main "Druhá - čekám na zaškrtnutí"
box m "Zpráva scriptu" "Hotovo"
press m 1
checkboxes main 0
title main "Tarvelin 1.10"
close main
gone main
EOF
  program_exits 20
  log_is <<'EOF'
Program zahájen.
Interpretuji soubor boxy.tvl
$$ ShowCheckBox A "První volba"
$$ ShowCheckBox B "Druhá - čekám na zaškrtnutí"
$$ ShowCheckBox C
$$ ShowCheckBox E "Pátá: ěščřžýáíé ĚŠČŘŽÝÁÍÉ"
$$ HideCheckBox A
$$ ShowCheckBox D "Čtvrtá"
$$ SetCheck C 1
$$ WaitCheck B 1
$$ TestCheck C
$$ IfDef CHECKED Message "Hotovo"
$$ Stop
Soubor interpretován a uzavřen.
Konec programu.
EOF
}

# The state dialog lists symbols and counters sorted, during a run; the About
# text; the help file missing, then found in the current folder; closing the
# window during Wait ends the run and the program.
case_state_about_help_close() {
  script stav.tvl <<'EOF'
Define b
Define A
Define c
SetCounter minus -5
Wait 60000
EOF
  start_program -d DEBUG -D "DVĚ SLOVA" -n pocet 5 stav.tvl
  drive <<'EOF'
window main "#32770" "Tarvelin - běží script stav.tvl"
text main 1004 "Zahájeno prodlení 60000 ms"
syscommand main 2002
window st "#32770" "Zobrazení aktuálního stavu symbolů a čítačů"
list st 1010 "A" "b" "c" "DEBUG" "DVĚ SLOVA"
list st 1011 "minus=-5" "pocet=5"
press st 1
gone st
syscommand main 2001
window ab "#32770" "O verzi programu"
text ab 1008 "\r\n\r\nTarvelin verze 1.10 / 13. července 1997\r\n"
sleep 300
EOF
  shot about-dialog 700x500+0+0
  drive <<'EOF'
window main "#32770" "Tarvelin - běží script stav.tvl"
window ab "#32770" "O verzi programu"
press ab 1
gone ab
syscommand main 2000
box e "*** CHYBA ***" "Nelze prohlížet soubor TARVELIN.HLP"
press e 1
gone e
EOF
  cp "$root/res/TARVELIN.HLP" "$dir/"
  drive <<'EOF'
window main "#32770" "Tarvelin - běží script stav.tvl"
syscommand main 2000
window help "TarvelinHelpViewer" "Nápověda - TARVELIN.HLP"
text-contains help 100 "TARVELIN 1.10 - NÁPOVĚDA"
text-contains help 100 "WaitFor LineStarting \"+OK\""
text-contains help 100 "WaitFor Matching výraz"
text-contains help 100 "TestLine podmínka [text]"
text-contains help 100 "ParseLine \"výraz\" [cíl ...]"
text-contains help 100 "Timeout milisekundy [návěští]"
text-contains help 100 "-t jméno text   nastaví textovou proměnnou"
close help
gone help
text main 1004 "Zahájeno prodlení 60000 ms"
close main
gone main
EOF
  program_exits 20
  log_is <<'EOF'
Program zahájen.
Interpretuji soubor stav.tvl
$$ Define b
$$ Define A
$$ Define c
$$ SetCounter minus -5
$$ Wait 60000
Zahájeno prodlení 60000 ms.
Program předčasně přerušen.
Čas prodlení završen.
Soubor interpretován a uzavřen.
Konec programu.
EOF
}

# The file button's dialog: its title, the full path of the chosen file in
# the edit, and the current folder left as it was (the help file is found
# there afterwards).
case_choose_script() {
  mkdir -p "$dir/jinde"
  script jinde/vyber.tvl <<'EOF'
Stop
EOF
  cp "$root/res/TARVELIN.HLP" "$dir/"
  start_program -p -
  drive <<EOF
window main "#32770" "Tarvelin 1.10"
click main 1001
window fd "#32770" "Zadejte jméno souboru - scriptu pro Tarvelin"
settext fd 1148 "jinde\\\\vyber.tvl"
press fd 1
gone fd
text main 1000 "$(drvpath "$dir")\\\\jinde\\\\vyber.tvl"
syscommand main 2000
window help "TarvelinHelpViewer" "Nápověda - TARVELIN.HLP"
close help
click main 1002
title main "Tarvelin - běží script $(drvpath "$dir")\\\\jinde\\\\vyber.tvl"
text main 1004 "Script ukončen."
close main
gone main
EOF
  program_exits 20
}

# ShowWindow minimises the window and the end of the run restores it;
# Signalize plays a file that is not there without failing the run.
case_window_and_sound() {
  script okno.tvl <<'EOF'
ShowWindow 0
Signalize "neni.wav"
Wait 1500
Stop
EOF
  start_program okno.tvl
  drive <<'EOF'
window main "#32770" "Tarvelin - běží script okno.tvl"
iconic main 1
text main 1004 "Zahájeno prodlení 1500 ms"
iconic main 0
title main "Tarvelin 1.10"
text main 1004 "Script ukončen."
close main
gone main
EOF
  program_exits 20
  log_is <<EOF
Program zahájen.
Interpretuji soubor okno.tvl
\$\$ ShowWindow 0
\$\$ Signalize "neni.wav"
Přehrávám soubor $(winpath "$dir")\\neni.wav
\$\$ Wait 1500
Zahájeno prodlení 1500 ms.
Čas prodlení završen.
\$\$ Stop
Soubor interpretován a uzavřen.
Konec programu.
EOF
}

# A second program cannot write the log the first holds: a warning, and it
# runs without a log.
case_log_locked() {
  start_program
  drive <<'EOF'
window first "#32770" "Tarvelin 1.10"
EOF
  first_pid=$PROGRAM_PID
  start_program
  drive <<'EOF'
window first "#32770" "Tarvelin 1.10"
box w "*** VAROVÁNÍ ***" "Nelze vytvářet protokol TARVELIN.LOG"
press w 1
window-new second "#32770" "Tarvelin 1.10"
close second
gone second
close first
gone first
EOF
  program_exits 20
  PROGRAM_PID=$first_pid
  program_exits 20
  log_is <<'EOF'
Program zahájen.
Konec programu.
EOF
}

# A script saved as UTF-8 with the byte-order mark and CR LF line ends runs as
# in the headless program: its Czech letters and the euro sign reach the
# message box, the symbols and the log as Windows-1250.
case_utf8_script_like_headless() {
  printf '\xEF\xBB\xBF' >"$dir/utf8.tvl"
  sed 's/$/\r/' >>"$dir/utf8.tvl" <<'EOF'
Comment Příliš žluťoučký kůň
Define řeřicha
IfDef řeřicha Message "Úpěl ďábelské ódy za 5 €"
End
EOF
  start_program utf8.tvl
  drive <<'EOF'
box m "Zpráva scriptu" "Úpěl ďábelské ódy za 5 €"
press m 1
EOF
  program_exits 40
  log_is <<'EOF'
Program zahájen.
Interpretuji soubor utf8.tvl
$$ Comment Příliš žluťoučký kůň
$$ Define řeřicha
$$ IfDef řeřicha Message "Úpěl ďábelské ódy za 5 €"
$$ End
Soubor interpretován a uzavřen.
EOF
  like_headless - utf8.tvl
}

# A Timeout with a label ends a WaitFor on a peer that sends nothing more:
# meanwhile the window answers (status lines read, no processor used), and
# when the limit's own window timer fires the run goes on after the label
# with the connection still open. The run is started with the Run button so
# that its clock starts once the driver watches. The log equals the headless
# program's.
case_timeout_label_on_silent_peer() {
  need_peer
  port=$(free_port)
  script limit.tvl <<EOF
Connect 127.0.0.1 $port
Timeout 4000 ticho
WaitFor LineStarting "250"
Message "Sem se script nedostane"
Label ticho
Send "QUIT" cr lf
Disconnect
EOF
  start_peer peer <<EOF
listen $port
send "220 "
expect "QUIT\r\n"
expect-eof
EOF
  start_program
  drive <<'EOF'
window main "#32770" "Tarvelin 1.10"
settext main 1000 "limit.tvl"
click main 1002
text main 1003 "WaitFor LineStarting \"250\""
text main 1004 "Čtu řádky ze socketu, dokud nenarazím na řádku začínající textem 250"
idle-cpu main 1500 5
text main 1002 "&Přerušení scriptu"
text main 1004 "Script ukončen."
close main
gone main
EOF
  program_exits 20
  peer_done peer
  log_is <<EOF
Program zahájen.
Interpretuji soubor limit.tvl
$(log_connect 127.0.0.1 "$port")
\$\$ Timeout 4000 ticho
\$\$ WaitFor LineStarting "250"
Zahájeno čtení řádek ze socketu, dokud nenarazím na řádku začínající textem 250
V bufferu pro čtení zůstává: 220 
Vypršel časový limit 4000 ms.
\$\$ Send "QUIT" cr lf
Odesílám řádku QUIT\r\n
$(log_disconnect)
Soubor interpretován a uzavřen.
Konec programu.
EOF
  like_headless peer limit.tvl
}

# Regular expressions with nested repetitions over 4094-byte lines and a
# 4096-byte block, on the Windows program's main thread: the run ends at once
# and by itself, and its log is the headless program's.
case_patterns_like_headless() {
  need_peer
  port=$(free_port)
  script vyrazy.tvl <<EOF
Connect 127.0.0.1 $port
WaitFor Matching "(a|b)*c"
WaitFor Matching "^(a*)*b\$"
WaitFor Contains "xxy"
Receive 4096
TestLine Matching "(x+x+)+y"
IfDef TRUE Stop
ParseLine "^((.*)*)\$" line
TestLine Matching "(?i)^X{400}"
IfNotDef TRUE Stop
Send "OK" cr lf
Disconnect
End
EOF
  start_peer peer <<EOF
listen $port
lines 3 4094 "a"
send "aac\\r\\n"
lines 2 4094 "ab"
send "b\\r\\nxxy\\r\\n"
flood 4096
expect "OK\\r\\n"
expect-eof
EOF
  start_program vyrazy.tvl
  program_exits 60
  peer_done peer
  as_text "$dir/TARVELIN.LOG" | grep -q '^\$\$ Send "OK" cr lf$'
  like_headless peer vyrazy.tvl
}

# "Kontrola scriptu" in the system menu checks the script named in the edit
# and shows what it found (see open_check_dialog); no run starts. The
# dialog opens centred on the main window, and as it grows the findings grow
# with it and the OK button keeps to the corner.
case_check_script() {
  check_dialog_scripts
  start_program -p -
  open_check_dialog
  shot check-dialog-96 700x500+0+0
  drive <<'EOF'
window main "#32770" "Tarvelin 1.10"
window ck "#32770" "Kontrola scriptu"
resize ck 160 90
grown ck 1012 160 90
moved ck 1 160 90
grown ck 1013 160 0
sleep 300
EOF
  shot check-dialog-96-larger 860x600+0+0
  drive <<'EOF'
window main "#32770" "Tarvelin 1.10"
window ck "#32770" "Kontrola scriptu"
press ck 1
gone ck
title main "Tarvelin 1.10"
close main
gone main
EOF
  program_exits 20
}
