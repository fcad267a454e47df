#!/usr/bin/env bash
# Runs the test suite of one build folder and ends with one honest line:
#
#   N passed, M failed, K skipped
#
# Each skipped test is named above that line with the reason its GTEST_SKIP
# gave. The status is non-zero when a test failed or did not run, when no
# test ran at all (a build without tests, a filter that matches nothing), and, with
# CI=true, also when a test was skipped that CI is meant to run: only the tests
# matched by tests/ci_allowed_skips may skip there.
#
# Usage: scripts/run_tests.sh BUILD_DIR [extra ctest arguments...]
# (JOBS sets the parallelism; a cross build folder works the same way, its
# emulator comes from the build's own configuration).
set -uo pipefail

build=${1:?usage: run_tests.sh BUILD_DIR [ctest arguments...]}
shift
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$build" && pwd) || exit 2
junit="$build/test-results.xml"
summary="$build/test-summary.txt"   # "N M K", for callers that add runs up
skips="$build/test-skipped.txt"      # the "skipped: ..." lines
rm -f "$junit" "$summary" "$skips"

ctest --test-dir "$build" --output-on-failure -j "${JOBS:-2}" --output-junit "$junit" "$@"
ctest_status=$?

if [ ! -s "$junit" ]; then
  echo "no test results in $junit (ctest exit status $ctest_status)"
  echo "0 passed, 1 failed, 0 skipped"
  exit 1
fi

# One line per test: status<TAB>name<TAB>skip reason (blank unless skipped).
# A test that did not run for any reason but its own GTEST_SKIP (say, a
# missing executable) counts as failed.
results=$(awk '
  function unescape(s) {
    gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s)
    gsub(/&apos;/, "\047", s); gsub(/&amp;/, "\\&", s)
    return s
  }
  function flush() {
    if (name == "") return
    if (status == "run") verdict = "passed"
    else if (status == "notrun" && skipped) verdict = "skipped"
    else verdict = "failed"
    printf "%s\t%s\t%s\n", verdict, name, reason
    name = ""
  }
  /<testcase / {
    flush()
    name = $0; sub(/.*<testcase name="/, "", name); sub(/".*/, "", name); name = unescape(name)
    status = $0; sub(/.* status="/, "", status); sub(/".*/, "", status)
    skipped = 0; reason = ""; in_reason = 0
    next
  }
  /<skipped message="SKIP_REGULAR_EXPRESSION_MATCHED"/ { skipped = 1; next }
  /^\[  SKIPPED \]/ { in_reason = 0; next }
  in_reason { reason = reason (reason == "" ? "" : " ") unescape($0); next }
  /: Skipped$/ { in_reason = 1; next }
  END { flush() }
' "$junit")

# Tests that a label exclusion (-LE LABEL, as make cross-test passes) leaves
# out never reach ctest's results; they count as skipped all the same, named
# with the label that left them out. The caller chose to leave them out, so
# CI does not hold them against the run.
exclusions=""
args=("$@")
for ((i = 0; i + 1 < ${#args[@]}; i++)); do
  [ "${args[i]}" = -LE ] || continue
  label=${args[i + 1]}
  while read -r name; do
    [ -n "$name" ] && exclusions+=$'skipped\t'"$name"$'\t'"not run here: label '$label' left out of this run"$'\tleft-out\n'
  done < <(ctest --test-dir "$build" -N -L "$label" | sed -n 's/^ *Test *#[0-9]*: //p')
done
[ -n "$exclusions" ] && results+=$'\n'"${exclusions%$'\n'}"

count() { grep -c "^$1"$'\t' <<<"$results"; }
passed=$(count passed)
failed=$(count failed)
skipped=$(count skipped)

# CI may skip only the tests whose names match a pattern of this list.
allowed="$here/tests/ci_allowed_skips"
unexpected=0
while IFS=$'\t' read -r verdict name reason why; do
  [ "$verdict" = skipped ] || continue
  echo "skipped: $name: ${reason:-(no reason given)}" | tee -a "$skips"
  if [ "${CI:-}" = true ] && [ "${why:-}" != left-out ] &&
     ! grep -qxE -f <(grep -v -e "^#" -e "^$" "$allowed" 2>/dev/null) <<<"$name"; then
    echo "  CI is meant to run this test"
    unexpected=$((unexpected + 1))
  fi
done <<<"$results"
while IFS=$'\t' read -r verdict name _; do
  [ "$verdict" = failed ] && echo "failed: $name"
done <<<"$results"

touch "$skips"
printf '%s %s %s\n' "$passed" "$failed" "$skipped" >"$summary"
echo "$passed passed, $failed failed, $skipped skipped"
# Tests left out by a label count as skipped, but none of them ran.
ran=$(grep -v $'\tleft-out$' <<<"$results" | grep -c $'^[a-z]*\t')
if [ "$ran" -eq 0 ]; then
  echo "no test ran in $build: a run that tests nothing is not a success" \
       "(is it a test build, made by make test? do the ctest arguments match any test?)"
  exit 1
fi
[ "$ctest_status" -eq 0 ] && [ "$failed" -eq 0 ] && [ "$unexpected" -eq 0 ]
