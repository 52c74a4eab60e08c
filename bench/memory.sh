#!/usr/bin/env bash
# Peak memory of one request of each picture program on pictures whose
# header claims more than any decode should hold, and on a real camera-sized
# photo, against the 1 GB target; libvips' own tools on the same files are
# the peers.
#   bench/memory.sh
# Programs come from build/bin (BIN overrides). Files are made once in
# $TMPDIR/orvan-bench-memory:
#   interlaced16.png  15000 × 15000, 16-bit RGB, Adam7, all black (about 1.3 MB)
#   claims-30000.png  65 bytes claiming 30000 × 30000 RGB
#   header16.png      a 16-bit 20000 × 20000 header over an empty data stream
#   camera.jpg        the 6000 × 4000 photo of bench/camera-photo.sh
#   camera16.tif      the same photo as 16-bit RGB TIFF
set -euo pipefail
cd "$(dirname "$0")/.."
bin="${BIN:-build/bin}"
work="${TMPDIR:-/tmp}/orvan-bench-memory"
mkdir -p "$work"

if [ ! -f "$work/interlaced16.png" ]; then
  python3 - "$work/interlaced16.png.tmp" <<'EOF'
import struct, sys, zlib
width = height = 15000
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
compressor = zlib.compressobj(9)
parts = []
# The seven Adam7 passes: each row a filter byte and six zero bytes a pixel.
for x0, y0, dx, dy in [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]:
    w, h = (width - x0 + dx - 1) // dx, (height - y0 + dy - 1) // dy
    row = b"\0" * (1 + w * 6)
    for _ in range(h):
        parts.append(compressor.compress(row))
parts.append(compressor.flush())
data = b"".join(parts)
with open(sys.argv[1], "wb") as out:
    out.write(b"\x89PNG\r\n\x1a\n")
    out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 16, 2, 0, 0, 1)))
    for at in range(0, len(data), 1 << 20):
        out.write(chunk(b"IDAT", data[at:at + (1 << 20)]))
    out.write(chunk(b"IEND", b""))
EOF
  mv "$work/interlaced16.png.tmp" "$work/interlaced16.png"
fi
png_claim() {  # path width height depth
  python3 - "$@" <<'EOF'
import struct, sys, zlib
path, width, height, depth = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
with open(path, "wb") as out:
    out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, 2, 0, 0, 0)))
    out.write(chunk(b"IDAT", bytes([0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01])) + chunk(b"IEND", b""))
EOF
}
[ -f "$work/claims-30000.png" ] || png_claim "$work/claims-30000.png" 30000 30000 8
[ -f "$work/header16.png" ] || png_claim "$work/header16.png" 20000 20000 16
camera="$(bench/camera-photo.sh)"
[ -f "$work/camera.jpg" ] || cp "$camera" "$work/camera.jpg"
[ -f "$work/camera16.tif" ] || vips cast "$work/camera.jpg" "$work/camera16.tif" ushort --shift

# peak <command...>: "peak-MB status" of one run (stdout and stderr dropped).
peak() {
  local status=0
  /usr/bin/time -o "$work/time.txt" -f '%M' "$@" >/dev/null 2>&1 || status=$?
  printf '%s %s' "$(( $(tail -1 "$work/time.txt") / 1024 ))" "$status"
}
request() {  # input output
  printf '{"id":"m","inputPath":"%s","outputPath":"%s","maxEdge":256}\n' "$1" "$2"
}

printf '%-18s %-12s %10s %7s   %s\n' input program peak-MB status answer
for name in interlaced16.png claims-30000.png header16.png camera.jpg camera16.tif; do
  in="$work/$name"
  read -r mb st <<<"$(peak "$bin/tonesmith" "$in" "$work/out.png" 0 0 "" 0 0 0 1 1)"
  printf '%-18s %-12s %10s %7s\n' "$name" tonesmith "$mb" "$st"
  read -r mb st <<<"$(peak "$bin/webshrink" "$in" "$work/out.jpg" 2048)"
  printf '%-18s %-12s %10s %7s\n' "$name" webshrink "$mb" "$st"
  read -r mb st <<<"$(peak "$bin/sharestamp" "$in" "$work/out.jpg" T example.com "See example.com")"
  printf '%-18s %-12s %10s %7s\n' "$name" sharestamp "$mb" "$st"
  request "$in" "$work/thumb.jpg" > "$work/request.jsonl"
  read -r mb st <<<"$(peak sh -c "\"$bin/minipic\" < \"$work/request.jsonl\" > \"$work/answer.json\"")"
  printf '%-18s %-12s %10s %7s   %s\n' "$name" minipic "$mb" "$st" "$(cat "$work/answer.json")"
  read -r mb st <<<"$(peak vipsthumbnail "$in" --size 256 -o "$work/peer.jpg")"
  printf '%-18s %-12s %10s %7s   (peer)\n' "$name" vipsthumbnail "$mb" "$st"
done
echo "target: every program under 1024 MB on every input"
