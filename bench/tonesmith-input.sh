# Shared by the tonesmith benchmarks (sourced from the repository root, with
# the script's arguments): $runs from the first argument (default 5), $bin the
# tonesmith to time (TONESMITH overrides build/bin/tonesmith), and $input the
# 6000 × 4000 JPEG in $work, made once by camera-photo.sh.
runs="${1:-5}"
bin="${TONESMITH:-build/bin/tonesmith}"
work="${TMPDIR:-/tmp}/orvan-bench-render"
mkdir -p "$work"
input="$(bench/camera-photo.sh "$work")"
