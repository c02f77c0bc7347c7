#!/bin/sh
# Renders the pictures the window loads and the desktop icons from the
# drawings in pictures/ (SVG, and the folder glyph as XPM pixel art). Run it
# after changing a drawing and commit what it writes: the build only embeds
# the files. `make pictures` installs the tools and runs it.
set -eu
cd "$(dirname "$0")/pictures"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The Mac and Windows pictures: one 48-pixel image each, 32-bit with alpha.
for name in mac windows; do
  rsvg-convert -w 48 -h 48 "$name.svg" -o "$tmp/$name.png"
  icotool -c -o "$name.ico" -b 32 "$tmp/$name.png"
done

# The Unix picture: 24-bit on white, the white being the see-through colour.
rsvg-convert -w 48 -h 48 -b white terminelle.svg | pngtopnm | ppmtobmp -bpp 24 >unix.bmp 2>/dev/null

# The folder glyph: 8-bit with a 256-entry palette, magenta see-through.
xpmtoppm dossier.xpm | ppmtobmp -bpp 8 >dossier.bmp 2>/dev/null

# The application's icon. Qt shows the first image of each size, so the
# 32-bit ones come first. The 24- and 8-bit images take a see-through mask
# cut at half alpha, with full-range values (icotool misreads a 1-bit alpha
# channel); the 8-bit ones are reduced to 256 colours.
for size in 48 32 24 16; do
  rsvg-convert -w $size -h $size terminelle.svg -o terminelle-$size.png
  pngtopnm -alpha terminelle-$size.png | pamthreshold -simple -threshold=0.5 | pamtopnm |
    pnmdepth 255 >"$tmp/mask$size.pgm" 2>/dev/null
  pngtopnm terminelle-$size.png | pnmtopng -alpha="$tmp/mask$size.pgm" >"$tmp/solid$size.png"
  pngtopnm terminelle-$size.png | pnmquant -quiet 256 |
    pnmtopng -alpha="$tmp/mask$size.pgm" >"$tmp/palette$size.png"
done
icotool -c -o terminelle.ico \
  -b 32 terminelle-48.png terminelle-32.png terminelle-24.png terminelle-16.png \
  -b 24 "$tmp/solid48.png" "$tmp/solid32.png" "$tmp/solid16.png" \
  -b 8 "$tmp/palette48.png" "$tmp/palette32.png" "$tmp/palette24.png" "$tmp/palette16.png"

# The desktop's larger icons, which the icon file need not carry.
for size in 64 128 256; do
  rsvg-convert -w $size -h $size terminelle.svg -o terminelle-$size.png
done
