#!/usr/bin/env bash
# End-to-end benchmark of rempar on page-cached data, against the floors
# (cat of the same inputs), the plain byte-at-a-time build, rdiff and rsync,
# with both ways the tool can walk a file: its default (mapped where that
# pays) and the read() walk (REMPAR_WALK=read).
#
#   bash bench/run.sh            (what `make bench` runs)
#
# Environment knobs:
#   SIZE_MIB    size of the generated file in MiB   (default 1024)
#   RUNS        timed runs per command; medians      (default 5)
#   KEEP        1 = keep the temp dir on exit        (default 0)
#   CMAKE_ARGS  more options for every cmake configure (e.g. a compiler launcher)
#
# Builds build-bench (Release, the best kernel this CPU has), build-avx2
# (Release, REMPAR_MAX_KERNEL=avx2: the common x86-64 machine kind, AVX2 and
# VPCLMULQDQ without AVX-512) and build-plain (Release, REMPAR_PLAIN_CRC=ON),
# generates a pseudo-random file and a copy damaged in 100 single bytes.
#
# Page-cache states (how a file lies in the cache decides what a mapping
# gains):
#   L  evicted, then read once: as read back from disk, mostly large folios;
#      set again for the inputs before each group of commands
#   C  a fresh `cp` of the file (mid-sized folios)
#   S  a copy written through a pipe (small folios)
#
# The commands compared with each other run as a group: one untimed warm-up
# of each (the run measured for peak RSS under GNU time), then RUNS rounds of
# one timed run of each (A B A B ...), so that their ratios do not drift with
# the load. Wall-clock times come from bash's EPOCHREALTIME around the bare
# command. The goal lines are informational: the script exits 0 unless a
# command fails, the repaired file differs from the good one, or two
# commands that must write the same checksum or patch file (the two walks,
# the builds) write different ones (exit 1).
# shellcheck disable=SC2059  # printf formats kept in variables on purpose
set -euo pipefail
export LC_ALL=C

SIZE_MIB=${SIZE_MIB:-1024}
RUNS=${RUNS:-5}
KEEP=${KEEP:-0}
BENCH_NAME=bench
BLOCK=16384    # rempar's default block size
DAMAGES=100    # damaged bytes, one per region of SIZE/100 bytes

# shellcheck source=bench/timing.sh
source "$(dirname "${BASH_SOURCE[0]}")/timing.sh"
[[ $SIZE_MIB =~ ^[1-9][0-9]*$ ]] || die "SIZE_MIB must be a positive integer (got '$SIZE_MIB')"

bench_start=${EPOCHREALTIME:-$(date +%s.%N)}
load_start=$(load_average)  # other work on the machine skews the figures

# ---------------------------------------------------------------- tools
have_rdiff=0 have_rsync=0
if command -v rdiff >/dev/null 2>&1; then have_rdiff=1
else note "rdiff not found (Debian package rdiff): skipping the rdiff rows"; fi
if command -v rsync >/dev/null 2>&1; then have_rsync=1
else note "rsync not found (Debian package rsync): skipping the rsync row"; fi

make_workdir rempar-bench
# good, damaged, the C and S copies, rdiff's output
need_mib=$((SIZE_MIB * (have_rdiff ? 5 : 4) + 64))
need_disk "$need_mib"
avail_mib=$(awk '/^MemAvailable:/ { print int($2 / 1024) }' /proc/meminfo)
((avail_mib >= need_mib)) ||
  note "warning: only $avail_mib MiB of memory available; the data ($need_mib MiB) may not stay page-cached"

# --------------------------------------------------------------- builds
build build-bench -DREMPAR_PLAIN_CRC=OFF -DREMPAR_MAX_KERNEL=
build build-avx2 -DREMPAR_PLAIN_CRC=OFF -DREMPAR_MAX_KERNEL=avx2
build build-plain -DREMPAR_PLAIN_CRC=ON -DREMPAR_MAX_KERNEL=

# The kernels alone, when Google Benchmark (libbenchmark-dev) is installed.
# Each build says which kernel it runs; then every kernel of this CPU.
note "checksum kernels (bench/crc_bench.cc)"
if { for dir in build-bench build-avx2; do
       cmake -S "$bench_root" -B "$bench_root/$dir" -DREMPAR_BENCH=ON &&
         cmake --build "$bench_root/$dir" -j 2 --target crc_bench || exit 1
     done; } >"$work/build-crc.log" 2>&1; then
  echo "== build-bench (the tool as built for this CPU):"
  "$bench_root/build-bench/crc_bench" --kernels
  echo "== build-avx2 (REMPAR_MAX_KERNEL=avx2, standing in for a CPU without AVX-512):"
  "$bench_root/build-avx2/crc_bench" --kernels
  "$bench_root/build-bench/crc_bench" --benchmark_min_time=0.2 2>/dev/null | sed -n '/^GB\/s per block/,$p'
else
  note "skipped: the kernel benchmark needs libbenchmark-dev"
fi
fast="$bench_root/build-bench/rempar"
avx2="$bench_root/build-avx2/rempar"
plain="$bench_root/build-plain/rempar"

# ----------------------------------------------------------------- data
cd "$work"
bytes=$((SIZE_MIB << 20))
generate good "$bytes"
# An old mtime, so rsync's quick check never mistakes the copy for up to date.
touch -d '2001-01-01 00:00:00' good
cp good damaged

# One byte per region of bytes/100, at a scattered place inside the region,
# replaced by its complement; the list (offset, hex byte) is replayed to
# restore the damage before every run that repairs the copy.
awk -v size="$bytes" -v n="$DAMAGES" 'BEGIN {
  step = int(size / n)
  for (i = 0; i < n; i++) print i * step + (i * 7919 * 104729 + 12345) % step
}' | while read -r off; do
  b=$(od -An -tu1 -j "$off" -N1 good)
  printf '%s %02x\n' "$off" $((255 - b))
done >damage.list
redamage() {
  local off hex
  while read -r off hex; do
    printf "\\x$hex" | dd of=damaged bs=1 seek="$off" conv=notrunc status=none
  done <"$work/damage.list"
}
redamage
! cmp -s good damaged || die "damaging the copy failed"
damaged_blocks=$(awk -v bs="$BLOCK" '{ seen[int($1 / bs)] = 1 } END { print length(seen) }' damage.list)

# ------------------------------------------------------------ measuring
# In each group: the floor, then each build with its default walk and with
# the read() walk (bench_walks); each writes a file of its own, compared
# afterwards.
# checksum creation, state L
cache_state_L damaged
OUTPUTS=()
bench_add cat1 : default cat damaged
bench_walks ck cdt damaged :
bench_add ck_plain 'rm -f plain.cdt' default "$plain" -o plain.cdt damaged
((have_rdiff)) && bench_add ck_rdiff 'rm -f sig' default rdiff signature damaged sig
bench_group "checksum creation (state L)"
same_files "checksum files" ck.cdt "${OUTPUTS[@]}" plain.cdt
cp ck.cdt damaged.cdt

# patch creation, state L
cache_state_L good damaged.cdt
OUTPUTS=()
bench_add cat2 : default cat damaged.cdt good
bench_walks pt cdp good : -p -i damaged.cdt
bench_add pt_plain 'rm -f plain.cdp' default "$plain" -p -i damaged.cdt -o plain.cdp good
((have_rdiff)) && bench_add pt_rdiff 'rm -f delta' default rdiff delta sig good delta
bench_group "patch creation (state L)"
same_files "patch files" pt.cdp "${OUTPUTS[@]}" plain.cdp
cp pt.cdp damaged.cdp

# patch application (the copy is damaged again before every run)
cache_state_L damaged damaged.cdp
bench_add ap_avx2 redamage default "$avx2" -a -i damaged.cdp damaged
bench_add ap redamage default "$fast" -a -i damaged.cdp damaged
((have_rdiff)) && bench_add ap_rdiff 'rm -f out' default rdiff patch damaged delta out
bench_group "patch application (state L)"
cmp -s damaged good || die "FAILED: the repaired file differs from the good one"
note "repaired file equals the good one"
if ((have_rdiff)); then
  cmp -s out good || note "warning: rdiff's patched file differs from the good one"
  rm -f out
fi

# the whole cycle in one command
if ((have_rsync)); then
  cache_state_L good damaged
  bench_add rsync redamage default rsync --inplace --no-whole-file good damaged
  bench_group "rsync (state L)"
  cmp -s damaged good || note "warning: rsync's repaired file differs from the good one"
fi

# checksum creation on copies made in other ways: state C, then state S.
# The files are flushed so that no writeback runs during the timing.
cp good c_file
sync
cache_report "state C" c_file
OUTPUTS=()
bench_add catC : default cat c_file
bench_walks ckC cdt c_file :
bench_group "checksum creation (state C)"
same_files "checksum files" ckC.cdt "${OUTPUTS[@]}"
rm -f c_file

# shellcheck disable=SC2002  # written through a pipe on purpose: small folios
cat good | cat >s_file
sync
cache_report "state S" s_file
OUTPUTS=()
bench_add catS : default cat s_file
bench_walks ckS cdt s_file :
bench_group "checksum creation (state S)"
same_files "checksum files" ckS.cdt "${OUTPUTS[@]}"
same_files "checksum files of equal data" ckC.cdt ckS.cdt
rm -f s_file

# --------------------------------------------------------------- report
for build in '' _avx2; do
  MED[cycle$build]=$(awk -v a="${MED[ck$build]}" -v b="${MED[pt$build]}" -v c="${MED[ap$build]}" \
    'BEGIN { printf "%.6f", a + b + c }')
  CPU[cycle$build]=$(awk -v a="${CPU[ck$build]}" -v b="${CPU[pt$build]}" -v c="${CPU[ap$build]}" \
    'BEGIN { printf "%.6f", a + b + c }')
  if ((have_gtime)); then
    RSS[cycle$build]=$(printf '%s\n' "${RSS[ck$build]}" "${RSS[pt$build]}" "${RSS[ap$build]}" |
      sort -n | tail -n 1)
  fi
done
load_end=$(load_average)

fmt_row='| %-5s | %-8s | %-60s | %8s | %8s | %7s | %11s | %8s |\n'
row() {  # row STATE STEP KEY COMMAND FLOOR_KEY OURS_KEY: x floor = KEY/FLOOR, ours faster = KEY/OURS
  local state=$1 step=$2 key=$3 text=$4 floor=$5 ours=$6 sec cpu=- xf=- of=- peak=-
  if [[ -z ${MED[$key]:-} ]]; then
    printf "$fmt_row" "$state" "$step" "$text" skipped - - - -
    return
  fi
  sec=$(awk -v t="${MED[$key]}" 'BEGIN { printf "%.4f", t }')
  [[ -n ${CPU[$key]:-} ]] && cpu=$(awk -v t="${CPU[$key]}" 'BEGIN { printf "%.3f", t }')
  [[ -n $floor ]] && xf="$(ratio "${MED[$key]}" "${MED[$floor]}")x"
  [[ -n $ours ]] && of=$(awk -v t="${MED[$key]}" -v o="${MED[$ours]}" 'BEGIN { printf "%.1fx", t / o }')
  [[ -n ${RSS[$key]:-} ]] && peak=$(mib "${RSS[$key]}")
  printf "$fmt_row" "$state" "$step" "$text" "$sec" "$cpu" "$xf" "$of" "$peak"
}
walk_rows() {  # walk_rows STATE STEP STEM COMMAND FLOOR_KEY: the four rempar rows of a group
  local build walk text
  for build in '' _avx2; do
    for walk in '' _read; do
      text=$4
      [[ -n $build ]] && text+="  [avx2 build]"
      [[ -n $walk ]] && text="REMPAR_WALK=read $text"
      row "$1" "$2" "$3$build$walk" "$text" "$5" ''
    done
  done
}

cdt_kib=$(awk -v s="$(stat -c %s damaged.cdt)" 'BEGIN { printf "%.1f", s / 1024 }')
cdp_kib=$(awk -v s="$(stat -c %s damaged.cdp)" 'BEGIN { printf "%.1f", s / 1024 }')
echo
echo "rempar bench: $SIZE_MIB MiB page-cached, $DAMAGES damaged bytes in $damaged_blocks blocks of $((BLOCK / 1024)) KiB;" \
  "damaged.cdt $cdt_kib KiB, damaged.cdp $cdp_kib KiB;" \
  "median of $RUNS alternating runs; $(nproc) cores;" \
  "load average (1, 5, 15 min) $load_start at start, $load_end at end"
echo "page-cache states: L = evicted, then read once (as read back from disk); C = a fresh cp copy;" \
  "S = a copy written through a pipe. Rows with REMPAR_WALK=read walk with read(); the others" \
  "with the tool's default walk."
echo
printf "$fmt_row" state step command "median s" "cpu s" "x floor" "ours faster" "peak MiB"
printf '|%s|%s|%s|%s|%s|%s|%s|%s|\n' ------- ---------- \
  -------------------------------------------------------------- ---------: ---------: --------: \
  ------------: ---------:
row L floor    cat1     'cat damaged > /dev/null'                   ''   ''
row L floor    cat2     'cat damaged.cdt good > /dev/null'          ''   ''
walk_rows L checksum ck 'rempar damaged' cat1
row L checksum ck_plain 'rempar damaged  [plain build]'             cat1 ck
row L checksum ck_rdiff 'rdiff signature damaged sig'               cat1 ck
walk_rows L patch pt 'rempar -p -i damaged.cdt good' cat2
row L patch    pt_plain 'rempar -p -i damaged.cdt good  [plain build]' cat2 pt
row L patch    pt_rdiff 'rdiff delta sig good delta'                cat2 pt
row L apply    ap       'rempar -a -i damaged.cdp damaged'          ''   ''
row L apply    ap_avx2  'rempar -a -i damaged.cdp damaged  [avx2 build]' '' ''
row L apply    ap_rdiff 'rdiff patch damaged delta out'             ''   ap
row L cycle    cycle    'rempar: the three steps above, summed'     ''   ''
row L cycle    cycle_avx2 'rempar [avx2 build]: the three steps, summed' '' ''
row L cycle    rsync    'rsync --inplace --no-whole-file good damaged' '' cycle_avx2
row C floor    catC     'cat c_file > /dev/null'                    ''   ''
walk_rows C checksum ckC 'rempar c_file' catC
row S floor    catS     'cat s_file > /dev/null'                    ''   ''
walk_rows S checksum ckS 'rempar s_file' catS

# The two walks side by side: seconds, ratio to cat, peak RSS.
fmt_side='| %-5s | %-8s | %-6s | %8s | %8s | %6s | %6s | %8s | %6s | %6s | %9s | %9s |\n'
side() {  # side STATE STEP BUILD KEY FLOOR_KEY
  local d=$4 r=$4_read f=$5 peak_d=- peak_r=-
  [[ -n ${RSS[$d]:-} ]] && peak_d=$(mib "${RSS[$d]}")
  [[ -n ${RSS[$r]:-} ]] && peak_r=$(mib "${RSS[$r]}")
  printf "$fmt_side" "$1" "$2" "$3" "$(awk -v t="${MED[$f]}" 'BEGIN { printf "%.4f", t }')" \
    "$(awk -v t="${MED[$d]}" 'BEGIN { printf "%.4f", t }')" "$(ratio "${MED[$d]}" "${MED[$f]}")x" "$peak_d" \
    "$(awk -v t="${MED[$r]}" 'BEGIN { printf "%.4f", t }')" "$(ratio "${MED[$r]}" "${MED[$f]}")x" "$peak_r" \
    "$(ratio "${MED[$d]}" "${MED[$r]}")x" "$(ratio "${CPU[$d]}" "${CPU[$r]}")x"
}
echo
echo "the default walk and the read() walk side by side: median seconds, ratio to cat, peak RSS, and the"
echo "ratio of the two walks in wall-clock and in CPU time (user + system, which the load disturbs less):"
echo
printf "$fmt_side" state step build "cat s" "default" "x cat" "MiB" "read() s" "x cat" "MiB" "def/read" "cpu d/r"
printf '|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|\n' ------- ---------- -------- ---------: ---------: \
  -------: -------: ---------: -------: -------: ----------: ----------:
for state_step in 'L checksum ck cat1' 'L patch pt cat2' 'C checksum ckC catC' 'S checksum ckS catS'; do
  read -r state step stem floor <<<"$state_step"
  side "$state" "$step" native "$stem" "$floor"
  side "$state" "$step" avx2 "${stem}_avx2" "$floor"
done

speedup() {  # speedup TEXT BASE_KEY OURS_KEY AT_LEAST
  if [[ -z ${MED[$2]:-} ]]; then goal "$1" "-" "SKIP (not installed)"; return; fi
  local s
  s=$(awk -v b="${MED[$2]}" -v o="${MED[$3]}" 'BEGIN { printf "%.1f", b / o }')
  goal "$1" "${s}x" "$(verdict "$s >= $4")"
}
at_most() {  # at_most TEXT KEY FLOOR_KEY LIMIT
  local r
  r=$(ratio "${MED[$2]}" "${MED[$3]}")
  goal "$1" "${r}x" "$(verdict "$r <= $4")"
}

echo
echo "goals (informational; state L unless named, the tool's default walk):"
echo "the common machine kind, timed with the avx2 build:"
at_most "checksum creation <= 0.8x cat damaged" ck_avx2 cat1 0.8
at_most "patch creation <= 0.9x cat damaged.cdt good" pt_avx2 cat2 0.9
speedup "whole cycle >= 3x faster than rsync --inplace" rsync cycle_avx2 3
speedup ">= 10x faster than rdiff: signature" ck_rdiff ck_avx2 10
speedup ">= 10x faster than rdiff: delta" pt_rdiff pt_avx2 10
echo "this CPU's own best kernel (build-bench):"
at_most "checksum creation <= 0.6x cat damaged" ck cat1 0.6
at_most "patch creation <= 0.7x cat damaged.cdt good" pt cat2 0.7
ms=$(awk -v t="${MED[ap]}" 'BEGIN { printf "%.1f", t * 1000 }')
goal "patch application < 20 ms" "$ms ms" "$(verdict "$ms < 20")"
speedup ">= 10x faster than plain build: checksum" ck_plain ck 10
speedup ">= 10x faster than plain build: patch" pt_plain pt 10
speedup ">= 10x faster than rdiff: patch application" ap_rdiff ap 10
echo "the default walk never more than 5% slower than the read() walk:"
for stem in ckC ckS; do
  for build in native avx2; do
    suffix=${build/native/}
    at_most "state ${stem#ck}, checksum creation, $build build" \
      "$stem${suffix:+_$suffix}" "$stem${suffix:+_$suffix}_read" 1.05
  done
done
echo "every build and walk:"
if ((have_gtime)); then
  worst=0 worst_key=
  for key in "${!RSS[@]}"; do
    [[ $key == ck* || $key == pt* || $key == ap* ]] || continue
    [[ $key == *rdiff ]] && continue
    peak=${RSS[$key]}
    ((peak > worst)) && worst=$peak worst_key=$key
  done
  goal "peak RSS < 8 MiB (every rempar row; the largest)" "$(mib "$worst") MiB ($worst_key)" \
    "$(verdict "$worst < 8 * 1024")"
else
  goal "peak RSS < 8 MiB" "-" "SKIP (no GNU time)"
fi
if [[ -r /proc/self/status ]]; then
  # The tool's thread count while it checksums the file, read from /proc.
  "$avx2" -o "$work/threads.cdt" damaged >/dev/null 2>&1 &
  pid=$!
  threads=1
  while kill -0 "$pid" 2>/dev/null; do
    t=$(awk '/^Threads:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
    [[ -n $t ]] && ((t > threads)) && threads=$t
    sleep 0.01
  done
  wait "$pid" || true
  rm -f "$work/threads.cdt"
  goal "one thread (most seen during checksum creation)" "$threads" "$(verdict "$threads == 1")"
fi

stamp
awk -v a="$bench_start" -v b="$REPLY" 'BEGIN { t = b - a; printf "\nbench took %dm%02ds\n", t / 60, t % 60 }'
