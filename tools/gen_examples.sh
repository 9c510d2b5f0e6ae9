#!/usr/bin/env bash
# Writes the example scripts of the package into res/examples/ in the scripts'
# own encoding, Windows-1250 with CR LF line ends.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p res/examples

put() {
  iconv -f UTF-8 -t CP1250 | sed 's/$/\r/' > "res/examples/$1"
  echo "wrote res/examples/$1"
}

put klient.tvl <<'SCRIPT'
// Klient: spojí se se serverem, pošle řádku zadanou obsluhou a ukáže odpověď.
// Server a port se zadají v dialogu (otazníky).
Connect ? ?
WaitFor LineStarting "+OK"
Input "Co mám poslat serveru?"
Send line cr lf
WaitFor LineStarting "+OK"
Message "Server odpověděl:" nl line
Send "QUIT" cr lf
Disconnect
SCRIPT

put server.tvl <<'SCRIPT'
// Server: počká na jednoho partnera na portu 2000, pozdraví ho a všechno,
// co pošle, opisuje do souboru prijato.txt, dokud nepošle řádku "konec".
Accept 2000
Send "+OK Tarvelin vás zdraví, ukončete řádkou konec" cr lf
OutputFile prijato.txt
WaitFor ExactMatch "konec"
CloseOutput
Send "+OK Na shledanou" cr lf
Disconnect
SCRIPT

put smycka.tvl <<'SCRIPT'
// Smyčka s čítačem a zaškrtávacím políčkem: každou sekundu zvýší čítač,
// dokud obsluha nezaškrtne políčko nebo čítač nedojde k deseti.
ShowCheckBox dost "Dost, skončit"
SetCounter kolo 0
Label znovu
IncrementCounter kolo
Wait 1000
TestCheck dost
IfDef CHECKED GoTo konec
TestCounter kolo < 10
IfDef TRUE GoTo znovu
Label konec
Message "Hotovo po " kolo " kolech."
SCRIPT
