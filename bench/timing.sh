# Shared by the benchmark scripts (sourced, not run).
# best_time <command...>: the fastest of $runs runs, in seconds.
best_time() {
  local best="" t0 t1 t
  for _ in $(seq "$runs"); do
    t0=$(date +%s.%N)
    "$@" >/dev/null
    t1=$(date +%s.%N)
    t=$(echo "$t1 - $t0" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  printf '%.3f' "$best"
}
