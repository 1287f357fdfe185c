#!/usr/bin/env bash
# Renders the program's icon into the fixed sizes installed beside the scalable one. Run after
# changing voxilen.svg (needs rsvg-convert from librsvg2-bin); the PNGs are kept in the
# repository so that building needs no SVG renderer.
set -euo pipefail
cd "$(dirname "$0")"
for size in 48 256; do
  mkdir -p "icons/${size}x${size}"
  rsvg-convert -w "$size" -h "$size" voxilen.svg -o "icons/${size}x${size}/voxilen.png"
done
