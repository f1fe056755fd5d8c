#!/bin/sh
# Starts the real program on a virtual X display, takes a picture of its
# window and checks the picture's size and that it is not blank, and that the
# window carries its caption and its 48 x 48 icon.
# Usage: screenshot_test.sh <fernwise binary> <where the PNG goes>
set -eu
program=$1
picture=$2

if [ "${FERNWISE_SHOT_INNER:-}" != 1 ]; then
  FERNWISE_SHOT_INNER=1 exec xvfb-run -a -s "-screen 0 800x600x24" "$0" "$@"
fi

# An empty working folder: the program reads nothing until pressed anyway.
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
(cd "$work" && exec "$program") &
pid=$!

window=""
for _ in $(seq 50); do
  window=$(xdotool search --name '^Fernwise v2 \| Quillory$' 2>/dev/null | head -n 1) || true
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "the window did not appear" >&2; exit 1; }
sleep 0.5  # let the first paint reach the server

import -window "$window" "$picture"
size=$(identify -format '%wx%h' "$picture")
spread=$(convert "$picture" -colorspace Gray -format '%[fx:standard_deviation]' info:)
echo "window $window: $size, grey spread $spread, picture $picture"

# 312 x 213 is the design's client area at 96 dots per inch, the virtual
# display's default.
[ "$size" = 312x213 ] || { echo "unexpected size $size" >&2; exit 1; }
awk -v s="$spread" 'BEGIN { exit !(s > 0.05) }' ||
  { echo "the picture is blank" >&2; exit 1; }
xprop -id "$window" _NET_WM_ICON | head -n 1 | grep -q 'Icon (48 x 48)' ||
  { echo "the window has no 48 x 48 icon" >&2; exit 1; }
