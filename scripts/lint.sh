#!/usr/bin/env bash
# Checks that change nothing: formatting of all C++ sources, clang-tidy over
# src/, and the manual page. Exits non-zero when any check finds something.
#
#   scripts/lint.sh [BUILD_DIR]     (default: build-test; it must hold the
#                                    compile_commands.json that CMake writes,
#                                    best of a test build, which also compiles
#                                    the kernels' emulated builds)
#
# CLANG_FORMAT, CLANG_TIDY and MANDOC name the tools; JOBS sets how many
# clang-tidy processes run at once.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
build=${1:-build-test}
clang_format=${CLANG_FORMAT:-clang-format}
clang_tidy=${CLANG_TIDY:-clang-tidy}
mandoc=${MANDOC:-mandoc}
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}
failed=()

need() {
  if ! command -v "$1" > /dev/null; then
    echo "lint: '$1' not found (apt-get install $2)" >&2
    exit 2
  fi
}
need "$clang_format" clang-format
need "$clang_tidy" clang-tidy
need "$mandoc" mandoc

echo "== clang-format"
dirs=()
for dir in src tests bench fuzz; do [[ -d $dir ]] && dirs+=("$dir"); done
mapfile -t sources < <(find "${dirs[@]}" -type f \( -name '*.cc' -o -name '*.h' \) | sort)
if ! "$clang_format" --dry-run -Werror "${sources[@]}"; then
  failed+=(clang-format)
  echo "lint: to fix: find ${dirs[*]} -name '*.cc' -o -name '*.h' | xargs $clang_format -i" >&2
fi

echo "== clang-tidy"
database=$build/compile_commands.json
if [[ ! -f $database ]]; then
  echo "lint: $database is missing; configure first (make configure-test)" >&2
  exit 2
fi
# Every translation unit of src/ that the build compiles, as CMake lists them.
mapfile -t units < <(grep -o '"file": *"[^"]*"' "$database" | sed 's/^"file": *"//; s/"$//' |
                     grep "^$root/src/" | sort -u)
if [[ ${#units[@]} -eq 0 ]]; then
  echo "lint: no source of src/ in $database" >&2
  exit 2
fi
tidy_log=$(mktemp)
trap 'rm -f "$tidy_log"' EXIT
if ! printf '%s\n' "${units[@]}" |
    xargs -P "$jobs" -n 1 "$clang_tidy" -p "$build" --quiet > "$tidy_log" 2>&1; then
  failed+=(clang-tidy)
fi
# Keep the findings, drop clang-tidy's per-file tallies.
grep -Ev '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter' \
  "$tidy_log" || true

echo "== mandoc"
man_report=$("$mandoc" -T lint -W warning docs/rempar.1 2>&1) || true
if [[ -n $man_report ]]; then
  echo "$man_report"
  failed+=(mandoc)
fi

if [[ ${#failed[@]} -gt 0 ]]; then
  echo "lint: failed: ${failed[*]}" >&2
  exit 1
fi
echo "lint: clean (${#sources[@]} files formatted, ${#units[@]} checked by clang-tidy, manual page)"
