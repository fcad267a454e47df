# Shared by the large-file benchmarks (sourced, not run): sparse files with
# marks, and median timing with peak memory. The sourcing script defines
# RUNS and die().
# shellcheck shell=bash disable=SC2034  # MEDIAN and PEAK are read by the sourcing script

# A sparse file of SIZE bytes with COUNT marks spread over it.
sparse() {  # sparse NAME SIZE COUNT MARK
  local name=$1 size=$2 count=$3 mark=$4 i
  rm -f "$name"
  truncate -s "$size" "$name"
  for ((i = 0; i < count; i++)); do
    printf '%s' "$mark" | dd of="$name" bs=1 seek=$(((size / count) * i + 4097 * i % 16384)) \
      conv=notrunc status=none
  done
}

# Runs a command RUNS times; sets MEDIAN (seconds) and PEAK (KiB, the largest
# resident set of any run).
measure() {
  local times=() t0 t1 i rss
  PEAK=0
  for ((i = 0; i < RUNS; i++)); do
    t0=$EPOCHREALTIME
    /usr/bin/time -f '%M' -o rss "$@" >out 2>&1 || { cat out >&2; die "failed: $*"; }
    t1=$EPOCHREALTIME
    times+=("$(echo "$t1 - $t0" | bc -l)")
    rss=$(tail -n 1 rss)
    ((rss > PEAK)) && PEAK=$rss
  done
  MEDIAN=$(printf '%s\n' "${times[@]}" | sort -g | sed -n "$(((RUNS + 1) / 2))p")
}
