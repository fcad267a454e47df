#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++, makes seed containers with the
# tool itself and runs each target for FUZZ_SECONDS (default 60). Fails on
# any crash, leak, time-out, memory blow-up or sanitizer report, and prints
# the executions of each target.
#
#   FUZZ_SECONDS=60 FUZZ_BUILD=build-fuzz JOBS=2 bash scripts/fuzz.sh [target...]
#
# Needs clang++ with libFuzzer (Debian: clang-14 libclang-rt-14-dev).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD:-build-fuzz}
jobs=${JOBS:-2}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(check_container_fuzz patch_creation_fuzz patch_application_fuzz)

cxx=${FUZZ_CXX:-}
if [ -z "$cxx" ]; then
  for candidate in clang++ clang++-14; do
    if command -v "$candidate" >/dev/null; then cxx=$candidate; break; fi
  done
fi
[ -n "$cxx" ] || { echo "fuzz.sh: clang++ not found (apt-get install clang-14 libclang-rt-14-dev)" >&2; exit 1; }

echo "== building the fuzz targets in $build with $cxx"
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DREMPAR_FUZZ=ON -DREMPAR_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target rempar "${targets[@]}" >/dev/null

# Seeds: valid containers of the fixed files, made by the tool (and, in the
# large-file version, by the operations' writers). The patch
# targets read a first byte that picks whether the rest is sealed afresh;
# seeds come both ways.
seeds=$build/seeds
rm -rf "$seeds"
mkdir -p "$seeds/work" "$seeds/cdt" "$seeds/cdp"
rempar=$(realpath "$build/rempar")
REMPAR_FUZZ_WRITE_FIXED=$seeds/work "$build/fuzz/patch_creation_fuzz" >/dev/null 2>&1
(
  cd "$seeds/work"
  for bs in 1 7 16 64 100 512 1499 1500 1501 16384; do
    "$rempar" -b "$bs" -o "../cdt/damaged-$bs.cdt" damaged >/dev/null
    "$rempar" -p -i "../cdt/damaged-$bs.cdt" -o "../cdp/damaged-$bs.cdp" verified >/dev/null
  done
  "$rempar" -b 64 -o ../cdt/verified-64.cdt verified >/dev/null
  : > empty
  "$rempar" -o ../cdt/empty.cdt empty >/dev/null
  # The large-file version, written by the fuzz target beside the fixed files.
  mv large-*.cdt ../cdt/
  mv large-*.cdp ../cdp/
)
for kind in cdt cdp; do
  for f in "$seeds/$kind"/*; do
    for mode in 0 1; do
      mkdir -p "$seeds/$kind-$mode"
      { printf "\\$mode"; cat "$f"; } > "$seeds/$kind-$mode/$(basename "$f")"
    done
  done
done

status=0
summary=()
for target in "${targets[@]}"; do
  case $target in
    check_container_fuzz) seed_dirs=("$seeds/cdt" "$seeds/cdp") ;;
    patch_creation_fuzz) seed_dirs=("$seeds/cdt-0" "$seeds/cdt-1") ;;
    patch_application_fuzz) seed_dirs=("$seeds/cdp-0" "$seeds/cdp-1") ;;
    *) echo "fuzz.sh: unknown target $target" >&2; exit 1 ;;
  esac
  corpus=$build/corpus/$target
  artifacts=$build/artifacts/$target
  mkdir -p "$corpus" "$artifacts"
  log=$build/$target.log
  echo "== $target for ${seconds}s (log: $log)"
  rc=0
  "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "${seed_dirs[@]}" >"$log" 2>&1 || rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
  # Any sanitizer or check report fails the run, whatever the exit status.
  if [ "$rc" -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|FUZZ_CHECK failed' "$log"; then
    echo "!! $target failed (exit $rc); the end of its log:"
    tail -n 40 "$log"
    status=1
    summary+=("$target: FAILED after ${runs:-?} executions")
  else
    summary+=("$target: ${runs:-?} executions in ${took:-$seconds} s, corpus $(find "$corpus" -type f | wc -l) inputs")
  fi
done

echo "== fuzzing summary"
printf '%s\n' "${summary[@]}"
exit $status
