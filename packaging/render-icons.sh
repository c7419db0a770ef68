#!/usr/bin/env bash
# Renders the PNG sizes of the icon from its SVG. The PNGs are committed, so the build needs no
# renderer; run this again after changing the SVG (needs rsvg-convert, Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
id=example.quillmoor.Fetchwright
for size in 16 24 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" "$id.svg" -o "icons/$size.png"
done
