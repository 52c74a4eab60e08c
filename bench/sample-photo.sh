#!/usr/bin/env bash
# Prints the path of a real photograph from a Debian package (coffee.png of
# python3-skimage by default), fetching the package into a cache directory on
# first use. python3-skimage is unpacked whole; from any other package only
# the files of that name are taken out.
# Usage: bench/sample-photo.sh [name.png] [cache-dir] [package]
set -euo pipefail
name="${1:-coffee.png}"
cache="${2:-${TMPDIR:-/tmp}/orvan-sample-photos}"
package="${3:-python3-skimage}"
where="$cache"
[ "$package" = python3-skimage ] || where="$cache/$package"
found="$(find "$where" -name "$name" -print -quit 2>/dev/null || true)"
if [ -z "$found" ]; then
  mkdir -p "$where"
  if [ "$package" = python3-skimage ]; then
    (cd "$cache" && apt-get download python3-skimage >/dev/null 2>&1 && dpkg -x python3-skimage_*.deb unpacked)
  else
    (cd "$where" && { compgen -G "${package}_*.deb" >/dev/null || apt-get download "$package" >/dev/null 2>&1; } &&
      dpkg-deb --fsys-tarfile "$(compgen -G "${package}_*.deb" | head -n 1)" | tar -x --wildcards "*/$name")
  fi
  found="$(find "$where" -name "$name" -print -quit)"
fi
[ -n "$found" ] || { echo "sample-photo.sh: $name not found" >&2; exit 1; }
echo "$found"
