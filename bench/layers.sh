#!/usr/bin/env bash
# Image layers and the print layout of tonesmith against its own identity
# render of the same 6000 × 4000 JPEG, in the same run.
#   bench/layers.sh [runs]      (default 5 runs each; the best time counts)
# TONESMITH=path overrides build/bin/tonesmith.
#
# layers: a 3000 × 2000 texture (multiply, opacity 0.7) and a 2400 × 1600
#   light leak (screen, scale 0.8, turned 12°, feather 0.05, a 1200 × 800
#   grey mask); print: 30 × 20 cm, contain, 2 cm mat. All write JPEG.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/tonesmith-input.sh "$@"

if [ ! -f "$work/texture.jpg" ]; then
  vips gaussnoise "$work/tn.v" 3000 2000 --sigma 40 --mean 180
  vips gaussblur "$work/tn.v" "$work/tb.v" 3
  vips bandjoin "$work/tb.v $work/tb.v $work/tb.v" "$work/t3.v"
  vips cast "$work/t3.v" "$work/tc.v" uchar
  vips jpegsave "$work/tc.v" "$work/texture.jpg" --Q 90
  rm -f "$work"/tn.v "$work"/tb.v "$work"/t3.v "$work"/tc.v
fi
if [ ! -f "$work/leak.jpg" ]; then
  # An orange glow growing to the right, and a mask that shows it at the top left.
  vips xyz "$work/xy.v" 2400 1600
  vips extract_band "$work/xy.v" "$work/x.v" 0
  vips linear "$work/x.v" "$work/r.v" 0.1 15
  vips linear "$work/x.v" "$work/g.v" 0.05 5
  vips linear "$work/x.v" "$work/b.v" 0.01 0
  vips bandjoin "$work/r.v $work/g.v $work/b.v" "$work/l3.v"
  vips cast "$work/l3.v" "$work/lc.v" uchar
  vips jpegsave "$work/lc.v" "$work/leak.jpg" --Q 90
  vips xyz "$work/mxy.v" 1200 800
  vips bandmean "$work/mxy.v" "$work/mm.v"
  vips linear "$work/mm.v" "$work/ms.v" 0.25 0
  vips cast "$work/ms.v" "$work/mu.v" uchar
  vips pngsave "$work/mu.v" "$work/leak-mask.png"
  rm -f "$work"/xy.v "$work"/x.v "$work"/r.v "$work"/g.v "$work"/b.v "$work"/l3.v "$work"/lc.v \
    "$work"/mxy.v "$work"/mm.v "$work"/ms.v "$work"/mu.v
fi
printf '[{"path":"%s","blendMode":"multiply","opacity":0.7},{"path":"%s","blendMode":"screen","scale":0.8,"rotation":12,"feather":0.05,"maskPath":"%s"}]' \
  "$work/texture.jpg" "$work/leak.jpg" "$work/leak-mask.png" > "$work/image-layers.json"
printf '{"widthCm":30,"heightCm":20,"layout":"mat","fit":"contain","marginCm":2,"marginColor":"#f4f1ea"}' \
  > "$work/print-layout.json"

. bench/timing.sh

identity=("$bin" "$input" "$work/ts-identity.jpg" 0 0 "" 0 0 0 1 1)
layers=("$bin" "$input" "$work/ts-layers.jpg" 0 0 "" 0 0 0 1 1 --image-layers-file "$work/image-layers.json")
print=("$bin" "$input" "$work/ts-print.jpg" 0 0 "" 0 0 0 1 1 --print-layout-file "$work/print-layout.json")

echo "input: $input ($(stat -c %s "$input") bytes, $(vipsheader "$input"))"
t_identity=$(best_time "${identity[@]}")
t_layers=$(best_time "${layers[@]}")
t_print=$(best_time "${print[@]}")
printf 'identity  %ss\n' "$t_identity"
printf 'layers    %ss  ratio %.2f to identity (target <= 2.00)\n' "$t_layers" "$(echo "$t_layers / $t_identity" | bc -l)"
printf 'print     %ss  ratio %.2f to identity (target <= 2.00)\n' "$t_print" "$(echo "$t_print / $t_identity" | bc -l)"
