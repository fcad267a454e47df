#!/usr/bin/env bash
# Checksum creation of a file that is not in the page cache (what
# `make bench-cold` runs; as root, not part of CI):
#
#   bash bench/cold.sh
#
# Generates a 4 GiB file of pseudo-random data on disk (not sparse: every
# byte comes from the disk), then times, with the page cache dropped before
# every run (sync; echo 3 > /proc/sys/vm/drop_caches), a read-only loop that
# reads 1 MiB at a time and drops the pages behind it (bench/drop_behind.cc),
# against checksum creation by build-bench and build-avx2, each with its
# default walk and with the read() walk (REMPAR_WALK=read) for reference.
# The commands alternate (A B C A B C ...); medians of RUNS runs after one
# untimed warm-up run each (peak RSS under GNU time).
#
# Goal (informational): the default walk within 5% of the loop. Exits 0 with
# a SKIP line where it cannot drop the caches (not root); 1 when a command
# fails or the walks write checksum files that differ.
#
# Environment knobs: SIZE_MIB (default 4096), RUNS (default 5), KEEP=1 keeps
# the scratch folder (the generated file with it), CMAKE_ARGS.
# shellcheck disable=SC2059  # printf formats kept in variables on purpose
set -euo pipefail
export LC_ALL=C

SIZE_MIB=${SIZE_MIB:-4096}
RUNS=${RUNS:-5}
KEEP=${KEEP:-0}
BENCH_NAME=bench-cold

skip() { printf '%s: SKIP (%s)\n' "$BENCH_NAME" "$*"; exit 0; }
[[ $(id -u) == 0 ]] || skip "dropping the page cache between runs needs root"
[[ -w /proc/sys/vm/drop_caches ]] || skip "/proc/sys/vm/drop_caches is not writable here"

# shellcheck source=bench/timing.sh
source "$(dirname "${BASH_SOURCE[0]}")/timing.sh"
[[ $SIZE_MIB =~ ^[1-9][0-9]*$ ]] || die "SIZE_MIB must be a positive integer (got '$SIZE_MIB')"
command -v c++ >/dev/null 2>&1 || die "a C++ compiler (c++) is needed for bench/drop_behind.cc"

bench_start=${EPOCHREALTIME:-$(date +%s.%N)}
load_start=$(load_average)
make_workdir rempar-bench-cold
need_disk $((SIZE_MIB + 64))

build build-bench -DREMPAR_PLAIN_CRC=OFF -DREMPAR_MAX_KERNEL=
build build-avx2 -DREMPAR_PLAIN_CRC=OFF -DREMPAR_MAX_KERNEL=avx2
c++ -std=c++20 -O2 -Wall -Wextra -Werror -o "$work/drop_behind" "$bench_root/bench/drop_behind.cc" ||
  die "could not build bench/drop_behind.cc"
# shellcheck disable=SC2034  # read by bench_walks
fast="$bench_root/build-bench/rempar"
# shellcheck disable=SC2034
avx2="$bench_root/build-avx2/rempar"

cd "$work"
generate cold_file $((SIZE_MIB << 20))

bench_add loop drop_caches default ./drop_behind cold_file
bench_walks ck cdt cold_file drop_caches
bench_group "checksum creation (cold cache)"
same_files "checksum files" ck.cdt "${OUTPUTS[@]}"
load_end=$(load_average)

fmt_row='| %-52s | %8s | %8s | %7s | %6s | %8s |\n'
row() {  # row KEY TEXT
  local key=$1 peak=-
  [[ -n ${RSS[$key]:-} ]] && peak=$(mib "${RSS[$key]}")
  printf "$fmt_row" "$2" "$(awk -v t="${MED[$key]}" 'BEGIN { printf "%.3f", t }')" \
    "$(awk -v t="${CPU[$key]}" 'BEGIN { printf "%.3f", t }')" "$(ratio "${MED[$key]}" "${MED[loop]}")x" \
    "$(awk -v t="${MED[$key]}" -v m="$SIZE_MIB" 'BEGIN { printf "%.0f", m * 1.048576 / t }')" "$peak"
}

echo
echo "rempar bench-cold: $SIZE_MIB MiB on disk, page cache dropped before every run;" \
  "median of $RUNS alternating runs; $(nproc) cores;" \
  "load average (1, 5, 15 min) $load_start at start, $load_end at end"
echo
printf "$fmt_row" command "median s" "cpu s" "x loop" "MB/s" "peak MiB"
printf '|%s|%s|%s|%s|%s|%s|\n' ------------------------------------------------------ \
  ---------: ---------: --------: -------: ---------:
row loop 'read 1 MiB at a time, drop behind (drop_behind)'
row ck 'rempar cold_file'
row ck_read 'REMPAR_WALK=read rempar cold_file'
row ck_avx2 'rempar cold_file  [avx2 build]'
row ck_avx2_read 'REMPAR_WALK=read rempar cold_file  [avx2 build]'

echo
echo "goals (informational; the tool's default walk):"
for key in ck ck_avx2; do
  build=native
  [[ $key == *avx2 ]] && build=avx2
  r=$(ratio "${MED[$key]}" "${MED[loop]}")
  goal "checksum creation within 5% of the loop, $build build" "${r}x" "$(verdict "$r <= 1.05")"
done

stamp
awk -v a="$bench_start" -v b="$REPLY" 'BEGIN { t = b - a; printf "\nbench-cold took %dm%02ds\n", t / 60, t % 60 }'
