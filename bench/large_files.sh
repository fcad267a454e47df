#!/usr/bin/env bash
# Large files, side by side (what `make bench-large` runs; not part of CI):
#
#   1. checksum creation and patch creation of one 5 GiB sparse file against
#      five sparse files of 1 GiB (goal: at most 1.2x the time of the five);
#   2. patch application of patches of 1 to 10000 records, to a 1 GiB and to
#      a 5 GiB file (goal: time in proportion to the patch, not the file);
#   3. peak memory of every run above and of runs at extreme block sizes and
#      container sizes (goal: at most 8 MiB each).
#
# Environment knobs: RUNS (timed runs per command, median; default 3),
# KEEP=1 keeps the scratch folder. Sparse files cost no disk; the figures
# measure the tool's own work on cached or zero pages, not the disk.
set -euo pipefail
export LC_ALL=C

RUNS=${RUNS:-3}
KEEP=${KEEP:-0}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
note() { printf '== %s\n' "$*" >&2; }
die() { printf 'bench-large: %s\n' "$*" >&2; exit 1; }
if ! { [[ -x /usr/bin/time ]] && /usr/bin/time --version 2>&1 | grep -q GNU; }; then
  die "GNU time is needed at /usr/bin/time (Debian package time)"
fi

note "building build-bench (Release)"
{ cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DREMPAR_TESTS=OFF &&
  cmake --build "$root/build-bench" -j 2 --target rempar; } >/dev/null || die "build failed"
rempar="$root/build-bench/rempar"

work=$(mktemp -d /tmp/rempar-bench-large.XXXXXX)
cleanup() { cd /; if [[ $KEEP == 1 ]]; then note "kept $work"; else rm -rf "$work"; fi; }
trap cleanup EXIT
cd "$work"

GIB=$((1 << 30))
source "$root/bench/sparse_timing.sh"
ROWS=()
row() {  # row LABEL COMMAND...
  local label=$1
  shift
  measure "$@"
  ROWS+=("$(printf '| %-52s | %8.3f | %6.1f |' "$label" "$MEDIAN" "$(echo "$PEAK / 1024" | bc -l)")")
  LAST=$MEDIAN
  ((PEAK > WORST_RSS)) && WORST_RSS=$PEAK && WORST_RUN=$label
  return 0
}
WORST_RSS=0 WORST_RUN=

note "making sparse files: one of 5 GiB, five of 1 GiB, and damaged copies"
sparse big $((5 * GIB)) 100 good
sparse big.bad $((5 * GIB)) 100 bad
for i in 1 2 3 4 5; do
  sparse part$i $GIB 20 good
  sparse part$i.bad $GIB 20 bad
done

note "checksum creation and patch creation: 5 GiB against 5 x 1 GiB"
sum_parts() {  # sum_parts cdt|cdp: the operation over the five parts, medians summed
  local total=0 peak=0 i
  for i in 1 2 3 4 5; do
    if [[ $1 == cdt ]]; then measure "$rempar" "part$i.bad"
    else measure "$rempar" -p -i "part$i.bad.cdt" "part$i"; fi
    total=$(echo "$total + $MEDIAN" | bc -l)
    ((PEAK > peak)) && peak=$PEAK
  done
  ROWS+=("$(printf '| %-52s | %8.3f | %6.1f |' "$LABEL" "$total" "$(echo "$peak / 1024" | bc -l)")")
  LAST=$total
  ((peak > WORST_RSS)) && WORST_RSS=$peak && WORST_RUN=$LABEL
  return 0
}

row "checksum: rempar big.bad (5 GiB)" "$rempar" big.bad
big_cdt=$LAST
LABEL="checksum: rempar part1..5.bad (5 x 1 GiB), summed"
sum_parts cdt
parts_cdt=$LAST
row "patch: rempar -p -i big.bad.cdt big (5 GiB)" "$rempar" -p -i big.bad.cdt big
big_cdp=$LAST
LABEL="patch: rempar -p ... part1..5 (5 x 1 GiB), summed"
sum_parts cdp
parts_cdp=$LAST

note "patch application: patches of 1 to 10000 records, to 1 GiB and 5 GiB"
# Applying a patch again leaves the file as the first application did, doing
# the same work: every run reads the whole patch and writes every record.
apply_rows() {  # apply_rows SIZE_NAME SIZE N
  local name=$1 size=$2 n=$3 bytes
  sparse "g$n" "$size" "$n" good
  sparse "d$n" "$size" "$n" bad
  "$rempar" "d$n" >/dev/null
  "$rempar" -p -i "d$n.cdt" "g$n" >/dev/null
  bytes=$(stat -c %s "d$n.cdp")
  row "apply: $n records ($((bytes / 1024)) KiB) to $name" "$rempar" -a -i "d$n.cdp" "d$n"
  rm -f "g$n" "d$n" "d$n.cdt" "d$n.cdp"
}
for n in 1 100 1000 10000; do apply_rows "5 GiB" $((5 * GIB)) $n; done
apply_rows "1 GiB" $GIB 100

note "peak memory at extreme block sizes and container sizes"
row "checksum: -b 512 on 5 GiB (40 MiB checksum file)" "$rempar" -b 512 -o tiny.cdt big.bad
row "patch: from the 40 MiB checksum file" "$rempar" -p -i tiny.cdt -o tiny.cdp big
sparse one $GIB 1 good
sparse one.bad $GIB 1 bad
row "checksum: -b 268435456 on 1 GiB (256 MiB blocks)" "$rempar" -b 268435456 one.bad
row "patch: one 256 MiB record" "$rempar" -p -i one.bad.cdt one
row "apply: the 256 MiB patch" "$rempar" -a -i one.bad.cdp one.bad

echo
echo "rempar bench-large: sparse files; medians of $RUNS runs; $(nproc) cores; load $(cut -d ' ' -f 1 /proc/loadavg)"
echo
echo "| run                                                  | median s | peak MiB |"
echo "|------------------------------------------------------|---------:|---------:|"
printf '%s\n' "${ROWS[@]}"
echo
ratio() { echo "$1 / $2" | bc -l; }
printf 'goal: checksum creation of 5 GiB <= 1.2 x five of 1 GiB: %.2fx\n' "$(ratio "$big_cdt" "$parts_cdt")"
printf 'goal: patch creation of 5 GiB <= 1.2 x five of 1 GiB:    %.2fx\n' "$(ratio "$big_cdp" "$parts_cdp")"
printf 'goal: peak memory <= 8 MiB: worst %.1f MiB (%s)\n' "$(echo "$WORST_RSS / 1024" | bc -l)" "$WORST_RUN"
