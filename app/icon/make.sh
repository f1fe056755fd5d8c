#!/bin/sh
# Makes the program's icons from fernwise.svg; the results are committed, so
# building needs none of these tools. Needs rsvg-convert (librsvg2-bin),
# ImageMagick's convert and icotool (icoutils).
set -eu
cd "$(dirname "$0")"
for size in 48 32 16; do
  rsvg-convert -w "$size" -h "$size" fernwise.svg -o "fernwise-$size.png"
done
# 8 bits a channel with alpha: 24-bit colour and the transparency mask.
convert fernwise-48.png -define png:color-type=6 fernwise.png
icotool -c -o fernwise.ico fernwise-48.png fernwise-32.png fernwise-16.png
rm -f fernwise-48.png fernwise-32.png fernwise-16.png

# The installed icon theme: the sizes desktops ask for (menus 16 to 24,
# panels and docks 32 to 64, launchers and software centres 128 and 256),
# laid out as they are installed under share/icons/hicolor.
for size in 16 22 24 32 48 64 128 256; do
  mkdir -p "hicolor/${size}x${size}/apps"
  rsvg-convert -w "$size" -h "$size" fernwise.svg \
    -o "hicolor/${size}x${size}/apps/fernwise.png"
done
