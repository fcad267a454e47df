#!/usr/bin/env bash
# The tool on a generated sample: a checksum file for a few MiB of data.
set -euo pipefail
rempar=$(realpath "${1:-build/rempar}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "== a 4 MiB sample in $work"
head -c $((4 << 20)) /dev/urandom > sample.img

echo "== rempar sample.img"
"$rempar" sample.img | tr '\r' '\n'
ls -l sample.img sample.img.cdt
