#!/usr/bin/env bash
# Backs a small home folder up onto real FAT32, exFAT, NTFS, btrfs and xfs
# file systems (made and mounted by scripts/fs-images.sh) with the program
# itself, twice, and checks that the first run completes and the second
# changes nothing; then that a change is still copied, that the preserving
# mode keeps the old version there, and that a source on FAT settles onto
# the local disk after one run. The Linux services' own destination tests
# run on each mount too.
#
#   scripts/fs-images-test.sh [--build DIR]     (as root)
#
# Needs root for loop devices and mounts; without it, or where a file system
# cannot be mounted, it says so and skips (see scripts/fs-images.sh).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)

# The home folder: 9 files (one a link, one a FIFO) in 5 folders, below the
# top folder. Times have odd nanoseconds, as ext4 keeps them.
make_home() {
  local home=$1 stamp=1700000001 f
  mkdir -p "$home/Documents" "$home/.config/app" "$home/bin" \
           "$home/Photos: 2024"
  printf 'Dear Ann,\nthe backup works.\n' >"$home/Documents/letter.txt"
  printf '# Notes\n- buy milk\n' >"$home/Documents/notes.md"
  head -c 20000 /dev/urandom >"$home/Documents/report.odt"
  printf 'token=secret\n' >"$home/.config/app/settings.conf"
  chmod 0600 "$home/.config/app/settings.conf"
  printf '#!/bin/sh\necho backing up\n' >"$home/bin/backup.sh"
  chmod 0755 "$home/bin/backup.sh"
  printf 'agenda\n' >"$home/Meeting 10:30.txt"
  printf 'menu\n' >"$home/café.txt"
  printf 'lake\n' >"$home/Photos: 2024/lake.txt"
  ln -s Documents/letter.txt "$home/link-to-letter"
  mkfifo "$home/pipe"
  while IFS= read -r -d '' f; do
    touch -h -d "@$stamp.123456789" "$f"
    stamp=$((stamp + 3))
  done < <(find "$home" -mindepth 1 -depth -print0)
}

# What each driver leaves out of that home folder, one path (below the
# home folder) a line; "?" where this script has no expectation.
expected_left_out() {
  local colon=$'Meeting 10:30.txt\nPhotos: 2024' special=$'link-to-letter\npipe'
  case $FS_DRIVER${NTFS_OPTIONS:++$NTFS_OPTIONS} in
    # fusefat takes only ASCII names.
    fusefat) printf '%s\n' "$colon" "$special" 'café.txt' ;;
    exfat-fuse|vfat|exfat) printf '%s\n' "$colon" "$special" ;;
    ntfs-3g+windows_names) printf '%s\n' "$colon" ;;
    ntfs-3g|btrfs|xfs) ;;
    *) echo '?' ;;
  esac
}

# One line per entry below $1: path, kind, size, last-modified time, mode.
describe() {
  (cd "$1" && find . -mindepth 1 -printf '%P|%y|%s|%T@|%m\n' | LC_ALL=C sort)
}

# Fails unless the report in $1 shows only the two intact counts, which
# must be $2 files and $3 folders.
expect_settled() {
  local report=$1 files=$2 folders=$3
  grep -q '^Done in' "$report" || { echo "did not complete"; return 1; }
  local expected
  expected=$(printf '%s\n' " $files files scanned, but intact, " \
    " $folders folders scanned, but intact," " 0 folders newly created," \
    " 0 folders refreshed," " 0 files newly created and" " 0 files refreshed.")
  [[ $(sed -n '2,7p' "$report" | tr -d '\r') == "$expected" ]] ||
    { echo "not settled:"; cat "$report"; return 1; }
}

fail() { echo "FAIL ($FS_NAME, $FS_DRIVER): $*"; status=1; }

run_job() {  # REPORT FIELD...
  local report=$1
  shift
  "$bench" "$work" "$@" >"$report" 2>"$report.err" ||
    { cat "$report" "$report.err"; return 1; }
}

# The home folder onto the mounted file system $1.
on_mount() {
  local mount=$1
  status=0
  work=$(mktemp -d /tmp/fs-images-test.XXXXXX)
  trap 'rm -rf "$work"' EXIT
  local home=$work/home dst=$mount/backup old=$mount/old
  make_home "$home"
  mkdir -p "$dst" "$old"

  FERNWISE_TEST_DESTINATION=$mount "$build/tests/platform_tests" \
    --gtest_filter='*Destination*' --gtest_brief=1 >"$work/unit" 2>&1 ||
    { cat "$work/unit"; fail "the services' destination tests"; }

  run_job "$work/run1" BACKUP "$home" "$dst" || fail "run 1 failed"
  grep -q '^Done in' "$work/run1" || fail "run 1 did not complete"
  describe "$dst" >"$work/after1"
  local expected listed
  expected=$(expected_left_out | LC_ALL=C sort)
  listed=$(sed -n '2,$p' "$work/Not backed up.txt" 2>/dev/null | tr -d '\r' |
           sed "s|^$home/||; s| (.*)\$||" | LC_ALL=C sort)
  # Every source file is scanned but those in a folder left out; every
  # folder is.
  local files folders rel
  files=$(find "$home" -mindepth 1 ! -type d | wc -l)
  folders=$(find "$home" -mindepth 1 -type d | wc -l)
  while IFS= read -r rel; do
    [[ -n $rel && -d $home/$rel ]] &&
      files=$((files - $(find "$home/$rel" ! -type d | wc -l)))
  done <<<"$listed"

  run_job "$work/run2" BACKUP "$home" "$dst" || fail "run 2 failed"
  expect_settled "$work/run2" "$files" "$folders" ||
    fail "run 2 changed something"
  describe "$dst" >"$work/after2"
  diff "$work/after1" "$work/after2" || fail "run 2 changed the destination"
  find "$dst" -name '*.fernwise-*' | grep . && fail "temporary files left"

  # What was left out: named in the list file and the message, and nothing
  # else missing; every file that is there holds its source's content.
  if [[ $expected != '?' ]]; then
    [[ $listed == "$expected" ]] ||
      fail "left out: expected [${expected//$'\n'/, }], listed [${listed//$'\n'/, }]"
    if [[ -n $expected ]]; then
      grep -q "^message: .* not backed up" "$work/run2.err" ||
        fail "run 2 did not say what it left out"
    else
      grep -q '^message:' "$work/run2.err" && fail "a message without cause"
    fi
  fi
  while IFS= read -r rel; do
    [[ -z $rel ]] && continue
    if [[ -e $dst/$rel || -L $dst/$rel ]]; then
      grep -qxF "$rel" <<<"$listed" && fail "listed as left out, yet there: $rel"
    elif ! grep -qxF "$rel" <<<"$listed" &&
         ! grep -qxF "${rel%%/*}" <<<"$listed"; then
      fail "missing and not listed: $rel"
    fi
    if [[ -f $home/$rel && ! -L $home/$rel && -f $dst/$rel ]]; then
      cmp -s "$home/$rel" "$dst/$rel" || fail "content differs: $rel"
    fi
  done < <(cd "$home" && find . -mindepth 1 -printf '%P\n')

  # A change is still seen through the coarse times, and the preserving
  # mode keeps the version it replaces on the same drive.
  printf 'P.S. see you\n' >>"$home/Documents/letter.txt"
  touch -d @1800000000.5 "$home/Documents/letter.txt"
  run_job "$work/run3" MODE DUP-PRE "$old" BACKUP "$home" "$dst" ||
    fail "run 3 failed"
  grep -q '^ 1 files refreshed' "$work/run3" || fail "run 3 missed the change"
  cmp -s "$home/Documents/letter.txt" "$dst/Documents/letter.txt" ||
    fail "run 3 did not copy the change"
  [[ $(find "$old" -type f | wc -l) == 1 ]] ||
    fail "run 3 kept no single old version"
  run_job "$work/run4" MODE DUP-PRE "$old" BACKUP "$home" "$dst" ||
    fail "run 4 failed"
  expect_settled "$work/run4" "$files" "$folders" ||
    fail "run 4 changed something"

  # A source on this file system settles onto the local disk.
  local coarse=$mount/coarse-home local=$work/local
  mkdir -p "$coarse" "$local"
  cp -r "$home/Documents" "$home/bin" "$coarse/"
  find "$coarse" -mindepth 1 -exec touch -d @1700000001.987654321 {} +
  run_job "$work/run5" BACKUP "$coarse" "$local" || fail "run 5 failed"
  run_job "$work/run6" BACKUP "$coarse" "$local" || fail "run 6 failed"
  expect_settled "$work/run6" 4 2 || fail "a source on $FS_NAME did not settle"
  diff -r "$coarse" "$local" >/dev/null || fail "the local copy differs"

  # A file and a folder renamed only in letter case keep their backup, on
  # a drive that ignores case as on one that does not; a second run then
  # finds everything in place.
  mv "$home/Documents/notes.md" "$home/Documents/Notes.md"
  mv "$home/bin" "$home/Bin"
  run_job "$work/run7" MODE DUP-DES BACKUP "$home" "$dst" || fail "run 7 failed"
  for rel in Documents/Notes.md Bin/backup.sh; do
    cmp -s "$home/$rel" "$dst/$rel" || fail "a change of letter case lost $rel"
  done
  run_job "$work/run8" MODE DUP-DES BACKUP "$home" "$dst" || fail "run 8 failed"
  expect_settled "$work/run8" "$files" "$folders" ||
    fail "run 8 changed something"

  ((status == 0)) && echo "$FS_NAME ($FS_DRIVER): all checks passed"
  return "$status"
}

if [[ ${1:-} == --on ]]; then
  : "${FERNWISE_BUILD:?}"
  build=$FERNWISE_BUILD bench=$FERNWISE_BUILD/bench/run_job_bench
  on_mount "$2"
  exit
fi

build=build
[[ ${1:-} == --build ]] && build=$2
build=$(realpath "$build")
[[ -x $build/bench/run_job_bench && -x $build/tests/platform_tests ]] || {
  echo "fs-images-test: build $build first (with FERNWISE_BENCH=ON)" >&2
  exit 2
}
if ((EUID != 0)); then
  echo "fs-images-test: skipped: needs root for loop devices and mounts" >&2
  exit 0
fi
export FERNWISE_BUILD=$build
result=0
"$here/fs-images.sh" -- "$here/fs-images-test.sh" --on {} || result=1
# As desktop automounters mount NTFS: Windows' naming rules apply.
NTFS_OPTIONS=windows_names "$here/fs-images.sh" -f ntfs -- \
  "$here/fs-images-test.sh" --on {} || result=1
exit "$result"
