#!/usr/bin/env bash
# Draws the help dialog's picture, a large-digit wall clock showing "12:34", and writes it as a
# progressive JPEG of 1012 x 666 pixels:
#   tools/make_help_picture.sh [OUTPUT]      (default dialogs/help-picture.jpg)
# Needs ImageMagick's convert (Debian imagemagick) and cjpeg (Debian libjpeg-turbo-progs). The
# digits are seven-segment polygons, so no font is needed. The result is committed; the program
# never runs this.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-dialogs/help-picture.jpg}
convert=${CONVERT:-convert}
for tool in "$convert" cjpeg; do
    command -v "$tool" >/dev/null || { echo "make_help_picture: $tool not found" >&2; exit 1; }
done

width=1012
height=666

# Prints the polygons of one digit's segments: "lit" ones or the "dim" ones.
#   segments DIGIT X Y WHICH
segments() {
    awk -v digit="$1" -v x="$2" -v y="$3" -v which="$4" '
    function pt(px, py) {   # italic slant around the digit middle
        return sprintf("%.1f,%.1f ", px - (py - ym) * slant, py)
    }
    function horizontal(x1, x2, yy) {
        x1 += gap; x2 -= gap
        return "polygon " pt(x1, yy) pt(x1 + h, yy - h) pt(x2 - h, yy - h) pt(x2, yy) \
               pt(x2 - h, yy + h) pt(x1 + h, yy + h)
    }
    function vertical(xx, y1, y2) {
        y1 += gap; y2 -= gap
        return "polygon " pt(xx, y1) pt(xx + h, y1 + h) pt(xx + h, y2 - h) pt(xx, y2) \
               pt(xx - h, y2 - h) pt(xx - h, y1 + h)
    }
    BEGIN {
        w = 170; hgt = 330; t = 34; h = t / 2; gap = 5; slant = 0.09
        xl = x + h; xr = x + w - h; yt = y + h; ym = y + hgt / 2; yb = y + hgt - h
        seg["a"] = horizontal(xl, xr, yt)
        seg["b"] = vertical(xr, yt, ym)
        seg["c"] = vertical(xr, ym, yb)
        seg["d"] = horizontal(xl, xr, yb)
        seg["e"] = vertical(xl, ym, yb)
        seg["f"] = vertical(xl, yt, ym)
        seg["g"] = horizontal(xl, xr, ym)
        split("abcdef bc abdeg abcdg bcfg acdfg acdefg abc abcdefg abcdfg", map, " ")
        on = map[digit + 1]
        for (s in seg)
            if ((index(on, s) > 0) == (which == "lit"))
                printf "%s ", seg[s]
    }'
}

digits=(1 2 3 4)
xs=(76 286 556 766)     # two digits, the colon between x 456 and 556, two digits
top=168
lit=""
dim=""
for i in 0 1 2 3; do
    lit+=$(segments "${digits[$i]}" "${xs[$i]}" "$top" lit)
    dim+=$(segments "${digits[$i]}" "${xs[$i]}" "$top" dim)
done
# The colon: two slanted squares at a third and two thirds of the digit height.
colon="polygon 512,254 540,254 535,288 507,288 polygon 497,397 525,397 520,431 492,431"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$convert" -size "${width}x${height}" xc:'#15171a' \
    -fill '#2c3036' -stroke '#454a52' -strokewidth 6 -draw "roundrectangle 24,60 988,606 28,28" \
    -fill '#050505' -stroke '#0d0d0d' -strokewidth 4 -draw "rectangle 52,118 960,548" \
    -stroke none -fill '#8c9098' \
    -draw "circle 46,82 46,90 circle 966,82 966,90 circle 46,584 46,592 circle 966,584 966,592" \
    -fill '#1e0404' -draw "$dim" \
    \( -size "${width}x${height}" xc:black -fill '#ff2a1a' -draw "$lit $colon" -blur 0x10 \) \
    -compose screen -composite \
    -fill '#ff3322' -draw "$lit $colon" \
    -fill '#ffb0a0' -draw "circle 930,530 930,536" \
    -depth 8 "ppm:$tmp/picture.ppm"

cjpeg -progressive -quality 85 -optimize -outfile "$tmp/picture.jpg" "$tmp/picture.ppm"
mv "$tmp/picture.jpg" "$out"
echo "wrote $out ($(stat -c %s "$out") bytes)"
