#!/usr/bin/env bash
# Checks, on the system calls of real runs, what "Done" promises: every copy
# a run renames into place had its data flushed (fdatasync of the file, or a
# syncfs after its last write) before the rename, the destination's file
# system is flushed after the last rename and before the completion report
# is written, the run's record is flushed before the report too, and a run
# that changes nothing flushes nothing, its record neither.
#   scripts/durability-test.sh [--build DIR]      (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build
[[ ${1:-} == --build ]] && build=$2
bench=$build/bench/run_job_bench
command -v strace >/dev/null || { echo "durability: strace is missing" >&2; exit 1; }
[[ -x $bench ]] || { echo "durability: $bench is not built" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/fernwise-durability.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/sub" "$work/dst" "$work/old" "$work/run"
printf 'small' >"$work/src/a.txt"
: >"$work/src/empty"
head -c 3000000 /dev/urandom >"$work/src/sub/big.bin"
for i in $(seq 1 40); do printf 'file %s' "$i" >"$work/src/sub/f$i"; done
# Displaced by the run: a stale copy (refreshed) and one the source lost
# (erased), each kept first in the secondary folder.
printf 'stale' >"$work/dst/a.txt"
touch -d '2001-01-01' "$work/dst/a.txt"
printf 'gone' >"$work/dst/gone.txt"

trace=$work/trace
traced_run() {
  XDG_STATE_HOME=$work/state strace -f -y -qq -s 40 -o "$trace" \
    -e trace=write,pwrite64,copy_file_range,ioctl,fdatasync,fsync,syncfs,renameat,renameat2,linkat \
    "$bench" "$work/run" MODE DUPLEX-PRESERVING "$work/old" \
    BACKUP "$work/src" "$work/dst" >"$work/out"
}

# Prints what the trace breaks of the promise; nothing when it holds.
check() {
  awk -v expect_flush="$1" -v records="$work/state/" '
    function path(text) {  # the path strace -y shows for an fd argument
      return substr(text, index(text, "<") + 1, index(text, ">") - index(text, "<") - 1)
    }
    / = -1 / { next }  # failed calls did nothing
    /fsync\(/ && index(path($0), records) == 1 { record_flushed = NR; next }
    /(write|pwrite64|copy_file_range|ioctl)\(/ {
      n = split($0, parts, "<")
      for (i = 2; i <= n; ++i) {
        p = substr(parts[i], 1, index(parts[i], ">") - 1)
        if (p ~ /\.fernwise-[A-Za-z0-9]+$/) written[p] = NR
      }
    }
    /(fdatasync|fsync)\(/ { flushed[path($0)] = NR }
    /syncfs\(/ { last_syncfs = NR }
    /(renameat2?|linkat)\(/ {
      folder = path($0)
      split($0, quoted, "\"")
      temp = folder "/" quoted[2]
      if (quoted[2] !~ /\.fernwise-/) next
      ++renames; last_rename = NR
      done = flushed[temp] > last_syncfs ? flushed[temp] : last_syncfs
      if (temp in written && done < written[temp])
        print "renamed before its data was flushed: " temp " (line " NR ")"
    }
    /write\(1<.*"Done in/ { report = NR }
    END {
      if (!report) print "no completion report in the trace"
      if (expect_flush == "yes") {
        if (renames < 40) print "only " renames " renames of copies seen"
        if (last_syncfs < last_rename || last_syncfs > report)
          print "the destination was not flushed between the last rename and the report"
        if (!record_flushed || record_flushed > report)
          print "the run record was not flushed before the report"
      } else if (renames || last_syncfs || length(flushed) || record_flushed)
        print "a run that changed nothing wrote or flushed"
    }' "$trace"
}

status=0
traced_run
problems=$(check yes)
if [[ -n $problems ]]; then echo "durability: first run: $problems" >&2; status=1; fi
diff -r "$work/src" "$work/dst" >/dev/null || { echo "durability: the backup differs" >&2; status=1; }
[[ $(ls -A "$work/old" | wc -l) == 2 ]] || { echo "durability: kept versions missing" >&2; status=1; }
traced_run
problems=$(check no)
if [[ -n $problems ]]; then echo "durability: unchanged run: $problems" >&2; status=1; fi
[[ $status == 0 ]] && echo "durability: every copy was on the disk before its name; the report came after the flush"
exit $status
