#!/usr/bin/env bash
# Renders the client's drawings (the SVG files, the one source) to the PNG files that the window
# embeds (client.qrc) and that are installed beside the scalable icon: the program icon at the
# sizes title bars, task bars and docks ask for, and the main window's picture at twice its size
# on a common screen. Run after editing an SVG; needs rsvg-convert (Debian: librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 24 32 48 64 128; do
    rsvg-convert --width "$size" --height "$size" kalvoran-tftp-client.svg \
        -o "kalvoran-tftp-client-$size.png"
done
rsvg-convert --width 580 --height 484 agent-card.svg -o agent-card.png
