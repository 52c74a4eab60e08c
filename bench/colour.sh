#!/usr/bin/env bash
# The colour stages of tonesmith against its own identity render of the
# same 6000 × 4000 JPEG (the input of bench/render.sh), in the same run; and
# the identity render of a Display P3 copy of that JPEG against its sRGB
# twin (colour management on decode).
#   bench/colour.sh [runs]      (default 5 runs each; the best time counts)
# TONESMITH=path overrides build/bin/tonesmith.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/tonesmith-input.sh "$@"


# A 33-point look: a warm, slightly crossed cube (not separable per channel).
cube="$work/look.cube"
awk 'BEGIN {
  n = 33; print "TITLE \"bench look\""; print "LUT_3D_SIZE " n
  for (b = 0; b < n; b++) for (g = 0; g < n; g++) for (r = 0; r < n; r++) {
    R = r / (n - 1); G = g / (n - 1); B = b / (n - 1)
    printf "%.6f %.6f %.6f\n", 0.9 * R + 0.1 * G, 0.05 * R + 0.9 * G + 0.05 * B, 0.1 * G + 0.85 * B
  } }' > "$cube"
printf '[{"x":0,"y":0.02},{"x":0.5,"y":0.55},{"x":1,"y":0.97}]' > "$work/curve.json"
printf '[{"lut":"%s","opacity":0.7}]' "$cube" > "$work/layers.json"

# The picture in Display P3 (libvips' own profile, embedded) and its sRGB
# twin converted back from it (sRGB profile embedded), both quality 92.
p3="$work/colour-p3.jpg" srgb="$work/colour-srgb.jpg"
if [ ! -f "$p3" ] || [ ! -f "$srgb" ]; then
  vips icc_transform "$input" "$work/p3.tmp.jpg[Q=92]" p3 --input-profile srgb --intent relative
  vips icc_transform "$work/p3.tmp.jpg" "$work/srgb.tmp.jpg[Q=92]" srgb --embedded --intent relative
  mv "$work/p3.tmp.jpg" "$p3" && mv "$work/srgb.tmp.jpg" "$srgb"
fi

. bench/timing.sh

identity=("$bin" "$input" "$work/ts-identity.jpg" 0 0 "" 0 0 0 1 1)
edit=("$bin" "$input" "$work/ts-colour.jpg" 0 0.4 "" 0 0 0 1 1 --tone-curve-file "$work/curve.json"
  --saturation 1.2 --film-color-profile kodak-gold-200 --lut-layers-file "$work/layers.json")
negative=("$bin" "$input" "$work/ts-negative.jpg" 0 0 "" 0 0 0 1 1 --negative --negative-profile color-auto)
# Decode and histogram only, nothing encoded: what a run that needs whole-picture
# statistics spends before its first output row (shown for reference).
measure=("$bin" "$input" "$work/ts-measure.jpg" 0 0 "" 0 0 0 1 1 --measure)

echo "input: $input ($(stat -c %s "$input") bytes, $(vipsheader "$input"))"
# Rounds of identity, edit, negative and decode in turn: a machine whose speed
# drifts during the run moves all four alike. Each ratio is the median over
# the rounds of that round's time over the round's identity time; the best
# times are shown beside it.
ti=() te=() tn=() tm=() re=() rn=() rm=() tp=() ts=() rp=()
p3Identity=("$bin" "$p3" "$work/ts-p3.jpg" 0 0 "" 0 0 0 1 1)
srgbIdentity=("$bin" "$srgb" "$work/ts-srgb.jpg" 0 0 "" 0 0 0 1 1)
for _ in $(seq "$runs"); do
  i=$(time_once "${identity[@]}"); e=$(time_once "${edit[@]}")
  n=$(time_once "${negative[@]}"); m=$(time_once "${measure[@]}")
  s=$(time_once "${srgbIdentity[@]}"); p=$(time_once "${p3Identity[@]}")
  ti+=("$i") te+=("$e") tn+=("$n") tm+=("$m") ts+=("$s") tp+=("$p")
  re+=("$(echo "$e / $i" | bc -l)") rn+=("$(echo "$n / $i" | bc -l)") rm+=("$(echo "$m / $i" | bc -l)")
  rp+=("$(echo "$p / $s" | bc -l)")
done
best() { printf '%s\n' "$@" | sort -g | head -1 | xargs printf '%.3f'; }
printf 'identity  best %ss\n' "$(best "${ti[@]}")"
printf 'edit      best %ss  ratio %s to identity, median of %s rounds (target <= 1.60)\n' "$(best "${te[@]}")" \
  "$(median "${re[@]}")" "$runs"
printf 'negative  best %ss  ratio %s to identity, median of %s rounds (target <= 1.60)\n' "$(best "${tn[@]}")" \
  "$(median "${rn[@]}")" "$runs"
printf 'decode    best %ss  ratio %s to identity (decode and histogram only, for reference)\n' \
  "$(best "${tm[@]}")" "$(median "${rm[@]}")"
printf 'sRGB twin best %ss  (identity render of the sRGB-tagged twin, the peer of the next line)\n' "$(best "${ts[@]}")"
printf 'P3        best %ss  ratio %s to the sRGB twin, median of %s rounds (target <= 1.30)\n' "$(best "${tp[@]}")" \
  "$(median "${rp[@]}")" "$runs"
