#!/usr/bin/env bash
# Measures Fernwise against cp -a, rsync -a and two C walkers on the same
# generated trees, alternating the contenders run by run, and prints medians,
# min-max and the ratios against the bars. See bench/README.md.
#
#   bench/compare.sh [--quick] [--runs N] [--scale S] [--build DIR] [--data DIR]
#
#   --quick   scale 0.01, one run of each, in a temporary folder removed at the
#             end: proves every step still works; its figures mean nothing.
#   --runs    runs of each contender per scenario (default 5)
#   --scale   tree scale (default 1: "many" has 100,000 files)
#   --build   build folder holding bench/ programs (default: build-bench)
#   --data    where the trees go (default: /tmp/fernwise-bench); needs about
#             3 GiB at scale 1
#
# The page cache cannot be dropped without privileges, so every tree is read
# once before the first measurement and all figures are warm-cache figures.
# Each timed command is preceded by an untimed sync, so no run pays for the
# write-back of the one before (not in the quick mode).
set -euo pipefail
export LC_ALL=C

repo=$(cd "$(dirname "$0")/.." && pwd)
runs=5
scale=1
quick=0
build=$repo/build-bench
data=/tmp/fernwise-bench
settle=1
while [[ $# -gt 0 ]]; do
  case $1 in
    --quick) quick=1; runs=1; scale=0.01; settle=0; shift ;;
    --runs) runs=$2; shift 2 ;;
    --scale) scale=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --data) data=$2; shift 2 ;;
    *) echo "usage: $0 [--quick] [--runs N] [--scale S] [--build DIR] [--data DIR]" >&2
       exit 2 ;;
  esac
done
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

make_trees() {
  local stamp="scale=$scale seed=1"
  if [[ -f $src/.stamp && $(cat "$src/.stamp") == "$stamp" ]]; then return; fi
  rm -rf "${src:?}"/*
  for kind in many big wide; do "$bin/make_tree" "$kind" "$src/$kind" --scale "$scale"; done
  echo "$stamp" > "$src/.stamp"
}

file_count() { find "$1" -type f | wc -l; }

warm_up() {
  for kind in many big wide; do tar cf - -C "$src" "$kind" | cat > /dev/null; done
}

# ---- measuring -------------------------------------------------------------

# measure LABEL COMMAND...: one timed run, after an untimed sync (skipped in
# the quick mode, where a sync can wait on the rest of the machine for long).
measure() {
  local label=$1
  shift
  if [[ $settle == 1 ]]; then sync; fi
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

peak_mib() { awk -F'\t' -v l="$1" '$1 == l && $2 > m { m = $2 } END { printf "%.1f", m / 1024 }' "$mems"; }

# bar NAME VALUE LIMIT: one line of the ratio table.
bar() {
  awk -v n="$1" -v v="$2" -v lim="$3" 'BEGIN {
    printf "| %s | %.2f | %s | %s |\n", n, v, lim, (v <= lim ? "met" : "NOT met") }'
}

ratio() { awk -v a="$(median "$1")" -v b="$(median "$2")" 'BEGIN { print a / b }'; }

print_bars() {
  local many_files=$1 wide_files=$2
  echo "| bar | ratio | at most | |"
  echo "|---|---:|---:|---|"
  bar "unchanged many: duplex / rsync -a --delete" \
    "$(ratio "unchanged many: fernwise duplex" "unchanged many: rsync -a --delete")" 0.8
  bar "unchanged many: simplex / floor walker" \
    "$(ratio "unchanged many: fernwise simplex" "unchanged many: walker floor")" 1.3
  bar "copy many: simplex / cp -a" "$(ratio "copy many: fernwise simplex" "copy many: cp -a")" 1.1
  bar "copy big: simplex / cp -a" "$(ratio "copy big: fernwise simplex" "copy big: cp -a")" 1.1
  bar "copy many: simplex / cp -a + sync" \
    "$(ratio "copy many: fernwise simplex" "copy many: cp -a + sync")" 1.5
  bar "copy big: simplex / cp -a + sync" \
    "$(ratio "copy big: fernwise simplex" "copy big: cp -a + sync")" 1.5
  bar "unchanged, per file: wide / many" "$(awk -v w="$(median "unchanged wide: fernwise duplex")" \
    -v m="$(median "unchanged many: fernwise duplex")" -v wf="$wide_files" -v mf="$many_files" \
    'BEGIN { print (w / wf) / (m / mf) }')" 1.2
  bar "copy, per file: wide / many" "$(awk -v w="$(median "copy wide: fernwise simplex")" \
    -v m="$(median "copy many: fernwise simplex")" -v wf="$wide_files" -v mf="$many_files" \
    'BEGIN { print (w / wf) / (m / mf) }')" 1.2
  bar "peak MiB, headless, many" "$(peak_mib "unchanged many: fernwise duplex")" 32
  bar "peak MiB, headless, wide" "$(peak_mib "unchanged wide: fernwise duplex")" 32
  if grep -q "fernwise duplex shown" "$times"; then
    bar "unchanged many: shown / headless" \
      "$(ratio "unchanged many: fernwise duplex shown" "unchanged many: fernwise duplex")" 1.3
  fi
  bar "listing many: STOREFOLDERTREE / find -printf" \
    "$(ratio "listing many: fernwise STOREFOLDERTREE" "listing many: find -printf")" 1.5
  echo
  echo "For reference (no bar):"
  echo
  echo "| ratio | value |"
  echo "|---|---:|"
  for pair in "touched 1% many: fernwise duplex|touched 1% many: rsync -a --delete" \
              "unchanged many: walker literal|unchanged many: rsync -a --delete" \
              "unchanged many: walker floor|unchanged many: rsync -a --delete" \
              "unchanged many: walker floor passes|unchanged many: rsync -a --delete" \
              "unchanged many: fernwise duplex|unchanged many: walker literal" \
              "unchanged many: fernwise simplex|unchanged many: walker literal mirror" \
              "unchanged many: fernwise simplex|unchanged many: walker floor mirror" \
              "copy many: rsync -a|copy many: cp -a" \
              "unchanged wide: fernwise duplex|unchanged wide: rsync -a --delete"; do
    printf '| %s / %s | %.2f |\n' "${pair%%|*}" "${pair#*|}" "$(ratio "${pair%%|*}" "${pair#*|}")"
  done
}

print_machine() {
  echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?')"
  echo "- machine: $(uname -srm), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)"
  echo "- file system: $({ findmnt -n -o FSTYPE,OPTIONS -T "$data" 2>/dev/null || df -T "$data" | awk 'NR == 2 { print $2 }'; } | head -n 1) ($data)"
  echo "- load average before: $load_before"
  echo "- runs: $runs per contender, alternating; scale $scale; warm cache (see the header of this script)"
}

# ---- the run ---------------------------------------------------------------

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
make_trees
warm_up
for tree in many big wide; do
  steps=(copy_fernwise copy_cp copy_cp_sync copy_rsync)
  [[ $tree == many ]] || steps=(copy_fernwise copy_cp copy_cp_sync)
  alternate "${steps[@]}"
done
# Untimed: the figures are worth nothing if the copy is not a copy.
for tree in many big wide; do
  diff -r -q "$src/$tree" "$out/fw-$tree" > /dev/null ||
    { echo "compare.sh: the fernwise copy of $tree differs from its source" >&2; exit 1; }
done
tree=many
steps=(same_duplex same_simplex same_rsync walk_literal walk_literal_mirror walk_floor walk_floor_mirror walk_floor_passes)
if shown_available; then steps+=(same_shown); else echo "(no shown window in this build)" >&2; fi
alternate "${steps[@]}"
alternate touched_duplex touched_rsync
alternate listing_fernwise listing_find
tree=wide
rm -rf "$out/rs-wide" && cp -a "$src/wide" "$out/rs-wide"
alternate same_duplex same_rsync

echo "## Figures"
echo
print_machine
echo
print_times
echo
print_bars "$(file_count "$src/many")" "$(file_count "$src/wide")"
