#!/usr/bin/env bash
# Renders packaging/icons/kadrel.svg to the PNG sizes the desktop icon theme looks for
# (packaging/icons/kadrel-N.png). The PNGs are kept in the repository so a build needs no
# SVG renderer; run this again after changing the SVG.
# Needs rsvg-convert (Debian librsvg2-bin) or ImageMagick's convert.
set -euo pipefail

dir=$(cd "$(dirname "$0")/icons" && pwd)
svg=$dir/kadrel.svg
sizes=(16 32 48 64 128 256)

render() {   # render SIZE OUT
    if command -v rsvg-convert >/dev/null; then
        rsvg-convert --width "$1" --height "$1" --keep-aspect-ratio "$svg" --output "$2"
    elif [ -x /usr/bin/convert ]; then
        # Render large and scale down: ImageMagick's own SVG renderer is coarse at small sizes.
        /usr/bin/convert -background none -density 384 "$svg" -resize "$1x$1" "PNG32:$2"
    else
        echo "make-icons.sh: needs rsvg-convert (apt-get install librsvg2-bin) or ImageMagick" >&2
        exit 1
    fi
}

for n in "${sizes[@]}"; do
    render "$n" "$dir/kadrel-$n.png"
    echo "$dir/kadrel-$n.png"
done
