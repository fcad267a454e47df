#!/usr/bin/env bash
# A copy on a failing disk, repaired (as root; not part of CI):
#
#   a 1 GiB copy served by the damaged medium (tests/fixtures/faulty_fs) with
#   a 64 MiB dead region and 100 scattered bad sectors, each failed read
#   taking 20 ms, is checksummed, patched from the good copy and repaired.
#   Goal: the checksum run under 15 s (block by block, the dead region alone
#   would take 4096 failed reads, 80 s). Prints the failed reads, the times,
#   the size of the patch, and whether the repaired copy equals the good one.
#
# Usage: bench/unreadable.sh [REMPAR [FAULTY_FS]]   (default: build-test/)
# KEEP=1 keeps the scratch folder; DEVICE=1 runs over a loop device too.
set -euo pipefail
export LC_ALL=C

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
rempar=${1:-$root/build-test/rempar}
faulty_fs=${2:-$root/build-test/faulty_fs}
note() { printf '== %s\n' "$*" >&2; }
die() { printf 'bench-unreadable: %s\n' "$*" >&2; exit 1; }
[[ -x $rempar && -x $faulty_fs ]] || die "build first: make test (needs $rempar and $faulty_fs)"
[[ $(id -u) -eq 0 && -e /dev/fuse ]] || die "needs root and /dev/fuse"

GIB=$((1 << 30)) MIB=$((1 << 20))
DEAD_AT=$((300 * MIB)) DEAD_LEN=$((64 * MIB)) SECTORS=100 DELAY=20

work=$(mktemp -d /tmp/rempar-bench-unreadable.XXXXXX)
pid='' loop=''
cleanup() {
  if [[ -n $loop ]]; then losetup -d "$loop" 2>/dev/null || true; fi
  if [[ -n $pid ]]; then fusermount3 -u "$work/mnt" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  if [[ ${KEEP:-0} == 1 ]]; then note "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
mkdir -p "$work/backing" "$work/mnt"

note "the good copy: 1 GiB of pseudo-random bytes"
head -c "$GIB" /dev/urandom >"$work/good.img"
note "the damaged copy: the same, with zeros where its sectors went bad"
cp "$work/good.img" "$work/backing/disk.img"
: >"$work/faults"
bad() {  # offset length: zeros in the copy, unreadable until written
  dd if=/dev/zero of="$work/backing/disk.img" bs=512 seek=$(($1 / 512)) count=$(($2 / 512)) \
    conv=notrunc status=none
  echo "fault disk.img $1 $2 unreadable heals delay=$DELAY" >>"$work/faults"
}
bad "$DEAD_AT" "$DEAD_LEN"
RANDOM=15
for ((i = 0; i < SECTORS; ++i)); do
  # Anywhere outside the dead region, on a sector boundary.
  sector=$(((RANDOM * 32768 + RANDOM) % (GIB / 512)))
  offset=$((sector * 512))
  ((offset >= DEAD_AT - 512 && offset < DEAD_AT + DEAD_LEN)) && offset=$((offset + DEAD_LEN + 512))
  ((offset + 512 <= GIB)) || offset=$((GIB - 512))
  bad "$offset" 512
done

"$faulty_fs" --faults "$work/faults" "$work/backing" "$work/mnt" &
pid=$!
for _ in $(seq 50); do [[ -e $work/mnt/.fault-control ]] && break; sleep 0.1; done
[[ -e $work/mnt/.fault-control ]] || die "the medium did not mount"

counter() { grep -o "$1=[0-9]*" "$work/mnt/.fault-control" | head -1 | cut -d= -f2; }
seconds() {
  local s=$EPOCHREALTIME
  "$@" >"$work/out" 2>&1 || true
  awk -v s="$s" -v e="$EPOCHREALTIME" 'BEGIN { printf "%.2f", e - s }'
}

run_cycle() {  # path
  local path=$1
  echo reset >"$work/mnt/.fault-control"
  local t_sum t_patch t_apply
  t_sum=$(seconds "$rempar" -o "$work/disk.cdt" "$path")
  local failed runs
  failed=$(counter failed_reads)
  runs=$(tr '\r' '\n' <"$work/out" | grep -c '^Unreadable at' || true)
  tail -1 "$work/out" | grep -qx Completed || die "checksum run failed: $(tail -3 "$work/out")"
  t_patch=$(seconds "$rempar" -p -i "$work/disk.cdt" -o "$work/disk.cdp" "$work/good.img")
  local size
  size=$(stat -c %s "$work/disk.cdp")
  t_apply=$(seconds "$rempar" -a -i "$work/disk.cdp" "$path")
  tail -1 "$work/out" | grep -q 'Completed, file patched' || die "apply failed: $(tail -3 "$work/out")"
  local same=differ
  cmp -s "$work/good.img" "$work/backing/disk.img" && same="byte-identical"
  "$rempar" -o "$work/disk.cdt" "$path" >/dev/null
  local again
  again=$("$rempar" -p -i "$work/disk.cdt" -o "$work/disk.cdp" "$work/good.img" | tr "\r" "\n" | tail -1)
  printf '%s\n' "$path" \
    "  checksum: $t_sum s, $failed failed reads, $runs unreadable runs reported" \
    "  patch:    $t_patch s, $size bytes ($((size / MIB)) MiB)" \
    "  apply:    $t_apply s; the copy and the good copy are $same" \
    "  again:    $again"
}

note "over the file in the mount"
run_cycle "$work/mnt/disk.img"
if [[ ${DEVICE:-0} == 1 ]]; then
  note "over a loop device (the same faults again)"
  fusermount3 -u "$work/mnt"; wait "$pid" || true
  # The repair healed the copy; damage it again, as the faults file says.
  while read -r _ _ offset length _; do
    dd if=/dev/zero of="$work/backing/disk.img" bs=512 seek=$((offset / 512)) \
      count=$((length / 512)) conv=notrunc status=none
  done <"$work/faults"
  "$faulty_fs" --faults "$work/faults" "$work/backing" "$work/mnt" &
  pid=$!
  for _ in $(seq 50); do [[ -e $work/mnt/.fault-control ]] && break; sleep 0.1; done
  loop=$(losetup -f --show --direct-io=off "$work/mnt/disk.img")
  run_cycle "$loop"
fi
