#!/usr/bin/env bash
# The derived-JPEG writers against their peers, on 200 camera-sized JPEGs made
# from a real photograph:
#   minipic    256-pixel thumbnails of all files through one process, against
#              vipsthumbnail -s 256 (one process) and ImageMagick
#              convert -thumbnail 256x256 (one process per file);
#   webshrink  2048-pixel gallery copies, one process per file, against
#              vipsthumbnail -s 2048, also one process per file.
#   bench/derived.sh [files] [imagemagick-files] [runs]
#       files: how many of the 200 inputs to use (default 200); ImageMagick runs
#       on the first imagemagick-files of them (default 20: it takes about a
#       second a file) and its time is scaled to all files; runs: each of our
#       commands and its vips peer run this many times, alternating, and the
#       best time counts (default 1).
# Needs ./setup.sh to have run (build/bin/minipic, build/bin/webshrink, vips,
# vipsthumbnail, convert, GNU time).
set -euo pipefail
cd "$(dirname "$0")/.."
count="${1:-200}"
imCount="${2:-20}"
runs="${3:-1}"
bin="${ORVAN_BIN:-build/bin}"  # another build directory may be given
work="${TMPDIR:-/tmp}/orvan-bench-derived"
inputs="$work/inputs"
mkdir -p "$inputs"

# 200 different 6000 × 4000 crops of one noisy enlargement (6600 × 4400, cropped to 6400 × 4400) of
# coffee.png, JPEG quality 92, made once.
if [ ! -f "$inputs/photo-199.jpg" ]; then
  photo="$(bench/sample-photo.sh coffee.png)"
  vips resize "$photo" "$work/big.v" 11 --kernel lanczos3
  vips extract_band "$work/big.v" "$work/rgb.v" 0 --n 3
  vips crop "$work/rgb.v" "$work/base.v" 0 0 6400 4400
  vips gaussnoise "$work/noise.v" 6400 4400 --sigma 4 --mean 0
  vips bandjoin "$work/noise.v $work/noise.v $work/noise.v" "$work/noise3.v"
  vips add "$work/base.v" "$work/noise3.v" "$work/noisy.v"
  vips cast "$work/noisy.v" "$work/cast.v" uchar
  for i in $(seq 0 199); do
    left=$(( (i % 20) * 20 ))
    top=$(( (i / 20) * 40 ))
    vips crop "$work/cast.v" "$inputs/photo-$i.jpg[Q=92]" "$left" "$top" 6000 4000
  done
  rm -f "$work"/*.v
fi

files=()
for i in $(seq 0 $((count - 1))); do files+=("$inputs/photo-$i.jpg"); done

. bench/timing.sh

# best <previous-best-or-empty> <seconds>
best() { if [ -z "$1" ] || [ "$(echo "$2 < $1" | bc -l)" = 1 ]; then echo "$2"; else echo "$1"; fi; }

ratio() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }

# --- minipic -----------------------------------------------------------------
out="$work/out"
rm -rf "$out" && mkdir -p "$out/minipic" "$out/vips256" "$out/magick" "$out/webshrink" "$out/vips2048"
requests="$work/requests.jsonl"
: >"$requests"
for f in "${files[@]}"; do
  name="$(basename "$f" .jpg)"
  printf '{"id":"%s","inputPath":"%s","outputPath":"%s","maxEdge":256}\n' "$name" "$f" \
    "$out/minipic/$name.jpg" >>"$requests"
done

run_minipic() { "$bin/minipic" <"$requests" >"$work/responses.jsonl"; }
run_vips256() { vipsthumbnail -s 256 -o "$out/vips256/%s.jpg" "${files[@]}"; }
run_magick() {
  local i=0
  for f in "${files[@]}"; do
    [ "$i" -lt "$imCount" ] || break
    convert "$f" -thumbnail 256x256 "$out/magick/$(basename "$f")"
    i=$((i + 1))
  done
}

t_minipic="" t_vips256=""
for _ in $(seq "$runs"); do
  t_minipic=$(best "$t_minipic" "$(time_once run_minipic)")
  t_vips256=$(best "$t_vips256" "$(time_once run_vips256)")
done
t_magick=$(time_once run_magick)
ok=$(grep -c '"ok":true' "$work/responses.jsonl" || true)
mem_minipic=$(/usr/bin/time -f '%M' "$bin/minipic" <"$requests" 2>&1 >/dev/null | tail -n 1 |
  awk '{printf "%.0f", $1 / 1024}')
# ImageMagick per file, scaled to the full count.
t_magick_all=$(echo "$t_magick * $count / $imCount" | bc -l)

# --- webshrink ---------------------------------------------------------------
run_webshrink() {
  for f in "${files[@]}"; do "$bin/webshrink" "$f" "$out/webshrink/$(basename "$f")" 2048; done
}
# One process per file for both: the host starts webshrink once per photo.
run_vips2048() {
  for f in "${files[@]}"; do vipsthumbnail -s 2048 -o "$out/vips2048/%s.jpg[Q=92]" "$f"; done
}
t_webshrink="" t_vips2048=""
for _ in $(seq "$runs"); do
  t_webshrink=$(best "$t_webshrink" "$(time_once run_webshrink)")
  t_vips2048=$(best "$t_vips2048" "$(time_once run_vips2048)")
done

echo "inputs: $count × $(vipsheader "${files[0]}" | sed 's/^[^:]*: //'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf 'minipic 256    %6.2fs  (%s of %s ok)  vipsthumbnail %6.2fs  ratio %s (target <= 1.00)\n' \
  "$t_minipic" "$ok" "$count" "$t_vips256" "$(ratio "$t_minipic" "$t_vips256")"
printf 'minipic 256    %6.2fs  imagemagick %6.2fs (%s files measured)  ratio %s (target <= 0.20)\n' \
  "$t_minipic" "$t_magick_all" "$imCount" "$(ratio "$t_minipic" "$t_magick_all")"
printf 'minipic memory peak %s MB (target < 300 MB)\n' "$mem_minipic"
printf 'webshrink 2048 %6.2fs  vipsthumbnail (per file) %6.2fs  ratio %s (target <= 1.30)\n' \
  "$t_webshrink" "$t_vips2048" "$(ratio "$t_webshrink" "$t_vips2048")"
