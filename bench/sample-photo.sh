#!/usr/bin/env bash
# Prints the path of a real photograph from a Debian package, fetching and
# unpacking the package into a cache directory on first use. Without a
# package named, the photo comes from python3-skimage (coffee.png by default)
# or facedetect's examples.
# Usage: bench/sample-photo.sh [name.png] [cache-dir] [package]
set -euo pipefail
name="${1:-coffee.png}"
cache="${2:-${TMPDIR:-/tmp}/orvan-sample-photos}"
packages="${3:-python3-skimage facedetect}"
found="$(find "$cache" -name "$name" -print -quit 2>/dev/null || true)"
if [ -z "$found" ]; then
  # Tests running side by side fetch one at a time; the second finds the
  # first one's files.
  mkdir -p "$cache"
  exec 9>"$cache/.fetching"
  flock 9
  found="$(find "$cache" -name "$name" -print -quit 2>/dev/null || true)"
fi
# Portraits with faces also come from Debian's facedetect package, of which
# only the example photos are unpacked (grace_hopper_512x512.jpg).
for package in $packages; do
  [ -z "$found" ] || break
  mkdir -p "$cache/unpacked"
  if ! ls "$cache/${package}"_*.deb >/dev/null 2>&1; then
    (cd "$cache" && apt-get download "$package" >/dev/null 2>&1) || true
  fi
  for deb in "$cache/${package}"_*.deb; do
    [ -f "$deb" ] || continue
    if [ "$package" = facedetect ]; then
      dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$cache/unpacked" --wildcards './usr/share/doc/facedetect/examples/*'
    else
      dpkg -x "$deb" "$cache/unpacked"
    fi
  done
  found="$(find "$cache" -name "$name" -print -quit)"
done
[ -n "$found" ] || { echo "sample-photo.sh: $name not found" >&2; exit 1; }
echo "$found"
