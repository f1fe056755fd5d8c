#!/usr/bin/env bash
# Cross-builds the Windows program and its tests into build-win/ with
# mingw-w64 and runs the core's tests and the Win32 file-system tests under
# Wine, in a throw-away Wine prefix. Exits non-zero when any test fails.
#   scripts/wine-tests.sh            build and test
#   FERNWISE_WINE_E2E=0 scripts/wine-tests.sh   skip the end-to-end window run
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh windows

build=build-win
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DFERNWISE_BENCH=OFF
cmake --build "$build" -j"$(nproc)"

WINEPREFIX=$(mktemp -d)
export WINEPREFIX WINEDEBUG=-all
# No Mono or Gecko: their install dialogs would wait for a user.
export WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
# One server for every run below: one started under the file-size limit
# could not save the prefix's registry.
wineserver -p
wineboot --init >/dev/null 2>&1

# Wine makes no links from inside (CreateSymbolicLinkW succeeds and makes
# nothing), but shows host links to folders as reparse points and host links
# to files as the files they name: the link tests use these.
links="$WINEPREFIX/drive_c/fernwise-links"
mkdir -p "$links/src" "$links/dst" "$links/outside"
ln -s ../outside "$links/src/AppData"
ln -s ../outside "$links/dst/Gone"
# A link to a file in a source, and a link to an empty folder in a folder
# the sweep removes (Wine would remove the empty folder if asked to remove
# the link).
mkdir -p "$links/files/src" "$links/files/dst"
printf 'target content' >"$links/files/target.txt"
ln -s ../target.txt "$links/files/src/note.txt"
mkdir -p "$links/swept/src" "$links/swept/dst/Old" "$links/swept/target"
ln -s ../../target "$links/swept/dst/Old/Link"
# A link to a folder in a destination whose source has a file of its name.
mkdir -p "$links/kind/src" "$links/kind/dst" "$links/kind/outside"
ln -s ../outside "$links/kind/dst/X"
# And one whose source has a folder of its name.
mkdir -p "$links/kind-folder/src/X" "$links/kind-folder/dst" \
         "$links/kind-folder/outside"
ln -s ../outside "$links/kind-folder/dst/X"
# A folder Wine reads as read-only, as Windows reads many shell folders.
mkdir -p "$links/readonly"
printf 'a' >"$links/readonly/a"
chmod 555 "$links/readonly"
export FERNWISE_LINK_FOLDER='C:\fernwise-links'

failed=()
for program in core_tests sync_tests tree_tests job_tests platform_tests; do
  exe="$build/tests/$program.exe"
  if [[ ! -f $exe ]]; then
    echo "missing $exe" >&2
    failed+=("$program")
    continue
  fi
  echo "== $program under Wine"
  wine "$exe" --gtest_brief=1 || failed+=("$program")
done

# Once more with a file-size limit, so that a listing file refuses part of
# what is written to it (the limit is the kernel's, as for any process; its
# signal is ignored so that the write fails instead). The server keeps
# running from the runs above, so its own files are not limited.
echo "== platform_tests under Wine, with file sizes limited"
if ! (ulimit -f 64 && trap '' XFSZ &&
      FERNWISE_FILE_LIMIT_KIB=64 wine "$build/tests/platform_tests.exe" \
        --gtest_brief=1 --gtest_filter='*LostWhatItHeld*'); then
  failed+=("platform_tests with file sizes limited")
fi

# What a FAT drive keeps, learnt under Wine: a FAT32 image mounted through
# fusefat and linked as the prefix's drive e:, which Wine reports as NTFS (as
# a NAS share over a FAT disk would). Where no image can be mounted (no
# root, no FUSE), fs-images.sh says so and the tests that need the drive
# skip.
echo "== platform_tests under Wine, on a FAT32 drive"
fat_tests='*FatDrive*'
if ! FS_IMAGES_DRIVER=fuse bash scripts/fs-images.sh -f fat32 -- bash -c '
       ln -sfn "$FS_MOUNT" "$WINEPREFIX/dosdevices/e:" &&
       FERNWISE_FAT_DRIVE=E: wine "$1" --gtest_brief=1 --gtest_filter="$2"
       status=$?; rm -f "$WINEPREFIX/dosdevices/e:"; exit $status' \
       fat "$build/tests/platform_tests.exe" "$fat_tests"; then
  failed+=("platform_tests on a FAT32 drive")
fi

if [[ "${FERNWISE_WINE_E2E:-1}" != 0 && -f scripts/wine-e2e.sh ]]; then
  bash scripts/wine-e2e.sh "$build" || failed+=(end-to-end)
fi

if [[ ${#failed[@]} -gt 0 ]]; then
  echo "Failed under Wine: ${failed[*]}" >&2
  exit 1
fi
(cd "$build" && cpack --config CPackConfig.cmake >/dev/null)
echo "Windows build: all tests passed under Wine; package $(ls "$build"/Fernwise-*-win64.zip)"
