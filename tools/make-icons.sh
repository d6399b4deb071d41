#!/bin/sh
# Renders the application icon res/talvex.svg into the PNG sizes the window
# program builds in (res/icons/talvex-N.png). The PNGs are committed, so the
# build does not need this; run it after changing the SVG. Needs rsvg-convert
# (Debian package librsvg2-bin).
set -eu
cd "$(dirname "$0")/.."
mkdir -p res/icons
for size in 16 24 32 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" res/talvex.svg -o "res/icons/talvex-$size.png"
done
echo "res/icons: $(ls res/icons | tr '\n' ' ')"
