#!/usr/bin/env bash
# Prints the path of a 12-megapixel JPEG with real faces, making it on first
# use: coffee.png from python3-skimage enlarged to 4000 × 3000 with Lanczos,
# with astronaut.png and facedetect's grace_hopper_512x512.jpg pasted on it
# at five sizes (faces from about 2 % to 15 % of the shorter side), quality 92.
#   bench/faces-photo.sh [work-dir]   (default $TMPDIR/orvan-bench-vision)
set -euo pipefail
cd "$(dirname "$0")/.."
work="${1:-${TMPDIR:-/tmp}/orvan-bench-vision}"
mkdir -p "$work"
output="$work/faces.jpg"
if [ ! -f "$output" ]; then
  coffee="$(bench/sample-photo.sh coffee.png)"
  astronaut="$(bench/sample-photo.sh astronaut.png)"
  grace="$(bench/sample-photo.sh grace_hopper_512x512.jpg)"
  # A face is about a fifth of astronaut.png's side and two fifths of the portrait's.
  convert "$coffee" -filter Lanczos -resize '4000x3000!' \
    \( "$astronaut" -resize 2000x2000 \) -geometry +100+900 -composite \
    \( "$grace" -resize 1200x1200 \) -geometry +2400+200 -composite \
    \( "$astronaut" -resize 900x900 \) -geometry +2600+1700 -composite \
    \( "$grace" -resize 400x400 \) -geometry +3500+1800 -composite \
    \( "$astronaut" -resize 300x300 \) -geometry +3400+2500 -composite \
    -quality 92 "$output.tmp.jpg"
  mv "$output.tmp.jpg" "$output"
fi
echo "$output"
