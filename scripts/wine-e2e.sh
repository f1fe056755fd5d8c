#!/usr/bin/env bash
# End-to-end run of the Windows program under Wine and Xvfb: starts
# Fernwise.exe in a folder with a Setup.ini, presses the button with xdotool,
# checks the destination and the listing, keeps a screenshot of the window,
# and closes the window as a user would.
#   scripts/wine-e2e.sh [build-dir]      (default build-win)
# Makes its own throw-away Wine prefix once the virtual display is up: a
# prefix made without a display gets no graphics driver, and no window.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/window-e2e.sh
build=${1:-build-win}
exe=$(realpath "$build/app/Fernwise.exe")
shot="$build/e2e-window.png"

program=
WINEPREFIX=
cleanup() {
  [[ -n $program ]] && kill "$program" 2>/dev/null || true
  if [[ -n $WINEPREFIX ]]; then
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
  fi
  e2e_stop_display
}
trap cleanup EXIT
e2e_start_display
WINEPREFIX=$(mktemp -d)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot --init >/dev/null 2>&1

work="$WINEPREFIX/drive_c/e2e"
rm -rf "$work"
e2e_make_job "$work" 'C:\e2e\source' 'C:\e2e\dest' 'C:\e2e\tree.txt'
# Names Windows' clean-up of a path would change or take for devices, made
# on the host: each must reach the destination by its own name.
for name in foo foo. 'bar ' nul.txt aux; do
  printf '%s' "$name" >"$work/source/$name"
done

# The program reads Setup.ini from the folder it was started in.
(cd "$work" && exec wine "$exe") &
program=$!
status=0
e2e_press_and_check "$work" "$shot" || status=1
if [[ -n $e2e_window ]]; then
  e2e_close "$program" && program= || status=1
fi
[[ $status == 0 ]] && echo "e2e: backup under Wine checked; screenshot $shot"
exit $status
