#!/usr/bin/env bash
# The local effects of tonesmith against its own identity render of the
# same 6000 × 4000 JPEG (the input of bench/render.sh), in the same run:
# a blur with three 50-point strokes, scratches in density mode
# (densityScale 50) brushed over the left half of the picture, and a blur
# with one dense pen stroke (500 points a few pixels apart, radius 0.15:
# about a thousand stamps 820 mask pixels across).
#   bench/effects.sh [runs]      (default 5 runs each; the best time counts)
# TONESMITH=path overrides build/bin/tonesmith.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/tonesmith-input.sh "$@"

# Three wavy 50-point strokes across the picture.
awk 'BEGIN {
  printf "[{\"kind\":\"blur\",\"amount\":20,\"opacity\":0.9,\"feather\":0.01,\"strokes\":["
  for (s = 0; s < 3; s++) {
    printf "%s{\"radius\":0.03,\"points\":[", s ? "," : ""
    for (i = 0; i < 50; i++)
      printf "%s{\"x\":%.4f,\"y\":%.4f}", i ? "," : "", 0.05 + 0.9 * i / 49, 0.25 + 0.25 * s + 0.08 * sin(i / 4)
    printf "]}"
  }
  printf "]}]"
}' > "$work/blur-effect.json"
# Five broad horizontal strokes covering the left half.
awk 'BEGIN {
  printf "[{\"kind\":\"scratches\",\"densityScale\":50,\"seed\":7,\"opacity\":1,\"strokes\":["
  for (s = 0; s < 5; s++)
    printf "%s{\"radius\":0.12,\"points\":[{\"x\":0.06,\"y\":%.2f},{\"x\":0.44,\"y\":%.2f}]}", s ? "," : "",
      0.1 + 0.2 * s, 0.1 + 0.2 * s
  printf "]}]"
}' > "$work/scratches-effect.json"

# One dense wavy pen stroke of 500 points with a jitter of a few pixels.
awk 'BEGIN {
  printf "[{\"kind\":\"blur\",\"amount\":20,\"opacity\":0.9,\"strokes\":[{\"radius\":0.15,\"points\":["
  for (i = 0; i < 500; i++)
    printf "%s{\"x\":%.5f,\"y\":%.5f}", i ? "," : "", 0.1 + 0.8 * i / 499,
      0.5 + 0.15 * sin(6.3 * i / 499) + 0.0015 * sin(i * 12.9898)
  printf "]}]}]"
}' > "$work/dense-effect.json"

. bench/timing.sh

identity=("$bin" "$input" "$work/ts-identity.jpg" 0 0 "" 0 0 0 1 1)
blur=("$bin" "$input" "$work/ts-blur.jpg" 0 0 "" 0 0 0 1 1 --local-effects-file "$work/blur-effect.json")
scratches=("$bin" "$input" "$work/ts-scratches.jpg" 0 0 "" 0 0 0 1 1
  --local-effects-file "$work/scratches-effect.json")

dense=("$bin" "$input" "$work/ts-dense.jpg" 0 0 "" 0 0 0 1 1 --local-effects-file "$work/dense-effect.json")

echo "input: $input ($(stat -c %s "$input") bytes, $(vipsheader "$input"))"
t_identity=$(best_time "${identity[@]}")
t_blur=$(best_time "${blur[@]}")
t_scratches=$(best_time "${scratches[@]}")
t_dense=$(best_time "${dense[@]}")
printf 'identity   %ss\n' "$t_identity"
printf 'blur       %ss  ratio %.2f to identity (target <= 2.00)\n' "$t_blur" "$(echo "$t_blur / $t_identity" | bc -l)"
printf 'scratches  %ss  ratio %.2f to identity (target <= 3.00)\n' "$t_scratches" \
  "$(echo "$t_scratches / $t_identity" | bc -l)"
printf 'dense      %ss  ratio %.2f to identity (target <= 2.50)\n' "$t_dense" "$(echo "$t_dense / $t_identity" | bc -l)"
