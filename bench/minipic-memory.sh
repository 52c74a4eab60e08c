#!/usr/bin/env bash
# minipic's peak memory on large interlaced 16-bit PNGs (decoded whole before
# they are reduced), against vipsthumbnail on the same file in the same run:
# four 256-pixel thumbnail requests through one minipic process, whose
# workers share one byte budget, and one vipsthumbnail of the file.
#   bench/minipic-memory.sh [side]     (default 11000: an 11000 × 11000 RGB
#                                       picture, 726 MB decoded)
# MINIPIC=path overrides build/bin/minipic. Needs vips, vipsthumbnail and GNU time.
set -euo pipefail
cd "$(dirname "$0")/.."
side="${1:-11000}"
bin="${MINIPIC:-build/bin/minipic}"
work="${TMPDIR:-/tmp}/orvan-bench-minipic-memory"
mkdir -p "$work"
png="$work/interlaced16-$side.png"
if [ ! -f "$png" ]; then
  # One flat 16-bit colour: a few megabytes on disk, the whole frame in memory.
  vips black "$work/black.v" "$side" "$side" --bands 3
  vips linear "$work/black.v" "$work/flat.v" 1 23130
  vips cast "$work/flat.v" "$work/flat16.v" ushort
  vips copy "$work/flat16.v" "$work/rgb16.v" --interpretation rgb16
  vips pngsave "$work/rgb16.v" "$png" --interlace
  rm -f "$work"/*.v
fi
: > "$work/requests"
for i in 0 1 2 3; do
  printf '{"id":"%d","inputPath":"%s","outputPath":"%s/t%d.jpg","maxEdge":256}\n' "$i" "$png" "$work" "$i" \
    >> "$work/requests"
done
echo "input: $png ($(stat -c %s "$png") bytes, ${side} x ${side}, 16-bit RGB, interlaced)"
echo "cores: $(nproc) (minipic runs one worker a core, at most four)"
/usr/bin/time -f '%e %M' -o "$work/minipic.time" "$bin" < "$work/requests" > "$work/answers"
/usr/bin/time -f '%e %M' -o "$work/vips.time" vipsthumbnail "$png" -s 256 -o "$work/vips-%s.jpg"
grep -c '"ok":true' "$work/answers" | xargs printf 'minipic answers ok: %s of 4\n'
read -r t m < "$work/minipic.time"
read -r vt vm < "$work/vips.time"
printf 'minipic, 4 requests   %6.2f s  peak %5d MB (target < 1536 MB)\n' "$t" $((m / 1024))
printf 'vipsthumbnail, 1 file %6.2f s  peak %5d MB\n' "$vt" $((vm / 1024))
