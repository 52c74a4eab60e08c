#!/usr/bin/env bash
# Builds if needed and runs the whole test suite through ctest.
#   ./test.sh             Release build in build/
#   ./test.sh --sanitize  Debug build with AddressSanitizer and UndefinedBehaviorSanitizer in build-sanitize/
#   ./test.sh --fuzz      clang build of the libFuzzer targets in build-fuzz/, each run briefly
#                         (FUZZ_SECONDS per target, default 20; corpora in build-fuzz/corpus/)
set -euo pipefail
cd "$(dirname "$0")"

mode=release
for arg in "$@"; do
  case "$arg" in
    --sanitize) mode=sanitize ;;
    --fuzz) mode=fuzz ;;
    *) echo "usage: ./test.sh [--sanitize | --fuzz]" >&2; exit 2 ;;
  esac
done

werror="${ORVAN_WERROR:-OFF}"
jobs="$(nproc 2>/dev/null || echo 2)"

if [ "$mode" = fuzz ]; then
  dir=build-fuzz
  CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVAN_FUZZ=ON \
    -DORVAN_WERROR="$werror"
  cmake --build "$dir" -j "$jobs"
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
  export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
  status=0
  for target in "$PWD/$dir"/fuzz/*; do
    [ -f "$target" ] && [ -x "$target" ] || continue
    name="$(basename "$target")"
    # Absolute paths: a target may change its working directory.
    corpus="$PWD/$dir/corpus/$name"
    mkdir -p "$corpus"
    seeds=()
    [ -d "fuzz/seeds/$name" ] && seeds=("$PWD/fuzz/seeds/$name")
    echo "== $name (${FUZZ_SECONDS:-20} s)"
    "$target" -max_total_time="${FUZZ_SECONDS:-20}" -print_final_stats=1 "$corpus" "${seeds[@]}" || status=1
  done
  exit "$status"
fi

if [ "$mode" = sanitize ]; then
  dir=build-sanitize
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVAN_SANITIZE=ON -DORVAN_WERROR="$werror"
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
  export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  # The recognisers' models are installed by setup.sh into the main build tree.
  if [ ! -f "$dir/share/orvan/models/face_detection_back_256x256_barracuda.onnx" ] && [ -z "${ORVAN_MODEL_DIR:-}" ]; then
    export ORVAN_MODEL_DIR="$PWD/build/share/orvan/models"
  fi
else
  dir=build
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVAN_WERROR="$werror"
  fi
fi

cmake --build "$dir" -j "$jobs"
cd "$dir"
# Tests labelled "long" (load and stress runs) are left to a manual
# `ctest -L long`.
ctest --output-on-failure -j "$jobs" --timeout 600 -LE long
