#!/usr/bin/env bash
# Writes the help file res/TARVELIN.HLP from its UTF-8 source res/help.txt:
# Windows-1250 text with CR LF line ends, as the program's help viewer reads it.
# With --check it only tells whether the committed file is up to date.
set -euo pipefail
cd "$(dirname "$0")/.."

generated=$(mktemp)
trap 'rm -f "$generated"' EXIT
iconv -f UTF-8 -t CP1250 res/help.txt | sed 's/$/\r/' > "$generated"

if [ "${1:-}" = "--check" ]; then
  if cmp -s "$generated" res/TARVELIN.HLP; then
    echo "res/TARVELIN.HLP is up to date"
  else
    echo "res/TARVELIN.HLP differs from res/help.txt: run tools/gen_help.sh" >&2
    exit 1
  fi
else
  cp "$generated" res/TARVELIN.HLP
  echo "wrote res/TARVELIN.HLP"
fi
