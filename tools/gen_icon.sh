#!/usr/bin/env bash
# Draws the program's icon res/tarvelin.ico (48, 32 and 16 pixels): a blue
# tile in the colour of the main window with a white T and two arrows, one
# going out and one coming back, for the one connection the scripts drive.
# Needs ImageMagick 6 and the DejaVu fonts (Debian: imagemagick, fonts-dejavu-core).
set -euo pipefail
cd "$(dirname "$0")/.."

CONVERT=${CONVERT:-/usr/bin/convert}
FONT=/usr/share/fonts/truetype/dejavu/DejaVuSerif-Bold.ttf
OUT=res/tarvelin.ico

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Drawn at 256 pixels, then scaled down for each size.
"$CONVERT" -size 256x256 xc:none \
  -fill 'rgb(12,96,136)' -draw 'roundrectangle 8,8 247,247 40,40' \
  -fill 'rgb(33,173,222)' -draw 'roundrectangle 20,20 235,235 32,32' \
  -font "$FONT" -pointsize 200 -gravity center \
  -fill 'rgb(12,96,136)' -annotate +8-2 'T' \
  -fill white -annotate +0-10 'T' \
  -stroke white -strokewidth 14 -draw 'line 40,205 100,205' \
  -stroke none -fill white -draw 'polygon 98,185 128,205 98,225' \
  -stroke 'rgb(12,96,136)' -strokewidth 14 -draw 'line 216,205 156,205' \
  -stroke none -fill 'rgb(12,96,136)' -draw 'polygon 158,185 128,205 158,225' \
  "$work/big.png"

for size in 48 32 16; do
  "$CONVERT" "$work/big.png" -resize ${size}x${size} "$work/icon$size.png"
done
"$CONVERT" "$work/icon48.png" "$work/icon32.png" "$work/icon16.png" "$OUT"
echo "wrote $OUT"
