#!/usr/bin/env bash
# veilpass against the floor of any JPEG-to-JPEG tool, on a 12-megapixel
# photo (4000 × 3000) with six faces (real faces from Debian packages, 100 to 900 pixels,
# on an enlargement of coffee.png):
#   floor      vips copy in.jpg out.jpg[Q=94] (decode plus encode);
#   veilpass   each method, one process per run.
# Prints wall time, its ratio to the floor, peak memory, processor time
# (user and system) and its ratio (steadier than wall time on a shared
# machine), and the time the landmark model takes to load (the recognisers'
# timing tool, build/bench/vision_bench, on the same photo: its first
# landmark fit minus a later one), which is also taken off the wall-time
# ratio in its own column.
#   bench/veilpass.sh [runs]      runs: each command runs this many times,
#                                 alternating; the best time counts (default 3)
# Needs ./setup.sh to have run (build/bin/veilpass and its models, vips,
# GNU time, bc).
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-3}"
bin="${ORVAN_BIN:-build/bin}"
work="${TMPDIR:-/tmp}/orvan-bench-veilpass"
mkdir -p "$work"
input="$work/faces-12mp.jpg"

# face <photo> <left> <top> <side> <face pixels> <name>: a square around a
# face of the photo, scaled so that the face is <face pixels> wide.
face() {
  local photo="$1" left="$2" top="$3" side="$4" size="$5" name="$6"
  vips crop "$photo" "$work/crop.v" "$left" "$top" "$side" "$side"
  vips colourspace "$work/crop.v" "$work/rgb.v" srgb
  vips extract_band "$work/rgb.v" "$work/three.v" 0 --n 3
  vips resize "$work/three.v" "$work/$name.v" "$(echo "$size / ($side / 1.6)" | bc -l)" --kernel lanczos3
}

if [ ! -f "$input" ]; then
  astronaut="$(bench/sample-photo.sh astronaut.png)"
  hopper="$(bench/sample-photo.sh grace_hopper_512x512.jpg "" facedetect)"
  player="$(bench/sample-photo.sh basketball1.png "" opencv-doc)"
  coffee="$(bench/sample-photo.sh coffee.png)"
  vips resize "$coffee" "$work/big.v" 7.5 --kernel lanczos3
  vips extract_band "$work/big.v" "$work/wide.v" 0 --n 3
  vips crop "$work/wide.v" "$work/canvas0.v" 250 0 4000 3000
  face "$hopper" 97 28 344 900 f1
  face "$astronaut" 153 49 140 600 f2
  face "$hopper" 97 28 344 300 f3
  face "$astronaut" 153 49 140 200 f4
  face "$player" 59 74 66 150 f5
  face "$astronaut" 153 49 140 100 f6
  at=(100 300 1700 200 2900 200 1700 1500 2200 1500 2600 1500)
  for i in 1 2 3 4 5 6; do
    vips insert "$work/canvas$((i - 1)).v" "$work/f$i.v" "$work/canvas$i.v" "${at[$(((i - 1) * 2))]}" \
      "${at[$(((i - 1) * 2 + 1))]}"
  done
  vips copy "$work/canvas6.v" "$input[Q=92]"
  rm -f "$work"/*.v
fi

. bench/timing.sh

# measure <command...>: "seconds cpu-seconds kilobytes": the fastest wall
# time of $runs runs, the processor time (user and system) of that run, and
# the largest peak resident set of them all.
measure() {
  local best="" cpu="" mem="" line t c m
  for _ in $(seq "$runs"); do
    line=$(/usr/bin/time -f '%e %U %S %M' "$@" 2>&1 >/dev/null | tail -n 1)
    read -r t u s m <<<"$line"
    c=$(echo "$u + $s" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; cpu=$c; fi
    if [ -z "$mem" ] || [ "$m" -gt "$mem" ]; then mem=$m; fi
  done
  echo "$best $cpu $mem"
}

# The landmark model's load, once: the same in every method.
[ -x build/bench/vision_bench ] || cmake --build build --target vision_bench >/dev/null
model_load=$(build/bench/vision_bench "$input" 1 | awk '$1 == "load-landmark-model" { print $2 }')
[ -n "$model_load" ] || model_load=n/a

echo "input: $(vipsheader "$input"), $(du -h "$input" | cut -f1)"
read -r t_floor c_floor m_floor < <(measure vips copy "$input" "$work/floor.jpg[Q=94]")
printf '%-10s %8s %8s %6s %8s %8s %10s %10s\n' what seconds ratio MB cpu-s "cpu ratio" "model load" "ratio w/o"
printf '%-10s %8.2f %8s %6d %8.2f %8s %10s %10s\n' floor "$t_floor" 1.00 $((m_floor / 1024)) "$c_floor" 1.00 - -
for method in paint scratches blur; do
  read -r t c m < <(measure "$bin/veilpass" "$input" "$work/out-$method.jpg" "$method")
  load=$model_load
  ratio=$(printf '%.2f' "$(echo "$t / $t_floor" | bc -l)")
  cratio=$(printf '%.2f' "$(echo "$c / $c_floor" | bc -l)")
  without="n/a"
  [ "$load" = n/a ] || without=$(printf '%.2f' "$(echo "($t - $load) / $t_floor" | bc -l)")
  printf '%-10s %8.2f %8s %6d %8.2f %8s %10s %10s\n' "$method" "$t" "$ratio" $((m / 1024)) "$c" "$cratio" "$load" \
    "$without"
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "summary of the last run: $("$bin/veilpass" "$input" "$work/out-last.jpg" blur 2>&1 | tr -d '\n')"
