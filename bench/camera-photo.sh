#!/usr/bin/env bash
# Prints the path of a camera-sized JPEG made from a real photograph, making
# it on first use: coffee.png from python3-skimage enlarged ten times to
# 6000 × 4000 with Lanczos, mild Gaussian noise (σ 4), quality 92 (about 7 MB).
#   bench/camera-photo.sh [work-dir]   (default $TMPDIR/orvan-bench-render)
set -euo pipefail
cd "$(dirname "$0")/.."
work="${1:-${TMPDIR:-/tmp}/orvan-bench-render}"
mkdir -p "$work"
input="$work/camera.jpg"
if [ ! -f "$input" ]; then
  photo="$(bench/sample-photo.sh coffee.png)"
  vips resize "$photo" "$work/big.v" 10 --kernel lanczos3
  vips extract_band "$work/big.v" "$work/rgb.v" 0 --n 3
  vips gaussnoise "$work/noise.v" 6000 4000 --sigma 4 --mean 0
  vips bandjoin "$work/noise.v $work/noise.v $work/noise.v" "$work/noise3.v"
  vips add "$work/rgb.v" "$work/noise3.v" "$work/noisy.v"
  vips cast "$work/noisy.v" "$work/cast.v" uchar
  vips jpegsave "$work/cast.v" "$input.tmp.jpg" --Q 92
  mv "$input.tmp.jpg" "$input"
  rm -f "$work"/big.v "$work"/rgb.v "$work"/noise.v "$work"/noise3.v "$work"/noisy.v "$work"/cast.v
fi
echo "$input"
