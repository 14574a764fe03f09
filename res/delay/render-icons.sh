#!/usr/bin/env bash
# Renders the delay program's icon (kalvoran-delay.svg, the one source) to the PNG sizes that the
# window embeds and that are installed beside the scalable icon. Run after editing the SVG; needs
# rsvg-convert (Debian: librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 32 48 64; do
    rsvg-convert --width "$size" --height "$size" kalvoran-delay.svg -o "kalvoran-delay-$size.png"
done
