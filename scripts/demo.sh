#!/usr/bin/env bash
# The whole repair cycle on a generated 64 MiB file: a good copy, a damaged
# copy with a few bad spots, and the three steps that repair it, each with the
# tool's real output.
set -euo pipefail
rempar=$(realpath "${1:-build/rempar}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

step() { printf '\n== %s\n$ %s\n' "$1" "${*:2}"; "${@:2}"; }
# The progress line redraws itself with carriage returns: show each line as
# a terminal would leave it.
show() { awk -F'\r' '{ n = NF; while (n > 1 && $n == "") n--; print $n }'; }

mkdir good-machine damaged-machine
head -c $((64 << 20)) /dev/urandom > good-machine/disk.img
cp good-machine/disk.img damaged-machine/disk.img
for offset in 1000 9000000 33554432 67000000; do
  printf 'BAD!' | dd of=damaged-machine/disk.img bs=1 seek="$offset" conv=notrunc status=none
done
echo "A 64 MiB file, its damaged copy with 4 bad spots: $work"

cd damaged-machine
step "1. checksum file of the damaged copy" "$rempar" disk.img | show
cp disk.img.cdt ../good-machine/
cd ../good-machine
step "2. patch file from the good copy" "$rempar" -p disk.img | show
cp disk.img.cdp ../damaged-machine/
cd ../damaged-machine
step "3. patch applied to the damaged copy" "$rempar" -a disk.img | show

size() { stat -c %s "$1"; }
printf '\n== what travelled between the machines\n'
printf '%-14s %12s bytes\n' "file" "$(size disk.img)" \
  "checksum file" "$(size disk.img.cdt)" "patch file" "$(size disk.img.cdp)"
awk -v f="$(size disk.img)" -v c="$(size disk.img.cdt)" -v p="$(size disk.img.cdp)" \
  'BEGIN { printf "%.2f%% of the file\n", 100 * (c + p) / f }'

if cmp -s disk.img ../good-machine/disk.img; then
  echo "== the repaired copy equals the good one"
else
  echo "== FAILED: the repaired copy differs from the good one" >&2
  exit 1
fi
