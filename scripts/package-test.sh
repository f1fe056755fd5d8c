#!/usr/bin/env bash
# Builds the Debian package (scripts/package-deb.sh, which also validates it
# and runs lintian), installs it with apt-get on this machine, runs the
# installed /usr/bin/fernwise end to end under Xvfb (a Setup.ini, the
# button pressed, the backup checked, the window closed), then purges the
# package and checks that none of its files is left.
#   scripts/package-test.sh [build-dir]      (as root; default build-deb)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/window-e2e.sh
build=${1:-build-deb}

deb=$(bash scripts/package-deb.sh "$build" | tail -n 1)
if [[ $(id -u) -ne 0 ]]; then
  echo "package test: built and checked $deb; installing it needs root, skipped"
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
# What a killed earlier run may have left installed.
if dpkg-query -W -f='${Status}' fernwise 2>/dev/null | grep -q installed; then
  apt-get purge -y -qq fernwise >/dev/null
fi

work=$(mktemp -d)
program=
cleanup() {
  [[ -n $program ]] && kill "$program" 2>/dev/null
  e2e_stop_display
  if dpkg-query -W -f='${Status}' fernwise 2>/dev/null | grep -q installed; then
    apt-get purge -y -qq fernwise >/dev/null 2>&1
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# apt reads a local package as its unprivileged user, so it gets a copy in a
# folder that user may enter.
chmod 755 "$work"
cp "$deb" "$work/"
apt-get install -y -qq "$work/$(basename "$deb")" >/dev/null
dpkg -L fernwise >"$work/files"
[[ -x /usr/bin/fernwise ]] || { echo "package test: no /usr/bin/fernwise" >&2; exit 1; }

# The installed program, started from a folder holding a small Setup.ini;
# its run records go to a state folder of its own, not root's home.
job="$work/job"
e2e_make_job "$job" "$job/source" "$job/dest" "$job/tree.txt" $'\n'
e2e_start_display wm
(cd "$job" && XDG_STATE_HOME="$work/state" exec /usr/bin/fernwise) &
program=$!
status=0
e2e_press_and_check "$job" "$build/fernwise-window.png" || status=1
if [[ -n $e2e_window ]]; then
  e2e_close "$program" && program= || status=1
fi
e2e_stop_display
# The installed program kept its record of the run, naming what it created.
records=("$work"/state/fernwise/*.txt)
if [[ ! -f ${records[0]} ]] || ! grep -q '^created file ' "${records[0]}"; then
  echo "package test: no run record naming the files created in $work/state/fernwise" >&2
  status=1
fi

apt-get purge -y -qq fernwise >/dev/null
if dpkg-query -W -f='${Status}' fernwise 2>/dev/null | grep -q installed; then
  echo "package test: fernwise is still installed after the purge" >&2
  status=1
fi
# Every file of the package is gone, and every folder it made that no other
# package holds and nothing else is in.
while IFS= read -r path; do
  [[ $path == /. ]] && continue
  if [[ -d $path && ! -L $path ]]; then
    if [[ -z $(ls -A "$path") ]] && ! dpkg -S "$path" >/dev/null 2>&1; then
      echo "package test: empty folder left: $path" >&2
      status=1
    fi
  elif [[ -e $path || -L $path ]]; then
    echo "package test: left after the purge: $path" >&2
    status=1
  fi
done <"$work/files"

[[ $status == 0 ]] &&
  echo "package test: $deb installed, ran end to end ($(wc -l <"$work/files") paths), purged without a trace"
exit $status
