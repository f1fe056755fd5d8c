#!/usr/bin/env bash
# Builds everything and runs every test: the core, the POSIX services and the
# window on Linux, backups onto mounted file-system images, the job-script
# fuzzer for a bounded time, the benchmark driver's quick mode, the Debian
# package installed, run and removed, and the Windows build's tests under
# Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
# The records of the runs below go into the build tree, not the home folder.
export XDG_STATE_HOME=$PWD/build/test-state

bash scripts/install-deps.sh windows package

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DFERNWISE_GUI=ON -DFERNWISE_TESTS=ON -DFERNWISE_BENCH=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
# Backups onto FAT32, exFAT, NTFS, btrfs and xfs images (as root; skips
# what cannot be mounted, and says so).
bash scripts/fs-images-test.sh --build build
# Every copy on the disk before its name, and the flush before the report,
# checked on the system calls of real runs.
bash scripts/durability-test.sh --build build

bash fuzz/run.sh "${FERNWISE_FUZZ_SECONDS:-60}"
# The benchmark's quick mode proves every step of it still runs; its figures
# mean nothing and nothing is compared against them.
bash bench/compare.sh --quick --build build
# The Debian package: built with Debian's flags, validated, lintian-clean,
# installed with apt-get, run end to end from /usr/bin and purged.
bash scripts/package-test.sh
bash scripts/wine-tests.sh
echo "All tests passed."
