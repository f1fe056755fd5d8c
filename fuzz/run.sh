#!/bin/bash
# Builds the job-script reader's fuzz target with clang's libFuzzer and the
# address and undefined-behaviour sanitizers, then fuzzes it for the given
# number of seconds (default 60). Exits non-zero on any crash or finding.
set -euo pipefail

seconds="${1:-60}"
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$repo/build-fuzz}"
clang="${CLANGXX:-clang++-14}"

mkdir -p "$build"
"$clang" -std=c++20 -O1 -g -I"$repo" \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  "$repo/fuzz/script_reader_fuzz.cpp" "$repo/job/script_reader.cpp" "$repo/sync/run_error.cpp" \
  -o "$build/script_reader_fuzz"

# Work on a copy so the committed seeds stay small and reviewed.
corpus="$build/corpus"
mkdir -p "$corpus"
cp "$repo"/fuzz/corpus/* "$corpus"/

cd "$build"
# libFuzzer reports every new input; keep that in a log and show its end,
# or all of it when something was found.
log="$build/fuzz.log"
status=0
./script_reader_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=4096 -dict="$repo/fuzz/script.dict" -print_final_stats=1 \
  "$corpus" >"$log" 2>&1 || status=$?
if [[ $status -ne 0 ]]; then
  cat "$log"
  echo "Fuzzing the job-script reader found a failure (exit $status)." >&2
  exit "$status"
fi
grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || tail -n 3 "$log"
echo "Fuzzed the job-script reader for ${seconds} s: no crash, no finding."
