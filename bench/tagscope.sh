#!/usr/bin/env bash
# The metadata reader against exiftool and exiv2's command-line tool on 2000
# camera-like JPEGs with EXIF, GPS and XMP, each tool in one process.
#   bench/tagscope.sh [runs]      (default 3 runs each; the best time counts)
# Needs ./setup.sh to have run (build/bin/tagscope, vips, exiv2, exiftool, bc).
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-3}"
bin="${TAGSCOPE_BIN:-build/bin/tagscope}"
work="${TMPDIR:-/tmp}/orvan-bench-tagscope"
photos="$work/photos"
count=2000
variants=20

if [ ! -f "$photos/img-$((count - 1)).jpg" ]; then
  rm -rf "$work"
  mkdir -p "$photos" "$work/variants"
  vips gaussnoise "$work/noise.v" 640 480 --sigma 40 --mean 128
  vips bandjoin "$work/noise.v $work/noise.v $work/noise.v" "$work/rgb.v"
  vips cast "$work/rgb.v" "$work/base.v" uchar
  vips jpegsave "$work/base.v" "$work/base.jpg" --Q 85
  for v in $(seq 0 $((variants - 1))); do
    f="$work/variants/v$v.jpg"
    cp "$work/base.jpg" "$f"
    exiv2 -q \
      -M"set Exif.Image.Make Maker$((v % 4))" \
      -M"set Exif.Image.Model Camera Model $v" \
      -M"set Exif.Image.Software Firmware 1.$v" \
      -M"set Exif.Photo.LensModel Lens ${v}mm F2" \
      -M"set Exif.Photo.ExposureTime 1/$((60 + v * 10))" \
      -M"set Exif.Photo.FNumber $((14 + v))/10" \
      -M"set Exif.Photo.FocalLength $((24 + v))/1" \
      -M"set Exif.Photo.ISOSpeedRatings $((100 * (v + 1)))" \
      -M"set Exif.Photo.DateTimeOriginal 2024:05:$(printf %02d $((v % 28 + 1))) 14:03:22" \
      -M"set Exif.Photo.ColorSpace 1" \
      -M"set Exif.GPSInfo.GPSLatitude $((10 + v))/1 30/1 0/1" \
      -M"set Exif.GPSInfo.GPSLatitudeRef $([ $((v % 2)) = 0 ] && echo N || echo S)" \
      -M"set Exif.GPSInfo.GPSLongitude $((20 + v))/1 15/1 36/1" \
      -M"set Exif.GPSInfo.GPSLongitudeRef $([ $((v % 3)) = 0 ] && echo W || echo E)" \
      -M"set Xmp.xmp.CreatorTool Raw Editor $v" \
      -M"set Xmp.crs.CameraProfile Profile $((v % 5))" \
      -M"set Xmp.crs.LookName Look $v" \
      "$f"
  done
  for i in $(seq 0 $((count - 1))); do cp "$work/variants/v$((i % variants)).jpg" "$photos/img-$i.jpg"; done
  rm -f "$work"/*.v
fi

files=("$photos"/img-*.jpg)
printf '%s\n' "${files[@]}" > "$work/paths.txt"

# best_time <command...>: the fastest of $runs runs, in seconds.
best_time() {
  local best="" t0 t1 t
  for _ in $(seq "$runs"); do
    t0=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    t1=$(date +%s.%N)
    t=$(echo "$t1 - $t0" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  printf '%.3f' "$best"
}

run_tagscope() { "$bin" < "$work/paths.txt"; }
run_exiftool() { exiftool -json -fast "${files[@]}"; }
run_exiv2() { exiv2 -pa "${files[@]}"; }

# Sanity: one answer per file.
answers=$(run_tagscope | wc -l)
[ "$answers" = "${#files[@]}" ] || { echo "tagscope answered $answers of ${#files[@]} paths" >&2; exit 1; }

echo "input: ${#files[@]} JPEGs 640x480 with EXIF, GPS and XMP under $photos"
t_ts=$(best_time run_tagscope)
t_et=$(best_time run_exiftool)
t_ex=$(best_time run_exiv2)
printf 'tagscope %ss  exiftool -json -fast %ss  ratio %.1fx faster (target >= 10)\n' "$t_ts" "$t_et" \
  "$(echo "$t_et / $t_ts" | bc -l)"
printf 'tagscope %ss  exiv2 -pa %ss            ratio %.1fx faster (target > 1)\n' "$t_ts" "$t_ex" \
  "$(echo "$t_ex / $t_ts" | bc -l)"
