#!/bin/sh
# Draws Karvelo's icons into res/: a blue picture frame (a landscape with a
# sun inside) and an orange badge with a white arrow, "pictures moving out".
# Each size is drawn on a canvas four times as large and scaled down, so the
# edges are smooth; the 16-pixel image leaves out the sun, which would only
# blur at that size, and the white ring round the badge.
#
# Needs ImageMagick's convert.  The generated .ico files are kept in git, so
# the build itself does not need this script.
set -e
cd "$(dirname "$0")/.."
out=res
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

BLUE='#1f5fbf'
SKY='#ffffff'
HILL='#4f8ee8'
ORANGE='#f28c1b'

# draw SIZE FILE: the mark on a 48-unit grid, rendered at SIZE pixels.
draw() {
    size=$1
    file=$2
    big=$((size * 4))
    # Grid units to canvas pixels.
    s=$(awk "BEGIN { print $big / 48 }")
    p() { awk "BEGIN { printf \"%.1f\", $1 * $s }"; }
    sun=""
    ring="$ORANGE"
    if [ "$size" -gt 16 ]; then
        sun="fill $ORANGE circle $(p 24),$(p 16) $(p 27),$(p 16)"
        ring=white
    fi
    convert -size "${big}x${big}" xc:none \
        -fill "$BLUE" -draw "roundrectangle $(p 2),$(p 6) $(p 38),$(p 38) $(p 5),$(p 5)" \
        -fill "$SKY" -draw "rectangle $(p 6),$(p 10) $(p 34),$(p 34)" \
        -fill "$HILL" -draw "polygon $(p 6),$(p 34) $(p 15),$(p 21) $(p 22),$(p 29) $(p 26),$(p 25) $(p 34),$(p 34)" \
        -draw "$sun" \
        -fill "$ring" -draw "circle $(p 36),$(p 35) $(p 36),$(p 22)" \
        -fill "$ORANGE" -draw "circle $(p 36),$(p 35) $(p 36),$(p 24)" \
        -fill white -draw "polygon $(p 29),$(p 32) $(p 35),$(p 32) $(p 35),$(p 28) $(p 43),$(p 35) $(p 35),$(p 42) $(p 35),$(p 38) $(p 29),$(p 38)" \
        -filter Lanczos -resize "${size}x${size}" \
        "PNG32:$file"
}

for size in 48 32 24 16; do
    draw "$size" "$work/mark-$size.png"
done

# Group 101: the program's icon in every size the shell asks for.
convert "$work/mark-48.png" "$work/mark-32.png" "$work/mark-24.png" "$work/mark-16.png" "$out/karvelo.ico"
# Group 102: the window's large icon (title bar and task switcher).
convert "$work/mark-32.png" "$work/mark-16.png" "$out/karvelo_window.ico"
# A large preview for people, not used by the build.
if [ -n "$KARVELO_ICON_PREVIEW" ]; then
    draw 256 "$KARVELO_ICON_PREVIEW"
fi
echo "wrote $out/karvelo.ico and $out/karvelo_window.ico"
