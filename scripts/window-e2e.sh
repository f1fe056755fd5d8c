# Sourced by the end-to-end runs of the real program: scripts/wine-e2e.sh
# (Fernwise.exe under Wine) and scripts/package-test.sh (the installed
# Debian package). A virtual display, a small job beside its Setup.ini, one
# press of the button as a user makes it, the checks of what the run left,
# and the window closed as a user closes it.

# Starts Xvfb on a free display and waits until it answers; with "wm",
# also a window manager, which turns Alt+F4 into a close request as a
# desktop does (Wine takes that key itself; a Qt window leaves it to the
# window manager). Sets DISPLAY; e2e_stop_display ends both.
e2e_xvfb=
e2e_wm=
e2e_start_display() {
  local number
  for number in $(shuf -i 90-189 -n 20); do
    [[ -e /tmp/.X$number-lock ]] && continue
    Xvfb ":$number" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
    e2e_xvfb=$!
    export DISPLAY=:$number
    for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
    xdpyinfo >/dev/null 2>&1 && break
    kill "$e2e_xvfb" 2>/dev/null || true
    e2e_xvfb=
  done
  [[ -n $e2e_xvfb ]] || { echo "e2e: no virtual display could be started" >&2; return 1; }
  if [[ ${1:-} == wm ]]; then
    openbox --sm-disable >/dev/null 2>&1 &
    e2e_wm=$!
    # The window manager is up once it has claimed the screen.
    for _ in $(seq 50); do
      xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
      sleep 0.1
    done
  fi
}
e2e_stop_display() {
  [[ -n $e2e_wm ]] && kill "$e2e_wm" 2>/dev/null
  [[ -n $e2e_xvfb ]] && kill "$e2e_xvfb" 2>/dev/null
  e2e_wm= e2e_xvfb=
  return 0
}

# e2e_make_job FOLDER SOURCE DEST TREE [LINE-END]: a source tree in FOLDER
# (a subfolder, a name that is not ASCII), a destination holding one stale
# file, and a Setup.ini that mirrors SOURCE into DEST and lists SOURCE into
# TREE, those three paths written as the program sees them.
e2e_make_job() {
  local work=$1 source=$2 dest=$3 tree=$4 eol=${5:-$'\r\n'}
  mkdir -p "$work/source/Sub folder" "$work/dest"
  printf 'alpha' >"$work/source/a.txt"
  printf 'umlaut' >"$work/source/Sub folder/"$'gr\xc3\xbc\xc3\x9fe.txt'
  printf 'stale' >"$work/dest/gone.txt"
  printf 'MODE, DUPLEX-DESTRUCTIVE%sBACKUP, %s, %s%sSTOREFOLDERTREE, %s, %s%s' \
    "$eol" "$source" "$dest" "$eol" "$source" "$tree" "$eol" >"$work/Setup.ini"
}

# e2e_press_and_check FOLDER PICTURE: waits for the window, clicks its
# button, waits for the run to finish, keeps a picture of the window and
# checks the destination and the listing. Sets e2e_window.
e2e_window=
e2e_press_and_check() {
  local work=$1 picture=$2 status=0
  e2e_window=$(timeout 120 xdotool search --sync --name '^Fernwise v2 \| Quillory$' | head -1 || true)
  [[ -n $e2e_window ]] || { echo "e2e: the window did not appear" >&2; return 1; }
  sleep 1
  # The button's middle: 16 + 281 / 2, 16 + 81 / 2 pixels into the client area.
  xdotool mousemove --window "$e2e_window" 156 56 click 1
  for _ in $(seq 100); do
    [[ -f "$work/tree.txt" && ! -e "$work/dest/gone.txt" ]] && break
    sleep 0.2
  done
  sleep 1
  import -window "$e2e_window" "$picture"
  diff -r "$work/source" "$work/dest" || { echo "e2e: destination differs" >&2; status=1; }
  grep -q 'a.txt' "$work/tree.txt" 2>/dev/null || { echo "e2e: no listing" >&2; status=1; }
  return $status
}

# e2e_close PID: Alt+F4 on the window, as a user closes it (the button is
# enabled again, so the close guard lets it go); then the program must end,
# with status 0. Clears e2e_window once it has.
e2e_close() {
  local program=$1 status=0
  local try
  # Pressed again while the program runs on: a window manager that has not
  # yet taken the window in lets the first press go by.
  for try in $(seq 50); do
    if (( try % 15 == 1 )); then
      if [[ -n $e2e_wm ]]; then
        xdotool windowactivate --sync "$e2e_window" key alt+F4 2>/dev/null
      else
        xdotool key --window "$e2e_window" alt+F4
      fi
    fi
    kill -0 "$program" 2>/dev/null || break
    sleep 0.2
  done
  if kill -0 "$program" 2>/dev/null; then
    echo "e2e: the window did not close after the run" >&2
    return 1
  fi
  wait "$program" || { status=$?; echo "e2e: the program ended with status $status" >&2; }
  e2e_window=
  return $status
}
