#!/usr/bin/env bash
# albumgate against the sqlite3 command-line tool and cp, on one library of
# 20,000 assets in 50 albums (one album of 10,000):
#   - `albums` against one sqlite3 query that lists the albums with their image counts;
#   - `album-assets` of the large album against the query of its rows with their resources;
#   - `export-batch` of 1,000 originals against `cp` of the same 1,000 stored files.
#   bench/albumgate.sh [build-dir] [runs]     defaults: build, 5 (the best run counts)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
runs="${2:-5}"
albumgate="$build/bin/albumgate"
photolib="$build/bin/photolib"
for program in "$albumgate" "$photolib"; do
  [ -x "$program" ] || { echo "no $program: build first" >&2; exit 1; }
done
command -v sqlite3 >/dev/null || { echo "sqlite3 is needed (apt-get install sqlite3)" >&2; exit 1; }
. bench/timing.sh

work="${TMPDIR:-/tmp}/orvan-bench-albumgate"
export XDG_DATA_HOME="$work/data"
library="$XDG_DATA_HOME/Orvan Photos Library"
database="$library/Photos.sqlite"
trap 'rm -rf "${out:-$work}"/out-*' EXIT

# The library, made once: 20 small noise JPEGs shared by all assets, added
# with photolib in batches (one transaction each).
if [ ! -f "$work/ready" ]; then
  rm -rf "$work"
  mkdir -p "$work/sources"
  for i in $(seq 0 19); do
    vips gaussnoise "$work/sources/noise.v" 160 120 --mean $((60 + i * 5))
    vips jpegsave "$work/sources/noise.v" "$work/sources/s$i.jpg" --Q 80
  done
  rm -f "$work/sources/noise.v"
  add_batch() {  # add_batch <album> <count> <day>
    local files=() n
    for n in $(seq 0 $(($2 - 1))); do files+=("$work/sources/s$((n % 20)).jpg"); done
    "$photolib" add --album "$1" --date "2020-01-$3T00:00:00Z" "${files[@]}" >/dev/null
  }
  echo "making the library (20,000 assets; once)..." >&2
  for day in 10 11 12 13 14 15 16 17 18 19; do add_batch "Large album" 1000 "$day"; done
  for album in $(seq 1 49); do
    count=$((10000 / 49 + (album <= 10000 % 49 ? 1 : 0)))
    add_batch "Album $album" "$count" "$(printf '%02d' $((album % 9 + 1)))"
  done
  "$photolib" access authorized
  touch "$work/ready"
fi
large=$(sqlite3 "$database" "SELECT uuid || '/L0/040' FROM collections WHERE title = 'Large album'")

# The same work done directly on the database.
albums_query="SELECT c.uuid, c.title, (SELECT count(*) FROM memberships m JOIN assets a ON a.id = m.asset_id
  WHERE m.collection_id = c.id AND a.media_type = 1 AND a.hidden = 0) AS n FROM collections c WHERE c.type = 1
  UNION ALL SELECT c.uuid, c.title, (SELECT count(*) FROM assets a WHERE a.media_type = 1 AND a.hidden = 0
  AND (c.subtype = 209 OR a.favorite = 1)) FROM collections c WHERE c.type = 2 ORDER BY 2 COLLATE NOCASE, 1"
assets_query="SELECT a.uuid, a.pixel_width, a.pixel_height, a.creation_date, a.modification_date, a.latitude,
  a.longitude, r.type, r.original_filename, r.uniform_type_identifier FROM memberships m
  JOIN assets a ON a.id = m.asset_id LEFT JOIN resources r ON r.asset_id = a.id
  WHERE m.collection_id = (SELECT id FROM collections WHERE uuid = '${large%%/*}')
  AND a.media_type = 1 AND a.hidden = 0 ORDER BY a.creation_date, m.position, r.id"
mapfile -t originals < <(sqlite3 "$database" "SELECT r.stored_file FROM memberships m
  JOIN assets a ON a.id = m.asset_id JOIN resources r ON r.asset_id = a.id
  WHERE m.collection_id = (SELECT id FROM collections WHERE uuid = '${large%%/*}')
  AND a.media_type = 1 AND a.hidden = 0 ORDER BY a.creation_date, m.position, r.id LIMIT 1000")
# Stored files sit in a folder named after their first character.
for i in "${!originals[@]}"; do originals[$i]="$library/originals/${originals[$i]:0:1}/${originals[$i]}"; done
[ -f "${originals[0]}" ] || { echo "stored originals not found under $library/originals" >&2; exit 1; }

"$albumgate" albums >/dev/null  # warm the page cache for both sides
sqlite3 -json "$database" "$albums_query" >/dev/null

albums_ours=$(best_time "$albumgate" albums)
albums_peer=$(best_time sqlite3 -json "$database" "$albums_query")
assets_ours=$(best_time "$albumgate" album-assets "$large")
assets_peer=$(best_time sqlite3 -json "$database" "$assets_query")
# Both sides write into memory (tmpfs) when it is there: on this machine's
# ext4, creating a thousand files shortly after others were deleted costs
# inode-allocator scans that swamp the copying and fall on either side by
# chance. Every run writes into a directory of its own.
out="$work"
[ -d /dev/shm ] && [ -w /dev/shm ] && out=/dev/shm/orvan-bench-albumgate
mkdir -p "$out"
rm -rf "$out"/out-*
round=0
export_ours() { round=$((round + 1)); "$albumgate" export-batch "$large" 1 1000 "$out/out-ours-$round"; }
export_peer() {
  round=$((round + 1)); mkdir -p "$out/out-peer-$round"; cp -- "${originals[@]}" "$out/out-peer-$round/"
}
export_ours_time=; export_peer_time=
for _ in $(seq "$runs"); do  # alternate the two sides
  t=$(runs=1 best_time export_ours); round=$((round + 1))
  [ -z "$export_ours_time" ] || [ "$(echo "$t < $export_ours_time" | bc -l)" = 1 ] && export_ours_time=$t
  t=$(runs=1 best_time export_peer); round=$((round + 1))
  [ -z "$export_peer_time" ] || [ "$(echo "$t < $export_peer_time" | bc -l)" = 1 ] && export_peer_time=$t
done
[ "$(ls "$out/out-ours-1" | wc -l)" = 1000 ] || { echo "export-batch did not write 1000 files" >&2; exit 1; }

report() {  # report <name> <ours> <peer name> <peer> <target>
  printf '%-24s albumgate %.3f s, %s %.3f s, ratio %.2f (target <= %s)\n' "$1" "$2" "$3" "$4" \
    "$(echo "$2 / $4" | bc -l)" "$5"
}
report "albums (50 + 2 smart)" "$albums_ours" "sqlite3" "$albums_peer" 3.0
report "album-assets (10,000)" "$assets_ours" "sqlite3" "$assets_peer" 3.0
report "export-batch (1,000)" "$export_ours_time" "cp" "$export_peer_time" 1.5
