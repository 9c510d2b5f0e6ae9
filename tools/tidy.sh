#!/usr/bin/env bash
# clang-tidy with the checks of .clang-tidy over the program's own sources:
# every file under src/ and tools/ in the native build's compile_commands.json
# (and the headers they include from there). Any finding fails the run.
#
#   tools/tidy.sh [BUILD_FOLDER]   default build/ (cmake --preset linux first)
#
# CLANG_TIDY names the program (default clang-tidy), JOBS the runs side by side.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
tidy="${CLANG_TIDY:-clang-tidy}"
jobs="${JOBS:-2}"
if [ ! -f "$build/compile_commands.json" ]; then
  echo "tidy.sh: no $build/compile_commands.json (configure the build first)" >&2
  exit 2
fi
files="$(python3 - "$build/compile_commands.json" "$root" <<'PY'
import json, os, sys
root = sys.argv[2]
seen = set()
for entry in json.load(open(sys.argv[1])):
    path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    rel = os.path.relpath(path, root)
    if rel.split(os.sep)[0] in ("src", "tools") and path not in seen:
        seen.add(path)
        print(path)
PY
)"
[ -n "$files" ] || { echo "tidy.sh: no sources of src/ or tools/ in the build" >&2; exit 2; }
# The build's literals are Windows-1250, which clang cannot take: it reads
# them as UTF-8, as the fuzz build does. The compiler's own warnings are the
# build's business, not this run's.
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
status=0
printf '%s\n' "$files" | xargs -P "$jobs" -n 4 "$tidy" -p "$build" --quiet \
  --warnings-as-errors='*' --extra-arg=-fexec-charset=UTF-8 --extra-arg=-Wno-error \
  >"$out" 2>&1 || status=$?
grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$out" || true
count="$(printf '%s\n' "$files" | wc -l)"
if [ "$status" != 0 ]; then
  echo "tidy.sh: findings (above) in the sources checked: $count" >&2
  exit 1
fi
echo "tidy.sh: no findings in the sources checked: $count"
