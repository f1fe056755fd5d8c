#!/usr/bin/env bash
# Builds everything and runs every test: the core, the POSIX services and the
# window on Linux, the job-script fuzzer for a bounded time, the benchmark
# driver's quick mode, and the Windows build's tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh windows

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DFERNWISE_GUI=ON -DFERNWISE_TESTS=ON -DFERNWISE_BENCH=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"

if [[ -f fuzz/run.sh ]]; then
  bash fuzz/run.sh "${FERNWISE_FUZZ_SECONDS:-60}"
fi
if [[ -f bench/quick.sh ]]; then
  bash bench/quick.sh
fi
if [[ -f scripts/wine-tests.sh ]]; then
  bash scripts/wine-tests.sh
fi
echo "All tests passed."
