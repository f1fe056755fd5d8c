#!/usr/bin/env bash
# Measures Fernwise against cp -a, rsync -a and two C walkers on the same
# generated trees, alternating the contenders run by run, and prints medians,
# min-max and the ratios against the bars. See bench/README.md.
#
#   bench/compare.sh [--quick] [--cold] [--runs N] [--scale S] [--build DIR]
#                    [--data DIR] [--cases LIST]
#
#   --quick   scale 0.01, one run of each, in a temporary folder removed at the
#             end: proves every step still works; its figures mean nothing.
#   --cold    drops the page cache, the dentries and the inodes before every
#             timed run (sync; echo 3 > /proc/sys/vm/drop_caches): the
#             morning-after run, every tree read from the disk. Needs root.
#   --runs    runs of each contender per scenario (default 5; the million
#             tree at most 3)
#   --scale   tree scale (default 1: "many" has 100,000 files); "million"
#             has 1,000,000 files whatever the scale (10,000 when quick)
#   --build   build folder holding bench/ programs (default: build-bench)
#   --data    where the trees go (default: /tmp/fernwise-bench); needs about
#             3 GiB at scale 1, and 4.5 GiB more for the million tree
#   --cases   comma-separated scenarios (default: all but million):
#             copy      first copy of "many": fernwise, cp -a, cp -a + sync, rsync
#             big       first copy of "big"
#             unchanged unchanged re-run of "many": duplex, simplex, rsync
#             walkers   the two C walkers on the unchanged "many"
#             touched   1% of "many" touched: duplex, rsync
#             listing   STOREFOLDERTREE of "many", find -printf
#             wide      first copy and unchanged re-run of "wide"
#             million   "many" of 1,000,000 files in 100,000 folders: first
#                       copy and unchanged re-run, for the peak memory and
#                       the time per file against "many"'s (run with copy
#                       and unchanged)
#
# Without --cold every tree is read once before the first measurement, so the
# figures are warm-cache figures. Each timed command is preceded by an untimed
# sync, so no run pays for the write-back of the one before (not in the quick
# mode).
set -euo pipefail
export LC_ALL=C

repo=$(cd "$(dirname "$0")/.." && pwd)
runs=5
scale=1
quick=0
build=$repo/build-bench
data=/tmp/fernwise-bench
settle=1
cold=0
million_scale=10
cases=copy,big,unchanged,walkers,touched,listing,wide
usage="usage: $0 [--quick] [--cold] [--runs N] [--scale S] [--build DIR] [--data DIR] [--cases LIST]"
while [[ $# -gt 0 ]]; do
  case $1 in
    --quick) quick=1; runs=1; scale=0.01; million_scale=0.1; settle=0; shift ;;
    --cold) cold=1; shift ;;
    --cases) cases=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --scale) scale=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --data) data=$2; shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
for case_name in ${cases//,/ }; do
  [[ ,copy,big,unchanged,walkers,touched,listing,wide,million, == *",$case_name,"* ]] ||
    { echo "compare.sh: no case '$case_name'" >&2; echo "$usage" >&2; exit 2; }
done
wanted() { [[ ,$cases, == *",$1,"* ]]; }
if [[ $cold == 1 ]] && ! { [[ $EUID == 0 ]] && [[ -w /proc/sys/vm/drop_caches ]]; }; then
  echo "compare.sh: --cold drops the page cache, which needs root" >&2
  exit 1
fi
if [[ $quick == 1 ]]; then
  data=$(mktemp -d "${TMPDIR:-/tmp}/fernwise-bench-quick.XXXXXX")
  trap 'rm -rf "$data"' EXIT
fi

bin=$build/bench
for program in make_tree walk_literal walk_floor run_job_bench; do
  [[ -x $bin/$program ]] || { echo "compare.sh: $bin/$program is not built" >&2; exit 1; }
done
for tool in cp rsync find; do
  command -v "$tool" >/dev/null || { echo "compare.sh: $tool is missing" >&2; exit 1; }
done

src=$data/src
out=$data/out
work=$data/work
times=$data/times.txt
mems=$data/memory.txt
mkdir -p "$src" "$out" "$work"
: > "$times"
: > "$mems"

# ---- the trees -------------------------------------------------------------

# Each tree is made once per scale and kept for the next call.
make_tree() {
  local kind=$1 tree=$2 tree_scale=$3
  local stamp="$kind scale=$tree_scale seed=1"
  if [[ -f $src/.stamp-$tree && $(cat "$src/.stamp-$tree") == "$stamp" ]]; then return; fi
  rm -rf "${src:?}/$tree" "$src/.stamp-$tree"
  "$bin/make_tree" "$kind" "$src/$tree" --scale "$tree_scale"
  echo "$stamp" > "$src/.stamp-$tree"
}

make_trees() {
  # Trees of the layout before each had its own stamp.
  rm -f "$src/.stamp"
  make_tree many many "$scale"
  if wanted big; then make_tree big big "$scale"; fi
  if wanted wide; then make_tree wide wide "$scale"; fi
  if wanted million; then make_tree many million "$million_scale"; fi
}

file_count() { find "$1" -type f | wc -l; }

warm_up() {
  for kind in many big wide million; do
    if [[ -d $src/$kind ]]; then tar cf - -C "$src" "$kind" | cat > /dev/null; fi
  done
}

# ---- measuring -------------------------------------------------------------

# measure LABEL COMMAND...: one timed run, after an untimed sync (skipped in
# the quick mode, where a sync can wait on the rest of the machine for long)
# and, in the cold mode, with every cache dropped.
measure() {
  local label=$1
  shift
  if [[ $settle == 1 ]]; then sync; fi
  if [[ $cold == 1 ]]; then echo 3 > /proc/sys/vm/drop_caches; fi
  local start=$EPOCHREALTIME
  if ! "$@" > "$data/last.out" 2>&1; then
    cat "$data/last.out" >&2
    echo "compare.sh: '$label' failed: $*" >&2
    exit 1
  fi
  local end=$EPOCHREALTIME
  awk -v l="$label" -v a="$start" -v b="$end" 'BEGIN { printf "%s\t%.4f\n", l, b - a }' >> "$times"
  local kib
  kib=$(sed -n 's/.*peak_kib=\([0-9]*\).*/\1/p' "$data/last.out")
  if [[ -n $kib ]]; then printf '%s\t%s\n' "$label" "$kib" >> "$mems"; fi
}

fernwise() { "$bin/run_job_bench" "$work" "$@"; }
fernwise_shown() { "$bin/run_job_bench_shown" --shown "$work" "$@"; }

# alternate STEP...: runs every step once per round, each round starting one
# step later, so no contender always runs first or always after the same one.
alternate() {
  local steps=("$@") count=$#
  for ((round = 0; round < runs; round++)); do
    for ((i = 0; i < count; i++)); do ${steps[(i + round) % count]}; done
  done
}

# ---- the scenarios ---------------------------------------------------------

copy_fernwise() { rm -rf "$out/fw-$tree"; mkdir "$out/fw-$tree"
  measure "copy $tree: fernwise simplex" fernwise MODE SIMPLEX BACKUP "$src/$tree" "$out/fw-$tree"; }
copy_cp() { rm -rf "$out/cp-$tree"
  measure "copy $tree: cp -a" cp -a "$src/$tree" "$out/cp-$tree"; }
# The durable form of a copy, as a careful user makes it before pulling the
# drive out.
copy_cp_sync() { rm -rf "$out/cps-$tree"
  measure "copy $tree: cp -a + sync" bash -c 'cp -a "$1" "$2" && sync' _ \
    "$src/$tree" "$out/cps-$tree"; }
copy_rsync() { rm -rf "$out/rs-$tree"
  measure "copy $tree: rsync -a" rsync -a "$src/$tree/" "$out/rs-$tree/"; }

same_duplex() { measure "unchanged $tree: fernwise duplex" \
  fernwise MODE DUPLEX-DESTRUCTIVE BACKUP "$src/$tree" "$out/fw-$tree"; }
same_simplex() { measure "unchanged $tree: fernwise simplex" \
  fernwise MODE SIMPLEX BACKUP "$src/$tree" "$out/fw-$tree"; }
same_shown() { measure "unchanged $tree: fernwise duplex shown" \
  fernwise_shown MODE DUPLEX-DESTRUCTIVE BACKUP "$src/$tree" "$out/fw-$tree"; }
same_rsync() { measure "unchanged $tree: rsync -a --delete" \
  rsync -a --delete "$src/$tree/" "$out/rs-$tree/"; }
walk_literal() { measure "unchanged $tree: walker literal" "$bin/walk_literal" "$src/$tree" "$out/fw-$tree"; }
walk_literal_mirror() { measure "unchanged $tree: walker literal mirror" \
  "$bin/walk_literal" --mirror-only "$src/$tree" "$out/fw-$tree"; }
walk_floor() { measure "unchanged $tree: walker floor" "$bin/walk_floor" "$src/$tree" "$out/fw-$tree"; }
walk_floor_mirror() { measure "unchanged $tree: walker floor mirror" \
  "$bin/walk_floor" --mirror-only "$src/$tree" "$out/fw-$tree"; }
walk_floor_passes() { measure "unchanged $tree: walker floor passes" \
  "$bin/walk_floor" --passes "$src/$tree" "$out/fw-$tree"; }

# The same seeded 1% of the source files get a new time before every run, so
# each contender finds exactly those files changed.
touch_some() { "$bin/make_tree" touch "$src/$tree" --fraction 0.01 --seed 7 > /dev/null; }
touched_duplex() { touch_some; measure "touched 1% $tree: fernwise duplex" \
  fernwise MODE DUPLEX-DESTRUCTIVE BACKUP "$src/$tree" "$out/fw-$tree"; }
touched_rsync() { touch_some; measure "touched 1% $tree: rsync -a --delete" \
  rsync -a --delete "$src/$tree/" "$out/rs-$tree/"; }

listing_fernwise() { measure "listing $tree: fernwise STOREFOLDERTREE" \
  fernwise STOREFOLDERTREE "$src/$tree" "$out/listing-$tree.txt"; }
# The same fields: path, kind, size, time, mode.
listing_find() { measure "listing $tree: find -printf" \
  find "$src/$tree" -fprintf "$out/find-$tree.txt" '%p,%y,%s,%TY-%Tm-%Td %TT,%m\n'; }

# The shown window only where this build has one.
shown_available() {
  [[ -x $bin/run_job_bench_shown ]] && "$bin/run_job_bench_shown" --shown "$work" > /dev/null 2>&1
}

# ---- the report ------------------------------------------------------------

median() { awk -F'\t' -v l="$1" '$1 == l { print $2 }' "$times" | sort -g |
  awk '{ v[NR] = $1 } END { if (NR == 0) print "nan";
         else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

print_times() {
  echo "| measurement | median s | min-max s | runs |"
  echo "|---|---:|---:|---:|"
  cut -f1 "$times" | awk '!seen[$0]++' | while read -r label; do
    awk -F'\t' -v l="$label" -v m="$(median "$label")" '$1 == l {
        if (n == 0 || $2 < lo) lo = $2; if (n == 0 || $2 > hi) hi = $2; n++ }
      END { printf "| %s | %.3f | %.3f-%.3f | %d |\n", l, m, lo, hi, n }' "$times"
  done
}

# peak_mib LABEL...: the highest peak of those runs; nothing where none ran.
peak_mib() {
  awk -F'\t' -v labels="$(printf '%s\n' "$@")" 'BEGIN { split(labels, l, "\n"); for (i in l) want[l[i]] = 1 }
    ($1 in want) && $2 > m { m = $2 } END { if (m > 0) printf "%.1f", m / 1024 }' "$mems"
}

# bar NAME VALUE LIMIT: one line of the ratio table; none where a case the
# bar needs was not run.
bar() {
  [[ -n $2 ]] || return 0
  awk -v n="$1" -v v="$2" -v lim="$3" 'BEGIN {
    printf "| %s | %.2f | %s | %s |\n", n, v, lim, (v <= lim ? "met" : "NOT met") }'
}

ratio() { awk -v a="$(median "$1")" -v b="$(median "$2")" 'BEGIN {
  if (a != "nan" && b != "nan" && b > 0) print a / b }'; }

# per_file LABEL_A FILES_A LABEL_B FILES_B: A's time per file over B's.
per_file() { awk -v a="$(median "$1")" -v fa="$2" -v b="$(median "$3")" -v fb="$4" 'BEGIN {
  if (a != "nan" && b != "nan" && b > 0 && fa > 0 && fb > 0) print (a / fa) / (b / fb) }'; }

print_bars() {
  local many_files=$1 wide_files=$2 million_files=$3
  echo "| bar | ratio | at most | |"
  echo "|---|---:|---:|---|"
  bar "unchanged many: duplex / rsync -a --delete" \
    "$(ratio "unchanged many: fernwise duplex" "unchanged many: rsync -a --delete")" 0.5
  bar "unchanged many: simplex / floor walker" \
    "$(ratio "unchanged many: fernwise simplex" "unchanged many: walker floor")" 1.3
  bar "copy many: simplex / cp -a" "$(ratio "copy many: fernwise simplex" "copy many: cp -a")" 1.0
  bar "copy big: simplex / cp -a" "$(ratio "copy big: fernwise simplex" "copy big: cp -a")" 1.1
  bar "copy many: simplex / cp -a + sync" \
    "$(ratio "copy many: fernwise simplex" "copy many: cp -a + sync")" 1.2
  bar "copy big: simplex / cp -a + sync" \
    "$(ratio "copy big: fernwise simplex" "copy big: cp -a + sync")" 1.5
  bar "unchanged, per file: wide / many" "$(per_file "unchanged wide: fernwise duplex" "$wide_files" \
    "unchanged many: fernwise duplex" "$many_files")" 1.2
  bar "copy, per file: wide / many" "$(per_file "copy wide: fernwise simplex" "$wide_files" \
    "copy many: fernwise simplex" "$many_files")" 1.2
  bar "unchanged, per file: million / many" "$(per_file "unchanged million: fernwise duplex" \
    "$million_files" "unchanged many: fernwise duplex" "$many_files")" 1.2
  bar "copy, per file: million / many" "$(per_file "copy million: fernwise simplex" \
    "$million_files" "copy many: fernwise simplex" "$many_files")" 1.2
  bar "peak MiB, headless, many" "$(peak_mib "unchanged many: fernwise duplex")" 32
  bar "peak MiB, headless, wide" "$(peak_mib "unchanged wide: fernwise duplex")" 32
  bar "peak MiB, headless, million" "$(peak_mib "unchanged million: fernwise duplex" \
    "copy million: fernwise simplex")" 32
  bar "unchanged many: shown / headless" \
    "$(ratio "unchanged many: fernwise duplex shown" "unchanged many: fernwise duplex")" 1.3
  bar "listing many: STOREFOLDERTREE / find -printf" \
    "$(ratio "listing many: fernwise STOREFOLDERTREE" "listing many: find -printf")" 1.5
  echo
  echo "For reference (no bar):"
  echo
  echo "| ratio | value |"
  echo "|---|---:|"
  local pair value
  for pair in "touched 1% many: fernwise duplex|touched 1% many: rsync -a --delete" \
              "unchanged many: walker literal|unchanged many: rsync -a --delete" \
              "unchanged many: walker floor|unchanged many: rsync -a --delete" \
              "unchanged many: walker floor passes|unchanged many: rsync -a --delete" \
              "unchanged many: fernwise duplex|unchanged many: walker literal" \
              "unchanged many: fernwise simplex|unchanged many: walker literal mirror" \
              "unchanged many: fernwise simplex|unchanged many: walker floor mirror" \
              "copy many: rsync -a|copy many: cp -a" \
              "unchanged wide: fernwise duplex|unchanged wide: rsync -a --delete"; do
    value=$(ratio "${pair%%|*}" "${pair#*|}")
    [[ -z $value ]] || printf '| %s / %s | %.2f |\n' "${pair%%|*}" "${pair#*|}" "$value"
  done
}

print_machine() {
  echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?')"
  echo "- machine: $(uname -srm), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)"
  echo "- file system: $({ findmnt -n -o FSTYPE,OPTIONS -T "$data" 2>/dev/null || df -T "$data" | awk 'NR == 2 { print $2 }'; } | head -n 1) ($data)"
  echo "- load average before: $load_before"
  local cache="warm cache"
  if [[ $cold == 1 ]]; then cache="cold cache: page cache, dentries and inodes dropped before each run"; fi
  echo "- runs: $runs per contender, alternating; scale $scale; cases $cases; $cache"
}

# ---- the run ---------------------------------------------------------------

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
make_trees
if [[ $cold == 0 ]]; then warm_up; fi
copy_steps=(copy_fernwise copy_cp copy_cp_sync copy_rsync)
if wanted copy; then tree=many; alternate "${copy_steps[@]}"; fi
if wanted big; then tree=big; alternate "${copy_steps[@]:0:3}"; fi
if wanted wide; then tree=wide; alternate "${copy_steps[@]:0:3}"; fi
# Untimed: the figures are worth nothing if the copy is not a copy.
for tree in many big wide; do
  if [[ -d $out/fw-$tree ]] && ! diff -r -q "$src/$tree" "$out/fw-$tree" > /dev/null; then
    echo "compare.sh: the fernwise copy of $tree differs from its source" >&2; exit 1
  fi
done
# The re-runs need a backup to re-run over; one the copy cases left is used.
ensure_backup() {
  if [[ ! -d $out/fw-$tree ]]; then mkdir "$out/fw-$tree"; fernwise MODE SIMPLEX BACKUP "$src/$tree" "$out/fw-$tree" > /dev/null; fi
  if [[ ! -d $out/rs-$tree ]]; then cp -a "$src/$tree" "$out/rs-$tree"; fi
}
tree=many
if wanted unchanged || wanted walkers || wanted touched; then ensure_backup; fi
steps=()
if wanted unchanged; then steps+=(same_duplex same_simplex same_rsync); fi
if wanted walkers; then
  steps+=(walk_literal walk_literal_mirror walk_floor walk_floor_mirror walk_floor_passes)
fi
# The window's start is no part of a cold run worth measuring: Qt's own
# libraries would be read from the disk first.
if wanted unchanged && [[ $cold == 0 ]]; then
  if shown_available; then steps+=(same_shown); else echo "(no shown window in this build)" >&2; fi
fi
if [[ ${#steps[@]} -gt 0 ]]; then alternate "${steps[@]}"; fi
if wanted touched; then alternate touched_duplex touched_rsync; fi
if wanted listing; then alternate listing_fernwise listing_find; fi
if wanted wide; then
  tree=wide
  rm -rf "$out/rs-wide" && cp -a "$src/wide" "$out/rs-wide"
  ensure_backup
  alternate same_duplex same_rsync
fi
if wanted million; then
  # A first copy of a million files takes long: at most three rounds.
  tree=million
  all_runs=$runs
  runs=$((runs < 3 ? runs : 3))
  alternate copy_fernwise
  diff -r -q "$src/million" "$out/fw-million" > /dev/null ||
    { echo "compare.sh: the fernwise copy of million differs from its source" >&2; exit 1; }
  alternate same_duplex
  runs=$all_runs
fi

count_of() { if [[ -d $src/$1 ]]; then file_count "$src/$1"; else echo 0; fi; }

echo "## Figures"
echo
print_machine
echo
print_times
echo
print_bars "$(count_of many)" "$(count_of wide)" "$(count_of million)"
