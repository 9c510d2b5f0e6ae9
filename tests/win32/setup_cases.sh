# The installer's cases (tarvelin-setup.exe beside tarvelin.exe) and the
# program's version resource; sourced by cases.sh. The installation case
# runs in a prefix of its own and checks that the uninstallation leaves it as
# it was before the installation.
# shellcheck shell=bash disable=SC2154,SC2034

SETUP_CASES="version_resource setup_install_open_uninstall"

SETUP="$win_build/tarvelin-setup.exe"

# The project's version as the build knows it (CMakeCache.txt).
project_version() {
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win_build/CMakeCache.txt"
}

# The version resource of tarvelin.exe (and of the installer, when built)
# carries the project's version and the product name.
case_version_resource() {
  local version
  version=$(project_version)
  [ -n "$version" ] || { echo "no CMAKE_PROJECT_VERSION in $win_build/CMakeCache.txt" >&2; return 1; }
  # Four parts for the fixed part: 1.10 is 1.10.0.0.
  local four=$version
  while [ "$(tr -cd . <<<"$four" | wc -c)" -lt 3 ]; do four="$four.0"; done
  python3 "$here/peversion.py" "$EXE" >"$dir/program.txt"
  cat "$dir/program.txt"
  grep -qx "FILEVERSION $four" "$dir/program.txt"
  grep -qx "PRODUCTVERSION $four" "$dir/program.txt"
  grep -qx "040504e2 FileVersion=$version" "$dir/program.txt"
  grep -qx "040504e2 ProductVersion=$version" "$dir/program.txt"
  grep -qx "040504e2 ProductName=Tarvelin" "$dir/program.txt"
  grep -qx "040504e2 OriginalFilename=tarvelin.exe" "$dir/program.txt"
  if [ -f "$SETUP" ]; then
    python3 "$here/peversion.py" "$SETUP" >"$dir/setup.txt"
    grep -qx "FILEVERSION $four" "$dir/setup.txt"
    grep -q " ProductName=Tarvelin$" "$dir/setup.txt"
    grep -q " ProductVersion=$version$" "$dir/setup.txt"
  fi
}

# What the prefix holds: the files of drive C: (the temporary folders left
# out) and the machine's and the user's software keys of the registry (but
# for the system parameters Wine keeps there while programs run).
prefix_state() {
  local name=$1
  (cd "$WINEPREFIX/drive_c" && find . -path '*/[Tt]emp' -prune -o -print | sort) \
    >"$dir/$name.files"
  local key
  for key in HKLM HKCU; do
    "$WINE" reg export "$key\\Software" "$(winpath "$dir/$name.$key.reg")" /y >/dev/null 2>&1
    iconv -f UTF-16 -t UTF-8 "$dir/$name.$key.reg" | tr -d '\r' |
      awk '/^\[/ { skip = index($0, "\\Software\\Wine\\Temporary System Parameters") > 0 }
           !skip' >"$dir/$name.$key.txt"
  done
}

# The value VALUE ("" for the default one) of the registry key KEY.
reg_value() {
  local key=$1 value=$2 args=(/v "$2")
  [ -n "$value" ] || args=(/ve)
  "$WINE" reg query "$key" "${args[@]}" 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *[^ ].*  *REG_[A-Z_]*  *//p' | head -n 1
}

# Waits until the command given fails (up to 60 s).
until_gone() {
  for _ in $(seq 600); do
    "$@" >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  echo "still there after 60 s: $*" >&2
  return 1
}

# A silent installation into a fresh prefix of the case's own (so that a
# second attempt cannot find the first one's leftovers): the files, the
# Start-menu entry, the file type and the uninstaller's key; a .tvl file
# opened through the shell starts the installed program on that script in
# its own folder; the silent uninstallation leaves the prefix as before.
case_setup_install_open_uninstall() {
  # Skipped where makensis was missing at the build; in CI (the full tier of
  # tools/run-tests.sh, after tools/deps.sh installed nsis) that fails.
  if [ ! -f "$SETUP" ]; then
    echo "no $SETUP (makensis, Debian's nsis, was missing at the build)"
    [ -z "${CI:-}" ] || exit 1
    exit 77
  fi
  export WINEPREFIX="$dir/prefix"
  # shellcheck disable=SC2064
  trap "'$WINESERVER' -k >/dev/null 2>&1 || true; [ '${TV_KEEP:-}' = 1 ] || rm -rf '$dir/prefix'" EXIT
  prepare_prefix "$dir/wineboot.log"
  local folder="$WINEPREFIX/drive_c/Program Files/Tarvelin"
  local menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tarvelin"
  local uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarvelin'
  local version
  version=$(project_version)
  [ ! -e "$folder" ]
  prefix_state before

  (cd "$dir" && timeout 120 "$WINE" "$SETUP" /S) >"$dir/setup.out" 2>&1
  for f in tarvelin.exe TARVELIN.HLP uninstall.exe; do
    [ -f "$folder/$f" ] || { echo "not installed: $f" >&2; return 1; }
  done
  cmp "$EXE" "$folder/tarvelin.exe"
  cmp "$root/res/TARVELIN.HLP" "$folder/TARVELIN.HLP"
  diff -r "$root/res/examples" "$folder/examples"
  [ -f "$menu/Tarvelin.lnk" ] || { echo "no Start-menu entry in $menu" >&2; ls -R "$WINEPREFIX/drive_c/ProgramData" >&2; return 1; }
  [ -f "$menu/Příklady scriptů.lnk" ]

  local command
  command=$(reg_value 'HKCR\.tvl' "")
  [ "$command" = Tarvelin.Script ] || { echo "HKCR\\.tvl holds '$command'" >&2; return 1; }
  command=$(reg_value 'HKCR\Tarvelin.Script\shell\open\command' "")
  echo "open command: $command"
  [ "$command" = '"C:\Program Files\Tarvelin\tarvelin.exe" "%1"' ]
  [ "$(reg_value "$uninstall" DisplayVersion)" = "$version" ]
  [ "$(reg_value "$uninstall" QuietUninstallString)" = '"C:\Program Files\Tarvelin\uninstall.exe" /S' ]

  # Opened through the shell (a double click does the same): the installed
  # program runs the script, whose name has a blank and Czech letters (the
  # open command quotes it); its log is in the script's folder.
  script "pozdrav kůň.tvl" <<'EOF'
Comment Otevřeno přes typ souboru
Message "Spuštěno poklepáním na soubor .tvl"
EOF
  (cd "$dir" && "$WINE" start /unix "$dir/pozdrav kůň.tvl") >>"$dir/program.out" 2>&1
  drive <<EOF
window-prefix main "#32770" "Tarvelin - běží script "
box m "Zpráva scriptu" "Spuštěno poklepáním na soubor .tvl"
EOF
  shot setup-association
  drive <<EOF
window main "#32770" "Tarvelin - běží script $(drvpath "$dir")\\\\pozdrav kůň.tvl"
box m "Zpráva scriptu" "Spuštěno poklepáním na soubor .tvl"
press m 1
title main "Tarvelin 1.10"
text main 1000 "$(drvpath "$dir")\\\\pozdrav kůň.tvl"
text main 1004 "Script ukončen."
close main
gone main
EOF
  log_is <<EOF
Program zahájen.
Interpretuji soubor $(winpath "$dir")\\pozdrav kůň.tvl
\$\$ Comment Otevřeno přes typ souboru
\$\$ Message "Spuštěno poklepáním na soubor .tvl"
Soubor interpretován a uzavřen.
Konec programu.
EOF
  "$WINESERVER" -w

  # The Start-menu entry starts the program in the user's own folder
  # (%USERPROFILE%), where its log can be written. The log is the user's
  # file, not the installer's: it goes before the comparison below.
  (cd "$dir" && "$WINE" start 'C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Tarvelin\Tarvelin.lnk') \
    >>"$dir/program.out" 2>&1
  drive <<'EOF'
window main "#32770" "Tarvelin 1.10"
text main 1004 "Program odstartován, čekám na spuštění scriptu."
close main
gone main
EOF
  "$WINESERVER" -w
  local user_log
  user_log=$(find "$WINEPREFIX/drive_c/users" -maxdepth 2 -name TARVELIN.LOG)
  [ -n "$user_log" ] || { echo "the Start-menu entry's run left no log in the user's folder" >&2; return 1; }
  rm -f "$user_log"

  # The uninstaller runs a copy of itself from the temporary folder and
  # returns at once: the case waits for its work to be done.
  (cd "$dir" && timeout 120 "$WINE" 'C:\Program Files\Tarvelin\uninstall.exe' /S) \
    >"$dir/uninstall.out" 2>&1
  until_gone test -e "$folder"
  until_gone "$WINE" reg query "$uninstall"
  "$WINESERVER" -w
  [ ! -e "$menu" ] || { echo "the Start-menu folder is left" >&2; ls -la "$menu" >&2; return 1; }
  for key in 'HKCR\.tvl' 'HKCR\Tarvelin.Script' "$uninstall"; do
    if "$WINE" reg query "$key" >/dev/null 2>&1; then
      echo "the key $key is left" >&2
      return 1
    fi
  done
  prefix_state after
  local left=0
  diff -u "$dir/before.files" "$dir/after.files" >&2 || left=1
  diff -u "$dir/before.HKLM.txt" "$dir/after.HKLM.txt" >&2 || left=1
  diff -u "$dir/before.HKCU.txt" "$dir/after.HKCU.txt" >&2 || left=1
  if [ "$left" != 0 ]; then
    echo "the uninstallation left the prefix changed (- before, + after)" >&2
    return 1
  fi
}
