#!/usr/bin/env bash
# sightgauge's four modes on a 12-megapixel JPEG with faces, against
# vipsthumbnail of the same file to 1600 pixels (the least work any detector
# needs on it), with model loading timed apart.
#   bench/sightgauge.sh [runs]     (default 3; the best run of each command counts)
# Needs ./setup.sh to have run (build/bin/sightgauge, the models in
# build/share/orvan/models, vips, vipsthumbnail, GNU time).
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-3}"
bin="${ORVAN_BIN:-build/bin}"
work="${TMPDIR:-/tmp}/orvan-bench-sightgauge"
mkdir -p "$work"

# The input: the 12-megapixel JPEG with five faces of bench/faces-photo.sh
# (coffee.png with astronaut.png and a portrait pasted at five sizes). A
# 2000 × 1500 window of it, saved once, is the crop for --crop-verify.
photo="$(bench/faces-photo.sh)"
crop="$work/crop.jpg"
if [ ! -f "$crop" ] || [ "$crop" -ot "$photo" ]; then
  vips crop "$photo" "$work/crop.tmp.jpg[Q=92]" 1000 750 2000 1500
  mv "$work/crop.tmp.jpg" "$crop"
fi
# Pictures for the model-loading figure: a 64 × 64 flat picture (process
# start; a flat picture is not searched, so no model is read) and
# astronaut.png reduced to 256 pixels (one face: the face detectors' and the
# landmark model are read, and a small picture searched). The difference is
# mostly model loading.
flat="$work/flat.png"
portrait="$work/portrait.png"
[ -f "$flat" ] || vips black "$flat" 64 64 --bands 3
[ -f "$portrait" ] || vips resize "$(bench/sample-photo.sh astronaut.png)" "$portrait" 0.5

# measure <command...>: "<wall s> <cpu s> <peak resident MB>" of the run with
# the best wall time (CPU = user + system, all threads).
measure() {
  local best="" cpu="" mem="" line t u s m
  for _ in $(seq "$runs"); do
    line=$(/usr/bin/time -f '%e %U %S %M' "$@" 2>&1 >/dev/null | tail -1)
    read -r t u s m <<<"$line"
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then
      best=$t
      cpu=$(printf '%.2f' "$(echo "$u + $s" | bc -l)")
      mem=$m
    fi
  done
  printf '%s %s %d' "$best" "$cpu" "$((mem / 1024))"
}

ratio() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }

read -r t_peer c_peer m_peer <<<"$(measure vipsthumbnail "$photo" -s 1600 -o "$work/peer.jpg")"
read -r t_default c_default m_default <<<"$(measure "$bin/sightgauge" "$photo")"
read -r t_faces c_faces m_faces <<<"$(measure "$bin/sightgauge" --faces-only "$photo")"
read -r t_matrix c_matrix m_matrix <<<"$(measure "$bin/sightgauge" --matrix30 "$photo")"
read -r t_crop c_crop m_crop <<<"$(measure "$bin/sightgauge" --crop-verify "$photo" "$crop" 0.25 0.25 0.5 0.5)"
read -r t_flat c_flat m_flat <<<"$(measure "$bin/sightgauge" --faces-only "$flat")"
read -r t_portrait c_portrait m_portrait <<<"$(measure "$bin/sightgauge" --faces-only "$portrait")"

echo "input: $photo ($(vipsheader "$photo" | sed 's/.*: //'))"
echo "faces found: $("$bin/sightgauge" --faces-only "$photo" | grep -o '"x":' | wc -l) of 5"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
row() { printf '%-34s %8s %8s %8s %8s %8s\n' "$@"; }
row case "wall s" "cpu s" "peak MB" ratio target
row "vipsthumbnail -s 1600 (peer)" "$t_peer" "$c_peer" "$m_peer" 1.00 -
row "default report" "$t_default" "$c_default" "$m_default" "$(ratio "$t_default" "$t_peer")" "<= 5"
row "--faces-only" "$t_faces" "$c_faces" "$m_faces" "$(ratio "$t_faces" "$t_peer")" "<= 10"
row "--matrix30" "$t_matrix" "$c_matrix" "$m_matrix" "$(ratio "$t_matrix" "$t_peer")" "<= 2"
row "--crop-verify" "$t_crop" "$c_crop" "$m_crop" "$(ratio "$t_crop" "$t_peer")" "<= 2"
row "--faces-only 64 px flat: start" "$t_flat" "$c_flat" "$m_flat" - -
row "--faces-only 256 px: + models" "$t_portrait" "$c_portrait" "$m_portrait" - -
row "model loading (difference)" "$(printf '%.3f' "$(echo "$t_portrait - $t_flat" | bc -l)")" \
  "$(printf '%.2f' "$(echo "$c_portrait - $c_flat" | bc -l)")" - - -
echo "peak memory target: < 600 MB in every mode"
