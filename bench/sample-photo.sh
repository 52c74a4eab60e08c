#!/usr/bin/env bash
# Prints the path of a real photograph from a Debian package (coffee.png from
# python3-skimage by default), fetching and unpacking the package into a cache
# directory on first use.
# Usage: bench/sample-photo.sh [name.png] [cache-dir] [package]
set -euo pipefail
name="${1:-coffee.png}"
cache="${2:-${TMPDIR:-/tmp}/orvan-sample-photos}"
package="${3:-python3-skimage}"
found="$(find "$cache" -name "$name" -print -quit 2>/dev/null || true)"
if [ -z "$found" ]; then
  mkdir -p "$cache"
  (cd "$cache" && apt-get download "$package" >/dev/null 2>&1 && dpkg -x "$package"_*.deb unpacked)
  found="$(find "$cache" -name "$name" -print -quit)"
fi
[ -n "$found" ] || { echo "sample-photo.sh: $name not found" >&2; exit 1; }
echo "$found"
