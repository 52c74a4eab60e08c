#!/usr/bin/env bash
# The recognisers on a 12-megapixel JPEG with faces (bench/faces-photo.sh):
# model loading timed apart from the per-image work, peak memory, and the
# peer `vipsthumbnail -s 1600` of the same file (the least work any detector
# needs on it), best of the runs.
#   bench/vision.sh [runs]     (default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-3}"
tool=build/bench/vision_bench
[ -x "$tool" ] || cmake --build build --target vision_bench >/dev/null
photo="$(bench/faces-photo.sh)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

peer=1000000
for _ in $(seq "$runs"); do
  start=$(date +%s.%N)
  vipsthumbnail -s 1600 -o "$work/peer.jpg" "$photo"
  end=$(date +%s.%N)
  peer=$(echo "t = $end - $start; if (t < $peer) t else $peer" | bc -l)
done

/usr/bin/time -f "peak-memory-kb %M" -o "$work/time" "$tool" "$photo" "$runs" >"$work/out"
cat "$work/out"
cat "$work/time"
printf 'peer vipsthumbnail-1600 %.3f\n' "$peer"
per_image=$(awk '$1 == "handler" || $1 == "faces" { s += $2 } END { print s }' "$work/out")
printf 'faces (handler + detection) / peer: %.1f\n' "$(echo "$per_image / $peer" | bc -l)"
