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
build=${1:-build-win}
exe=$(realpath "$build/app/Fernwise.exe")
shot="$build/e2e-window.png"

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
program=
WINEPREFIX=
cleanup() {
  [[ -n $program ]] && kill "$program" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  if [[ -n $WINEPREFIX ]]; then
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
  fi
  return 0
}
trap cleanup EXIT
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
WINEPREFIX=$(mktemp -d)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot --init >/dev/null 2>&1

work="$WINEPREFIX/drive_c/e2e"
rm -rf "$work"
mkdir -p "$work/source/Sub folder" "$work/dest"
printf 'alpha' >"$work/source/a.txt"
name=$'gr\xc3\xbc\xc3\x9fe.txt'
printf 'umlaut' >"$work/source/Sub folder/$name"
printf 'stale' >"$work/dest/gone.txt"
printf 'MODE, DUPLEX-DESTRUCTIVE\r\nBACKUP, C:\\e2e\\source, C:\\e2e\\dest\r\nSTOREFOLDERTREE, C:\\e2e\\source, C:\\e2e\\tree.txt\r\n' \
  >"$work/Setup.ini"

# The program reads Setup.ini from the folder it was started in.
(cd "$work" && exec wine "$exe") &
program=$!
window=$(timeout 120 xdotool search --sync --name '^Fernwise v2 \| Quillory$' | head -1 || true)
[[ -n $window ]] || { echo "e2e: the window did not appear" >&2; exit 1; }
sleep 1
# The button's middle: 16 + 281 / 2, 16 + 81 / 2 pixels into the client area.
xdotool mousemove --window "$window" 156 56 click 1

for _ in $(seq 100); do
  [[ -f "$work/tree.txt" && ! -e "$work/dest/gone.txt" ]] && break
  sleep 0.2
done
sleep 1
import -display "$display" -window "$window" "$shot"

status=0
diff -r "$work/source" "$work/dest" || { echo "e2e: destination differs" >&2; status=1; }
grep -q 'a.txt' "$work/tree.txt" 2>/dev/null || { echo "e2e: no listing" >&2; status=1; }

# Close as a user does; the button is enabled again, so the guard lets it go.
xdotool key --window "$window" alt+F4
for _ in $(seq 50); do kill -0 "$program" 2>/dev/null || break; sleep 0.2; done
if kill -0 "$program" 2>/dev/null; then
  echo "e2e: the window did not close after the run" >&2
  status=1
else
  wait "$program" || { echo "e2e: the program ended with status $?" >&2; status=1; }
  program=
fi
[[ $status == 0 ]] && echo "e2e: backup under Wine checked; screenshot $shot"
exit $status
