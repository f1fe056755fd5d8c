#!/bin/bash
# Builds the job-script reader's fuzz target with clang's libFuzzer and the
# address and undefined-behaviour sanitizers, then fuzzes it for the given
# number of seconds (default 60). Exits non-zero on any crash or finding.
#   CLANGXX=clang++-15 fuzz/run.sh 30     use that compiler (default: the
#                                         newest clang++ installed)
set -euo pipefail

seconds="${1:-60}"
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$repo/build-fuzz}"

# clang++ if it is there, else the newest clang++-N on the PATH.
newest_clang() {
  if command -v clang++ >/dev/null; then command -v clang++; return; fi
  compgen -c clang++- | grep -E '^clang\+\+-[0-9]+$' | sort -t- -k2 -n | tail -n 1
}
clangxx="${CLANGXX:-$(newest_clang)}"
if [[ -z $clangxx ]]; then
  echo "fuzz/run.sh: no clang++ is installed" >&2
  exit 1
fi
clangc="${clangxx/clang++/clang}"

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="$clangxx" -DCMAKE_C_COMPILER="$clangc" \
  -DFERNWISE_FUZZ=ON -DFERNWISE_GUI=OFF -DFERNWISE_TESTS=OFF \
  -DFERNWISE_BENCH=OFF >/dev/null
cmake --build "$build" --target script_reader_fuzz

# Work on a copy so the committed seeds stay small and reviewed.
corpus="$build/corpus"
mkdir -p "$corpus"
cp "$repo"/fuzz/corpus/* "$corpus"/

cd "$build"
# libFuzzer reports every new input; keep that in a log and show its end,
# or all of it when something was found.
log="$build/fuzz.log"
status=0
./fuzz/script_reader_fuzz -max_total_time="$seconds" -timeout=10 \
  -rss_limit_mb=2048 -max_len=4096 -dict="$repo/fuzz/script.dict" \
  -print_final_stats=1 "$corpus" >"$log" 2>&1 || status=$?
if [[ $status -ne 0 ]]; then
  cat "$log"
  echo "Fuzzing the job-script reader found a failure (exit $status)." >&2
  exit "$status"
fi
grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || tail -n 3 "$log"
echo "Fuzzed the job-script reader for ${seconds} s: no crash, no finding."
