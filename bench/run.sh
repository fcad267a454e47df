#!/usr/bin/env bash
# End-to-end benchmark of rempar on page-cached data, against the floors
# (cat of the same inputs), the plain byte-at-a-time build, rdiff and rsync.
#
#   bash bench/run.sh            (what `make bench` runs)
#
# Environment knobs:
#   SIZE_MIB  size of the generated file in MiB   (default 1024)
#   RUNS      timed runs per command; medians      (default 5)
#   KEEP      1 = keep the temp dir on exit        (default 0)
#
# Builds build-bench (Release, the best kernel this CPU has), build-avx2
# (Release, REMPAR_MAX_KERNEL=avx2: the common x86-64 machine kind, AVX2 and
# VPCLMULQDQ without AVX-512) and build-plain (Release, REMPAR_PLAIN_CRC=ON),
# generates a pseudo-random file and a copy damaged in 100 single bytes, then
# times every command RUNS times after one untimed warm-up run (the warm-up
# run is the one measured for peak RSS under GNU time). Wall-clock times come
# from bash's EPOCHREALTIME around the bare command. The goal lines are
# informational: the script exits 0 unless a command fails, the repaired file
# differs from the good one, or the plain build writes a checksum or patch
# file that differs from the fast build's (exit 1).
# shellcheck disable=SC2059  # printf formats kept in variables on purpose
set -euo pipefail
export LC_ALL=C

SIZE_MIB=${SIZE_MIB:-1024}
RUNS=${RUNS:-5}
KEEP=${KEEP:-0}
BLOCK=16384    # rempar's default block size
DAMAGES=100    # damaged bytes, one per region of SIZE/100 bytes

note() { printf '== %s\n' "$*" >&2; }
die() { printf 'bench: %s\n' "$*" >&2; exit 1; }

[[ $SIZE_MIB =~ ^[1-9][0-9]*$ ]] || die "SIZE_MIB must be a positive integer (got '$SIZE_MIB')"
[[ $RUNS =~ ^[1-9][0-9]*$ ]] || die "RUNS must be a positive integer (got '$RUNS')"

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_start=${EPOCHREALTIME:-$(date +%s.%N)}
load_start=$(cut -d ' ' -f 1 /proc/loadavg)  # other work on the machine skews the figures

# ---------------------------------------------------------------- tools
have_rdiff=0 have_rsync=0 have_gtime=0
if command -v rdiff >/dev/null 2>&1; then have_rdiff=1
else note "rdiff not found (Debian package rdiff): skipping the rdiff rows"; fi
if command -v rsync >/dev/null 2>&1; then have_rsync=1
else note "rsync not found (Debian package rsync): skipping the rsync row"; fi
if [[ -x /usr/bin/time ]] && /usr/bin/time --version 2>&1 | grep -q GNU; then have_gtime=1
else note "GNU time not found at /usr/bin/time (Debian package time): no peak RSS column"; fi

# ------------------------------------------------------------- temp dir
work=$(mktemp -d /tmp/rempar-bench.XXXXXX)
cleanup() {
  cd /
  if [[ $KEEP == 1 ]]; then note "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

need_mib=$((SIZE_MIB * (have_rdiff ? 3 : 2) + 64))
free_mib=$(df -Pm "$work" | awk 'NR == 2 { print $4 }')
((free_mib >= need_mib)) || die "need ~$need_mib MiB free under /tmp, have $free_mib MiB"
avail_mib=$(awk '/^MemAvailable:/ { print int($2 / 1024) }' /proc/meminfo)
((avail_mib >= need_mib)) ||
  note "warning: only $avail_mib MiB of memory available; the data ($need_mib MiB) may not stay page-cached"

# --------------------------------------------------------------- builds
build() {  # build DIR [cmake options...]
  local dir=$1 log="$work/build-$1.log"
  shift
  note "building $dir"
  if ! { cmake -S "$root" -B "$root/$dir" -DCMAKE_BUILD_TYPE=Release -DREMPAR_TESTS=OFF "$@" &&
         cmake --build "$root/$dir" -j 2 --target rempar; } >"$log" 2>&1; then
    cat "$log" >&2
    die "build of $dir failed"
  fi
}
build build-bench -DREMPAR_PLAIN_CRC=OFF -DREMPAR_MAX_KERNEL=
build build-avx2 -DREMPAR_PLAIN_CRC=OFF -DREMPAR_MAX_KERNEL=avx2
build build-plain -DREMPAR_PLAIN_CRC=ON -DREMPAR_MAX_KERNEL=

# The kernels alone, when Google Benchmark (libbenchmark-dev) is installed.
# Each build says which kernel it runs; then every kernel of this CPU.
note "checksum kernels (bench/crc_bench.cc)"
if { for dir in build-bench build-avx2; do
       cmake -S "$root" -B "$root/$dir" -DREMPAR_BENCH=ON &&
         cmake --build "$root/$dir" -j 2 --target crc_bench || exit 1
     done; } >"$work/build-crc.log" 2>&1; then
  echo "== build-bench (the tool as built for this CPU):"
  "$root/build-bench/crc_bench" --kernels
  echo "== build-avx2 (REMPAR_MAX_KERNEL=avx2, standing in for a CPU without AVX-512):"
  "$root/build-avx2/crc_bench" --kernels
  "$root/build-bench/crc_bench" --benchmark_min_time=0.2 2>/dev/null | sed -n '/^GB\/s per block/,$p'
else
  note "skipped: the kernel benchmark needs libbenchmark-dev"
fi
fast="$root/build-bench/rempar"
avx2="$root/build-avx2/rempar"
plain="$root/build-plain/rempar"

# ----------------------------------------------------------------- data
cd "$work"
bytes=$((SIZE_MIB << 20))
note "generating $SIZE_MIB MiB of pseudo-random data in $work"
if command -v openssl >/dev/null 2>&1; then
  # AES-CTR keystream: fast and the same data every time.
  (openssl enc -aes-128-ctr -nosalt -pbkdf2 -pass pass:rempar-bench </dev/zero 2>/dev/null || true) |
    head -c "$bytes" >good
else
  head -c "$bytes" /dev/urandom >good
fi
[[ $(stat -c %s good) == "$bytes" ]] || die "could not generate $bytes bytes of data"
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

note "flushing to disk and warming the page cache"
sync
cat good damaged >/dev/null
cat good damaged >/dev/null

# ------------------------------------------------------------ measuring
declare -A MED RSS CPU
stamp() { if [[ -n ${EPOCHREALTIME:-} ]]; then REPLY=$EPOCHREALTIME; else REPLY=$(date +%s.%N); fi; }
cmd_failed() {  # cmd_failed STATUS COMMAND...
  local rc=$1
  shift
  printf 'bench: command failed (exit %s): %s\n' "$rc" "$*" >&2
  sed 's/\r/\n/g' "$work/err" | tail -n 20 >&2
  exit 1
}

# measure KEY PREP COMMAND...: PREP (a function) runs untimed before each
# run; one warm-up run (peak RSS) and RUNS timed runs; the median wall-clock
# time into MED[KEY], the median CPU time (user + system, which other work on
# the machine disturbs less) into CPU[KEY].
measure() {
  local key=$1 prep=$2 i t0 rc=0
  shift 2
  note "measuring: $* (1 + $RUNS runs)"
  $prep
  if ((have_gtime)); then
    /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>"$work/err" || cmd_failed $? "$@"
    RSS[$key]=$(tail -n 1 "$work/rss")
  else
    "$@" >/dev/null 2>"$work/err" || cmd_failed $? "$@"
  fi
  : >"$work/times"
  : >"$work/cpu"
  for ((i = 0; i < RUNS; i++)); do
    $prep
    stamp; t0=$REPLY
    # bash's `time` adds no process; it reports user and system CPU seconds.
    { TIMEFORMAT='%3U %3S'; time "$@" >/dev/null 2>"$work/err"; } 2>>"$work/cpu" && rc=0 || rc=$?
    stamp
    ((rc == 0)) || cmd_failed "$rc" "$@"
    printf '%s %s\n' "$t0" "$REPLY" >>"$work/times"
  done
  MED[$key]=$(awk '{ printf "%.6f\n", $2 - $1 }' "$work/times" | median)
  CPU[$key]=$(awk '{ printf "%.6f\n", $1 + $2 }' "$work/cpu" | median)
}
median() {
  sort -g | awk '{ a[NR] = $1 } END { printf "%.6f", NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}

none() { :; }
rm_cdt() { rm -f damaged.cdt; }
rm_plain_cdt() { rm -f plain.cdt; }
rm_sig() { rm -f sig; }
rm_cdp() { rm -f damaged.cdp; }
rm_plain_cdp() { rm -f plain.cdp; }
rm_delta() { rm -f delta; }
rm_out() { rm -f out; }

# checksum creation
measure cat1 none cat damaged
measure ck rm_cdt "$fast" damaged
measure ck_avx2 rm_cdt "$avx2" damaged
measure ck_plain rm_plain_cdt "$plain" -o plain.cdt damaged
cmp -s plain.cdt damaged.cdt || die "the plain build's checksum file differs from the avx2 build's"
if ((have_rdiff)); then measure ck_rdiff rm_sig rdiff signature damaged sig; fi

# patch creation
measure cat2 none cat damaged.cdt good
measure pt_avx2 rm_cdp "$avx2" -p -i damaged.cdt good
mv damaged.cdp avx2.cdp
measure pt rm_cdp "$fast" -p -i damaged.cdt good
cmp -s avx2.cdp damaged.cdp || die "the avx2 build's patch file differs from the fast build's"
measure pt_plain rm_plain_cdp "$plain" -p -i damaged.cdt -o plain.cdp good
cmp -s plain.cdp damaged.cdp || die "the plain build's patch file differs from the fast build's"
if ((have_rdiff)); then measure pt_rdiff rm_delta rdiff delta sig good delta; fi

# patch application (the copy is re-damaged before every run)
measure ap_avx2 redamage "$avx2" -a -i damaged.cdp damaged
measure ap redamage "$fast" -a -i damaged.cdp damaged
cmp -s damaged good || die "FAILED: the repaired file differs from the good one"
note "repaired file equals the good one"
if ((have_rdiff)); then
  redamage
  measure ap_rdiff rm_out rdiff patch damaged delta out
  cmp -s out good || note "warning: rdiff's patched file differs from the good one"
  rm -f out
fi

# the whole cycle in one command
if ((have_rsync)); then
  measure rsync redamage rsync --inplace --no-whole-file good damaged
  cmp -s damaged good || note "warning: rsync's repaired file differs from the good one"
fi

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

fmt_row='| %-8s | %-46s | %8s | %8s | %7s | %11s | %8s |\n'
row() {  # row STEP KEY COMMAND FLOOR_KEY OURS_KEY: x floor = KEY/FLOOR, ours faster = KEY/OURS
  local step=$1 key=$2 text=$3 floor=$4 ours=$5 sec cpu=- xf=- of=- mib=-
  if [[ -z ${MED[$key]:-} ]]; then
    printf "$fmt_row" "$step" "$text" skipped - - - -
    return
  fi
  sec=$(awk -v t="${MED[$key]}" 'BEGIN { printf "%.4f", t }')
  [[ -n ${CPU[$key]:-} ]] && cpu=$(awk -v t="${CPU[$key]}" 'BEGIN { printf "%.3f", t }')
  [[ -n $floor ]] && xf=$(awk -v t="${MED[$key]}" -v f="${MED[$floor]}" 'BEGIN { printf "%.2fx", t / f }')
  [[ -n $ours ]] && of=$(awk -v t="${MED[$key]}" -v o="${MED[$ours]}" 'BEGIN { printf "%.1fx", t / o }')
  [[ -n ${RSS[$key]:-} ]] && mib=$(awk -v k="${RSS[$key]}" 'BEGIN { printf "%.1f", k / 1024 }')
  printf "$fmt_row" "$step" "$text" "$sec" "$cpu" "$xf" "$of" "$mib"
}

cdt_kib=$(awk -v s="$(stat -c %s damaged.cdt)" 'BEGIN { printf "%.1f", s / 1024 }')
cdp_kib=$(awk -v s="$(stat -c %s damaged.cdp)" 'BEGIN { printf "%.1f", s / 1024 }')
echo
echo "rempar bench: $SIZE_MIB MiB page-cached, $DAMAGES damaged bytes in $damaged_blocks blocks of $((BLOCK / 1024)) KiB;" \
  "damaged.cdt $cdt_kib KiB, damaged.cdp $cdp_kib KiB;" \
  "median of $RUNS runs; $(nproc) cores, load average $load_start at start"
echo
printf "$fmt_row" step command "median s" "cpu s" "x floor" "ours faster" "peak MiB"
printf '|%s|%s|%s|%s|%s|%s|%s|\n' ---------- ------------------------------------------------ \
  ---------: ---------: --------: ------------: ---------:
row floor    cat1     'cat damaged > /dev/null'                   ''   ''
row floor    cat2     'cat damaged.cdt good > /dev/null'          ''   ''
row checksum ck       'rempar damaged'                            cat1 ''
row checksum ck_avx2  'rempar damaged  [avx2 build]'              cat1 ''
row checksum ck_plain 'rempar damaged  [plain build]'             cat1 ck
row checksum ck_rdiff 'rdiff signature damaged sig'               cat1 ck
row patch    pt       'rempar -p -i damaged.cdt good'             cat2 ''
row patch    pt_avx2  'rempar -p -i damaged.cdt good  [avx2 build]' cat2 ''
row patch    pt_plain 'rempar -p -i damaged.cdt good  [plain build]' cat2 pt
row patch    pt_rdiff 'rdiff delta sig good delta'                cat2 pt
row apply    ap       'rempar -a -i damaged.cdp damaged'          ''   ''
row apply    ap_avx2  'rempar -a -i damaged.cdp damaged  [avx2 build]' '' ''
row apply    ap_rdiff 'rdiff patch damaged delta out'             ''   ap
row cycle    cycle    'rempar: the three steps above, summed'     ''   ''
row cycle    cycle_avx2 'rempar [avx2 build]: the three steps, summed' '' ''
row cycle    rsync    'rsync --inplace --no-whole-file good damaged' '' cycle_avx2

# Goal lines: goal TEXT VALUE VERDICT
goal() { printf '  %-54s %-22s %s\n' "$1" "$2" "$3"; }
verdict() { awk "BEGIN { exit !($1) }" && echo PASS || echo MISS; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
speedup() {  # speedup TEXT BASE_KEY OURS_KEY AT_LEAST
  if [[ -z ${MED[$2]:-} ]]; then goal "$1" "-" "SKIP (not installed)"; return; fi
  local s
  s=$(awk -v b="${MED[$2]}" -v o="${MED[$3]}" 'BEGIN { printf "%.1f", b / o }')
  goal "$1" "${s}x" "$(verdict "$s >= $4")"
}
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

echo
echo "goals for the common machine kind, timed with the avx2 build (informational;"
echo "this CPU's own best kernel is in the rows without [avx2 build]):"
r=$(ratio "${MED[ck_avx2]}" "${MED[cat1]}")
goal "checksum creation <= 2.0x cat damaged" "${r}x" "$(verdict "$r <= 2.0")"
r=$(ratio "${CPU[ck_avx2]}" "${CPU[cat1]}")
goal "  the same in CPU time (user + system)" "${r}x" "$(verdict "$r <= 2.0")"
r=$(ratio "${MED[pt_avx2]}" "${MED[cat2]}")
goal "patch creation <= 2.0x cat damaged.cdt good" "${r}x" "$(verdict "$r <= 2.0")"
r=$(ratio "${CPU[pt_avx2]}" "${CPU[cat2]}")
goal "  the same in CPU time (user + system)" "${r}x" "$(verdict "$r <= 2.0")"
speedup ">= 10x faster than rdiff: signature" ck_rdiff ck_avx2 10
speedup ">= 10x faster than rdiff: delta" pt_rdiff pt_avx2 10
speedup "whole cycle >= 2.5x faster than rsync --inplace" rsync cycle_avx2 2.5
if ((have_gtime)); then
  m="$(mib "${RSS[ck_avx2]}") / $(mib "${RSS[pt_avx2]}") / $(mib "${RSS[ap_avx2]}")"
  goal "peak RSS < 8 MiB (checksum / patch / apply)" "$m MiB" "$(verdict "${RSS[cycle_avx2]} < 8 * 1024")"
else
  goal "peak RSS < 8 MiB (checksum / patch / apply)" "-" "SKIP (no GNU time)"
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

echo
echo "earlier goals, with this CPU's best kernel:"
r=$(ratio "${MED[ck]}" "${MED[cat1]}")
goal "checksum creation <= 1.5x cat damaged" "${r}x" "$(verdict "$r <= 1.5")"
r=$(ratio "${MED[pt]}" "${MED[cat2]}")
goal "patch creation <= 1.5x cat damaged.cdt good" "${r}x" "$(verdict "$r <= 1.5")"
ms=$(awk -v t="${MED[ap]}" 'BEGIN { printf "%.1f", t * 1000 }')
goal "patch application < 20 ms" "$ms ms" "$(verdict "$ms < 20")"
if ((have_gtime)); then
  m="$(mib "${RSS[ck]}") / $(mib "${RSS[pt]}") / $(mib "${RSS[ap]}")"
  goal "peak RSS <= 32 MiB (checksum / patch / apply)" "$m MiB" "$(verdict "${RSS[cycle]} <= 32 * 1024")"
fi
speedup ">= 10x faster than plain build: checksum" ck_plain ck 10
speedup ">= 10x faster than plain build: patch" pt_plain pt 10
speedup ">= 10x faster than rdiff: patch application" ap_rdiff ap 10
if [[ -n ${MED[rsync]:-} ]]; then
  v=$(awk -v c="${MED[cycle]}" -v r="${MED[rsync]}" 'BEGIN { printf "%.3f s vs %.3f s", c, r }')
  goal "whole cycle faster than rsync" "$v" "$(verdict "${MED[cycle]} < ${MED[rsync]}")"
fi

stamp
awk -v a="$bench_start" -v b="$REPLY" 'BEGIN { t = b - a; printf "\nbench took %dm%02ds\n", t / 60, t % 60 }'
