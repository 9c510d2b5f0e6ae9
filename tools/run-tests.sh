#!/usr/bin/env bash
# Builds everything and runs every test: unit tests and conformance runs in the
# native build, the address and undefined-behaviour sanitizer build and the
# thread sanitizer build, then the 64-bit and the 32-bit Windows program (and
# its installer) under Wine (and the TLS cases under a newer Wine), then the
# soak, fault and fuzz runs, then clang-tidy over the sources. This is what CI
# runs.
#
#   tools/run-tests.sh          the full tier
#   tools/run-tests.sh --fast   the native build's unit tests and conformance
#                               runs only (well under two minutes)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
jobs="${JOBS:-2}"

fast=0
case "${1:-}" in
  "") ;;
  --fast) fast=1 ;;
  *)
    echo "usage: $0 [--fast]" >&2
    exit 2
    ;;
esac

cmake --preset linux
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure --timeout 120
if [ "$fast" = 1 ]; then
  exit 0
fi

cmake --preset asan
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan -j "$jobs" --output-on-failure --timeout 240

# The same tests under ThreadSanitizer: each host lookup of the headless
# program runs on a helper thread of its own. A report fails the test (the
# program's exit status and standard error change).
cmake --preset tsan
cmake --build build-tsan -j "$jobs"
ctest --test-dir build-tsan -j "$jobs" --output-on-failure --timeout 240

# The Windows program in both its builds, each under its own Wine (64-bit
# with wine64, 32-bit with the 32-bit loader) in a fresh prefix, and the TLS
# cases of the 64-bit program once more under Debian 13's Wine 10, whose
# Schannel has the server side that the system's Wine 8 lacks (in a root of
# their own, made by tools/deps.sh, or by the run when it is missing). The
# runs mostly wait for windows and peers, so they go side by side; each
# one's output is shown whole once all have ended.
if [ -f src/win32/CMakeLists.txt ]; then
  for preset in win64 win32; do
    cmake --preset "$preset"
    cmake --build "build-$preset" -j "$jobs"
  done
  if [ -x tests/win32/run.sh ]; then
    wine_out="$(mktemp -d)"
    trap 'rm -rf "$wine_out"' EXIT
    runs=("run.sh build-win64" "run.sh build-win32" "newer-wine.sh build-win64")
    # A kernel built without 32-bit support cannot start the 32-bit loader
    # at all (the shell's 126, "Exec format error"): the 32-bit program is
    # built but cannot run on such a machine, which is said, not hidden.
    if [ -x /usr/lib/wine/wine ]; then
      probe=0
      /usr/lib/wine/wine --version >/dev/null 2>&1 || probe=$?
      if [ "$probe" = 126 ]; then
        echo "--- tests/win32/run.sh build-win32 skipped: this kernel cannot run 32-bit programs (uname -r: $(uname -r))"
        runs=("run.sh build-win64" "newer-wine.sh build-win64")
      fi
    fi
    pids=()
    for i in "${!runs[@]}"; do
      read -r script build <<<"${runs[$i]}"
      # CI set: a case whose tool is missing (makensis) fails, not skips.
      CI=1 tests/win32/"$script" "$root/$build" >"$wine_out/$i" 2>&1 &
      pids+=($!)
    done
    failed=0
    for i in "${!runs[@]}"; do
      status=0
      wait "${pids[$i]}" || status=$?
      echo "--- tests/win32/${runs[$i]} (exit $status)"
      cat "$wine_out/$i"
      [ "$status" = 0 ] || failed=1
    done
    [ "$failed" = 0 ] || exit 1
  fi
  # The recorder as a Windows console program records curl against nginx
  # through the loopback; its scripts must equal the headless recorder's.
  # CI set: a missing Wine, nginx or curl fails the step, not skips it.
  CI=1 python3 tests/record/record_test.py --recorder build/tarvelin-record \
    --program build/tarvelin --checker build/tarvelin-check \
    --wine-recorder build-win64/tarvelin-record.exe --only wine
fi

# --- Soak and fault runs of the headless program, native and with the
# sanitizers (LeakSanitizer judges every exit there).
tests/soak/soak.py --program build/tarvelin --peer build/tools/testpeer
tests/soak/soak.py --program build-asan/tarvelin --peer build-asan/tools/testpeer --cycles 2000 --runs 40
tests/faults/faults.py --quick --program build/tarvelin --peer build/tools/testpeer
tests/faults/faults.py --quick --program build-asan/tarvelin --peer build-asan/tools/testpeer

# --- Fuzzing: each libFuzzer target for 20 s (skipped with a message when
# clang's fuzzer runtime is missing). FUZZ_SECONDS=0 leaves the step out.
if [ "${FUZZ_SECONDS:-20}" != 0 ]; then
  tests/fuzz/run.sh -t "${FUZZ_SECONDS:-20}"
fi

# --- Static checks: clang-tidy with the checks of .clang-tidy over src/ and
# tools/, as the native build compiles them (tools/tidy.sh).
tools/tidy.sh build
