#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the programs need,
# builds all programs into build/bin/ and renders a demo photo into out/demo.jpg.
set -euo pipefail
cd "$(dirname "$0")"

# The one list of Debian packages this project needs.
PACKAGES=(
  # build
  build-essential cmake ninja-build pkg-config
  # libraries of the platform layer and the programs
  libvips-dev libjpeg62-turbo-dev nlohmann-json3-dev libglib2.0-dev libblkid-dev libssl-dev
  libexiv2-dev libexpat1-dev liblcms2-dev libcairo2-dev libpango1.0-dev
  libsqlite3-dev libicu-dev libsecret-1-dev
  # the recognisers: OpenCV (DNN, HOG, cascades), dlib (HOG faces, 68-point landmarks)
  libopencv-dev opencv-data libdlib-dev libdlib-data
  # the Secret Service the broker's tests run against, inside a private D-Bus session
  gnome-keyring dbus
  # the sans-serif font the social images are drawn with
  fonts-dejavu-core
  # image formats used by the tests (HEIC encoder plugins come with libheif1)
  libheif-examples
  # colour profiles the colour-management tests tag pictures with: Adobe RGB (1998) and
  # ProPhoto RGB from /usr/share/color/icc/colord (Display P3 is libvips's own "p3")
  colord-data
  # tests and sanitizer / fuzz builds
  libgtest-dev libgmock-dev clang libclang-rt-14-dev
  # command-line tools for the demo, the tests and the benchmarks' peers
  libvips-tools imagemagick time bc exiv2 libimage-exiftool-perl
  sqlite3 libsecret-tools
  # compiler cache for repeated builds
  ccache
)

if [ "$(id -u)" = 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${PACKAGES[@]}"
else
  echo "setup.sh: not root, skipping package installation" >&2
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVAN_WERROR="${ORVAN_WERROR:-OFF}"
cmake --build build

# Demo: a real photograph from Debian's python3-skimage package (or, when it
# cannot be fetched, a synthetic one), rendered with a brightness change, a
# quarter turn plus 2.5° straightening, a crop and soft edges.
mkdir -p out
source_photo="$(bench/sample-photo.sh coffee.png "$PWD/build/sample-photos" 2>/dev/null || true)"
if [ -z "$source_photo" ]; then
  source_photo=out/demo-source.png
  convert -size 1200x800 -seed 7 plasma:fractal -blur 0x2 "$source_photo"
fi
build/bin/tonesmith "$source_photo" out/demo.jpg 0.1 0 "" 92.5 0.05 0.05 0.9 0.9 --edge-softness 0.3
