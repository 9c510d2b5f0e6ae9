#!/usr/bin/env bash
# Takes docs/screenshot-run.png again: the main window during a run that
# shows check boxes, under Wine in a private X server (the check_boxes case of
# the Windows end-to-end tests).
#
#   tools/win32/screenshot.sh [WIN_BUILD_DIR [NATIVE_BUILD_DIR]]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
TV_CASES=check_boxes TV_SCREENSHOT="$root/docs/screenshot-run.png" \
  "$root/tests/win32/run.sh" "${1:-$root/build-win64}" "${2:-$root/build}"
echo "wrote docs/screenshot-run.png"
