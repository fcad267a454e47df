#!/usr/bin/env bash
# Patch application before and after the repair proves itself (read-back from
# the medium, and the check against the checksum file beside the patch), on a
# 5 GiB sparse target with patches of 100 and 1000 records (not part of CI):
#
#   bash bench/proven_repair.sh
#
# Goals: each "after" run within 3x of the "before" run of the same patch,
# and at most 8 MiB peak memory. "after, unbound" is the same run with the
# checksum file moved away: the read-back alone.
#
# Environment knobs: RUNS (timed runs per command, median; default 3),
# BEFORE_REF (the commit to time as "before"; default the one this work
# started from), KEEP=1 keeps the scratch folder. Every run applies the
# patch again to the already repaired copy, which does the same work: it
# reads the whole patch, checks the same blocks and writes every record.
set -euo pipefail
export LC_ALL=C

RUNS=${RUNS:-3}
KEEP=${KEEP:-0}
BEFORE_REF=${BEFORE_REF:-9895933}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
note() { printf '== %s\n' "$*" >&2; }
die() { printf 'proven_repair bench: %s\n' "$*" >&2; exit 1; }
if ! { [[ -x /usr/bin/time ]] && /usr/bin/time --version 2>&1 | grep -q GNU; }; then
  die "GNU time is needed at /usr/bin/time (Debian package time)"
fi

work=$(mktemp -d /tmp/rempar-bench-proven.XXXXXX)
cleanup() { cd /; if [[ $KEEP == 1 ]]; then note "kept $work"; else rm -rf "$work"; fi; }
trap cleanup EXIT

build() {  # build SOURCE_DIR BUILD_DIR
  { cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DREMPAR_TESTS=OFF &&
    cmake --build "$2" -j 2 --target rempar; } >/dev/null || die "build of $1 failed"
}
note "building the tool as it is (build-bench) and as of $BEFORE_REF"
build "$root" "$root/build-bench"
after="$root/build-bench/rempar"
mkdir "$work/before-src"
git -C "$root" archive "$BEFORE_REF" | tar -x -C "$work/before-src"
build "$work/before-src" "$work/before-build"
before="$work/before-build/rempar"
cd "$work"

GIB=$((1 << 30))
source "$root/bench/sparse_timing.sh"
ROWS=() GOALS=() WORST_RSS=0
row() {  # row LABEL COMMAND...
  local label=$1
  shift
  measure "$@"
  ROWS+=("$(printf '| %-40s | %8.3f | %6.1f |' "$label" "$MEDIAN" "$(echo "$PEAK / 1024" | bc -l)")")
  ((PEAK > WORST_RSS)) && WORST_RSS=$PEAK
  return 0
}

for n in 100 1000; do
  note "$n records into 5 GiB"
  sparse "g$n" $((5 * GIB)) "$n" good
  sparse "d$n" $((5 * GIB)) "$n" bad
  "$after" "d$n" >/dev/null
  "$after" -p -i "d$n.cdt" "g$n" >/dev/null
  bytes=$(stat -c %s "d$n.cdp")
  label="$n records ($((bytes / 1024)) KiB)"
  row "before: $label" "$before" -a -i "d$n.cdp" "d$n"
  t_before=$MEDIAN
  row "after: $label" "$after" -a -i "d$n.cdp" "d$n"
  t_after=$MEDIAN
  grep -qx 'Completed, file patched' out || die "the bound apply did not complete"
  mv "d$n.cdt" "d$n.cdt.away"
  row "after, unbound: $label" "$after" -a -i "d$n.cdp" "d$n"
  GOALS+=("$(printf 'goal: %s records within 3x of before: %.2fx' "$n" \
    "$(echo "$t_after / $t_before" | bc -l)")")
  rm -f "g$n" "d$n" "d$n.cdt.away" "d$n.cdp"
done

echo
echo "rempar proven-repair bench: 5 GiB sparse target; medians of $RUNS runs; $(nproc) cores; load $(cut -d ' ' -f 1 /proc/loadavg)"
echo
echo "| run                                      | median s | peak MiB |"
echo "|------------------------------------------|---------:|---------:|"
printf '%s\n' "${ROWS[@]}"
echo
printf '%s\n' "${GOALS[@]}"
printf 'goal: peak memory <= 8 MiB: worst %.1f MiB\n' "$(echo "$WORST_RSS / 1024" | bc -l)"
