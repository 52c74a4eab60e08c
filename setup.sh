#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the programs need,
# builds all programs into build/bin/ and renders a demo photo into out/demo.jpg.
set -euo pipefail
cd "$(dirname "$0")"

# The one list of Debian packages this project needs.
PACKAGES=(
  # build
  build-essential cmake ninja-build pkg-config
  # libraries
  libvips-dev nlohmann-json3-dev
  # image formats used by the tests (HEIC encoder plugins come with libheif1)
  libheif-examples
  # tests and sanitizer / fuzz builds
  libgtest-dev libgmock-dev clang libclang-rt-14-dev
  # command-line tools for the demo, the tests and the benchmarks
  libvips-tools imagemagick time
)

if [ "$(id -u)" = 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${PACKAGES[@]}"
else
  echo "setup.sh: not root, skipping package installation" >&2
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVAN_WERROR="${ORVAN_WERROR:-OFF}"
cmake --build build

# Demo: a synthetic photo, rendered with an adjustment, a straightening rotation and a crop.
mkdir -p out
vips xyz out/demo-xyz.v 1200 800
vips bandjoin "out/demo-xyz.v out/demo-xyz.v" out/demo-xy2.v
vips linear out/demo-xy2.v out/demo-src.v "0.2 0.3 0.25" "10 40 90" --uchar 2>/dev/null || true
