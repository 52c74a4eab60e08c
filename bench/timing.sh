# Shared by the benchmark scripts (sourced, not run).
# time_once <command...>: the wall time of one run, in seconds.
time_once() {
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null
  t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc -l
}

# best_time <command...>: the fastest of $runs runs, in seconds.
best_time() {
  local best="" t
  for _ in $(seq "$runs"); do
    t=$(time_once "$@")
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  printf '%.3f' "$best"
}

# median <numbers...>: the middle value (the lower middle of an even count).
median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", v[int((NR + 1) / 2)] }'
}
