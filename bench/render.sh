#!/usr/bin/env bash
# The renderer against ImageMagick and against a libvips decode+encode floor,
# on a camera-sized JPEG made from a real photograph.
#   bench/render.sh [runs]      (default 5 runs each; the best time counts)
# Needs ./setup.sh to have run (build/bin/tonesmith, vips, convert, GNU time).
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/tonesmith-input.sh "$@"


. bench/timing.sh

peak_mb() {
  /usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -n 1 | awk '{printf "%.0f", $1 / 1024}'
}

edit=("$bin" "$input" "$work/ts-edit.jpg" 0 0 "" 92.5 0.1 0.1 0.8 0.8 2048 --edge-softness 0.3)
identity=("$bin" "$input" "$work/ts-identity.jpg" 0 0 "" 0 0 0 1 1)
# ImageMagick: the same quarter turn plus straightening, the centre 80 % crop, 2048 longest edge.
magick=(convert "$input" -rotate 92.5 -gravity center -crop 80%x80%+0+0 +repage -resize 2048x2048 -quality 94
  "$work/im-edit.jpg")
floor=(vips copy "$input" "$work/vips-copy.jpg[Q=94]")

echo "input: $input ($(stat -c %s "$input") bytes, $(vipsheader "$input"))"
t_edit=$(best_time "${edit[@]}")
t_magick=$(best_time "${magick[@]}")
t_identity=$(best_time "${identity[@]}")
t_floor=$(best_time "${floor[@]}")
mem_edit=$(peak_mb "${edit[@]}")

printf 'edit      tonesmith %ss  imagemagick %ss  ratio %.2f (target <= 0.50)\n' "$t_edit" "$t_magick" \
  "$(echo "$t_edit / $t_magick" | bc -l)"
printf 'identity  tonesmith %ss  vips copy %ss    ratio %.2f (target <= 1.50)\n' "$t_identity" "$t_floor" \
  "$(echo "$t_identity / $t_floor" | bc -l)"
printf 'memory    tonesmith edit peak %s MB (target <= 1536 MB)\n' "$mem_edit"
