#!/usr/bin/env bash
# scanprobe and levelprobe on a 24-megapixel film scan, against
# vipsthumbnail of the same file to 1600 pixels (the least work any analysis
# of it needs), with the peak resident memory of each.
#   bench/scans.sh [runs]     # default 5; the best run of each command counts
# Input: coffee.png from Debian's python3-skimage package, enlarged nine
# times to 5400 × 3600 with Lanczos, turned into an orange-masked colour
# negative, laid on a dark 6000 × 4000 scanner bed with mild noise and saved
# as JPEG at quality 92; made once under $TMPDIR/orvan-bench-scans/.
# Needs ./setup.sh to have run (build/bin, vips, vipsthumbnail, GNU time).
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-5}"
bin="${ORVAN_BIN:-build/bin}"
work="${TMPDIR:-/tmp}/orvan-bench-scans"
scan="$work/scan.jpg"
mkdir -p "$work"

if [ ! -f "$scan" ]; then
  photo="$(bench/sample-photo.sh coffee.png)"
  vips resize "$photo" "$work/big.v" 9 --kernel lanczos3
  vips extract_band "$work/big.v" "$work/rgb.v" 0 --n 3
  vips invert "$work/rgb.v" "$work/inverted.v"
  # Each component: mask × (0.32 + 0.68 × (1 − picture)), mask 0.92 0.58 0.30.
  vips linear "$work/inverted.v" "$work/negative.v" "0.6256 0.3944 0.204" "75.1 47.3 24.5"
  vips embed "$work/negative.v" "$work/bed.v" 300 200 6000 4000 --extend background --background "15 15 15"
  vips gaussnoise "$work/noise.v" 6000 4000 --sigma 3 --mean 0
  vips bandjoin "$work/noise.v $work/noise.v $work/noise.v" "$work/noise3.v"
  vips add "$work/bed.v" "$work/noise3.v" "$work/noisy.v"
  vips cast "$work/noisy.v" "$work/cast.v" uchar
  vips copy "$work/cast.v" "$scan[Q=92]"
  rm -f "$work"/*.v
fi

. bench/timing.sh

peak_mb() {
  /usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -n 1 | awk '{printf "%.0f", $1 / 1024}'
}

# The best of $runs, each command run in turn so that all see the same load.
best_scan="" best_level="" best_peer=""
for _ in $(seq "$runs"); do
  t=$(time_once "$bin/scanprobe" "$scan")
  if [ -z "$best_scan" ] || [ "$(echo "$t < $best_scan" | bc -l)" = 1 ]; then best_scan=$t; fi
  t=$(time_once "$bin/levelprobe" "$scan")
  if [ -z "$best_level" ] || [ "$(echo "$t < $best_level" | bc -l)" = 1 ]; then best_level=$t; fi
  t=$(time_once vipsthumbnail "$scan" -s 1600 -o "$work/peer.jpg")
  if [ -z "$best_peer" ] || [ "$(echo "$t < $best_peer" | bc -l)" = 1 ]; then best_peer=$t; fi
done
mem_scan=$(peak_mb "$bin/scanprobe" "$scan")
mem_level=$(peak_mb "$bin/levelprobe" "$scan")
mem_peer=$(peak_mb vipsthumbnail "$scan" -s 1600 -o "$work/peer.jpg")

ratio() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }
printf 'scan      %s\n' "$("$bin/scanprobe" "$scan")"
printf 'horizon   %s\n' "$("$bin/levelprobe" "$scan" 2>&1)"
printf 'scanprobe   %.3f s  peer vipsthumbnail %.3f s  ratio %s (target <= 2)   peak %s MB\n' \
  "$best_scan" "$best_peer" "$(ratio "$best_scan" "$best_peer")" "$mem_scan"
printf 'levelprobe  %.3f s  peer vipsthumbnail %.3f s  ratio %s (target <= 3)   peak %s MB\n' \
  "$best_level" "$best_peer" "$(ratio "$best_level" "$best_peer")" "$mem_level"
printf 'peer peak %s MB; target for both programs < 400 MB\n' "$mem_peer"
