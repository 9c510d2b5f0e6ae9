#!/usr/bin/env bash
# Draws the main window's background picture res/background.bmp: 640 x 400
# pixels, 256 colours, a field of RGB(33, 173, 222) with the program's name
# embossed in its upper part and a smaller title at the lower right.
# Needs ImageMagick 6 and the DejaVu fonts (Debian: imagemagick, fonts-dejavu-core).
set -euo pipefail
cd "$(dirname "$0")/.."

CONVERT=${CONVERT:-/usr/bin/convert}
FONTS=/usr/share/fonts/truetype/dejavu
BIG_FONT=$FONTS/DejaVuSerif-Bold.ttf
SMALL_FONT=$FONTS/DejaVuSans-Bold.ttf
OUT=res/background.bmp

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

field='rgb(33,173,222)'
light='rgb(150,222,246)'
dark='rgb(12,96,136)'
title='rgb(255,255,255)'

# The lettering: a light edge up and left, a dark edge down and right, and the
# face in the colour of the field, so the letters look pressed out of it.
"$CONVERT" -size 640x400 "xc:$field" \
  -font "$BIG_FONT" -pointsize 124 -gravity north \
  -fill "$light" -annotate +0+78 'Tarvelin' \
  -fill "$dark" -annotate +6+84 'Tarvelin' \
  -fill "$field" -annotate +3+81 'Tarvelin' \
  -font "$SMALL_FONT" -pointsize 17 -gravity southeast \
  -fill "$dark" -annotate +21+77 'Scripty nad spojením TCP/IP' \
  -fill "$title" -annotate +22+78 'Scripty nad spojením TCP/IP' \
  "$work/picture.png"

# A palette that holds the field colour exactly and the blends between the
# colours used, so that the 256-colour picture keeps a clean, even field.
"$CONVERT" \
  \( -size 1x64 "gradient:$field-$light" \) \
  \( -size 1x64 "gradient:$field-$dark" \) \
  \( -size 1x64 "gradient:$light-$dark" \) \
  \( -size 1x63 "gradient:$dark-$title" \) \
  \( -size 1x1 "xc:$field" \) \
  -append -unique-colors "$work/palette.png"

"$CONVERT" "$work/picture.png" -dither None -remap "$work/palette.png" \
  -type Palette -colors 256 -compress None "BMP3:$OUT"

echo "wrote $OUT"
