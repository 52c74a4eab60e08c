#!/usr/bin/env bash
# treeclerk against coreutils: process start-up (1000 sequential "stat"
# requests against 1000 runs of `stat -c %s` on the same file) and
# "copy-hash" of a 1 GiB file against `cp` followed by `sha256sum` of the copy.
#   bench/treeclerk.sh [build-dir]     default: build
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
treeclerk="$build/bin/treeclerk"
[ -x "$treeclerk" ] || { echo "no $treeclerk: build first" >&2; exit 1; }
work="${TMPDIR:-/tmp}/orvan-bench-treeclerk"
mkdir -p "$work"
trap 'rm -f "$work"/copy-* "$work"/copy-*.partial' EXIT

now() { date +%s.%N; }
elapsed() { echo "$(now) - $1" | bc; }

file="$work/small"
echo "some bytes" > "$file"
request="{\"op\":\"stat\",\"path\":\"$file\"}"

# Warm both programs, then alternate the measured loops.
for _ in 1 2 3; do "$treeclerk" "$request" >/dev/null; stat -c %s "$file" >/dev/null; done
best_ours=; best_peer=
for round in 1 2 3; do
  start=$(now)
  for _ in $(seq 1000); do "$treeclerk" "$request" >/dev/null; done
  ours=$(elapsed "$start")
  start=$(now)
  for _ in $(seq 1000); do stat -c %s "$file" >/dev/null; done
  peer=$(elapsed "$start")
  [ -z "$best_ours" ] || [ "$(echo "$ours < $best_ours" | bc)" = 1 ] && best_ours=$ours
  [ -z "$best_peer" ] || [ "$(echo "$peer < $best_peer" | bc)" = 1 ] && best_peer=$peer
done
printf 'start-up: 1000 x treeclerk stat %.3f s, 1000 x stat -c %%s %.3f s, ratio %.2f (target <= 1.20)\n' \
  "$best_ours" "$best_peer" "$(echo "$best_ours / $best_peer" | bc -l)"

big="$work/big"
if [ ! -f "$big" ] || [ "$(stat -c %s "$big")" != 1073741824 ]; then
  head -c 1073741824 /dev/urandom > "$big"
fi
cat "$big" > /dev/null  # in the page cache for both
best_ours=; best_peer=
for round in 1 2; do
  rm -f "$work"/copy-*
  start=$(now)
  "$treeclerk" "{\"op\":\"copy-hash\",\"path\":\"$big\",\"to\":\"$work/copy-ours\"}" >/dev/null
  ours=$(elapsed "$start")
  start=$(now)
  cp "$big" "$work/copy-peer" && sha256sum "$work/copy-peer" >/dev/null
  peer=$(elapsed "$start")
  [ -z "$best_ours" ] || [ "$(echo "$ours < $best_ours" | bc)" = 1 ] && best_ours=$ours
  [ -z "$best_peer" ] || [ "$(echo "$peer < $best_peer" | bc)" = 1 ] && best_peer=$peer
done
printf 'copy-hash 1 GiB: treeclerk %.3f s, cp + sha256sum %.3f s, ratio %.2f (target <= 1.00)\n' \
  "$best_ours" "$best_peer" "$(echo "$best_ours / $best_peer" | bc -l)"
