#!/usr/bin/env bash
# Builds the fuzz targets (preset `fuzz`: clang, ASan, UBSan) and runs each
# for a while, starting from the committed seeds.
#
#   tests/fuzz/run.sh                 every target for 30 s
#   tests/fuzz/run.sh -t 1800 runner  one target for 30 minutes
#
# New corpus entries go to build-fuzz/corpus/TARGET (not committed); a crash
# leaves its input as build-fuzz/findings/TARGET/crash-* and fails the script.
# Without clang's fuzzer runtime the script says so and exits 0.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
seconds=30
while getopts "t:" opt; do
  case $opt in
    t) seconds=$OPTARG ;;
    *) echo "usage: $0 [-t seconds] [target...]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(tokenizer expand cmdline escape receive runner tls pattern)

probe="$(mktemp -d)"
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
  >"$probe/p.cpp"
if ! command -v clang++ >/dev/null ||
   ! clang++ -fsanitize=fuzzer,address "$probe/p.cpp" -o "$probe/p" 2>/dev/null; then
  echo "fuzz: skipped, clang++ with the libFuzzer runtime (libclang-rt-dev) is not installed"
  exit 0
fi

cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${JOBS:-2}"

status=0
for t in "${targets[@]}"; do
  corpus="build-fuzz/corpus/$t"
  findings="build-fuzz/findings/$t"
  mkdir -p "$corpus" "$findings"
  log="build-fuzz/findings/$t.log"
  echo "fuzz: $t for ${seconds}s"
  if nice build-fuzz/fuzz/fuzz_"$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -dict=tests/fuzz/dict.txt -artifact_prefix="$findings/" -print_final_stats=1 \
       "$corpus" tests/fuzz/corpus/"$t" >"$log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done' "$log" | tr '\n' ' '
    echo
  else
    echo "fuzz: $t FAILED, see $log"
    grep -E 'ERROR|check failed|runtime error|SUMMARY' "$log" | head -5
    status=1
  fi
done
exit $status
