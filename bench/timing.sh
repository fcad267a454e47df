# Shared by the page-cache and cold-cache benchmarks (sourced, not run):
# builds, generated data, page-cache states, and timing that alternates the
# commands it compares. The sourcing script sets BENCH_NAME (its name in
# messages), RUNS and KEEP before sourcing.
#
# Timing: bench_add registers the commands of a group; bench_group runs one
# untimed warm-up of each (peak RSS under GNU time), then RUNS rounds, each
# round one timed run of every command in turn (A B C A B C ...), so that a
# change of load during the group touches all of them alike. The medians go
# into MED[KEY] (wall-clock seconds) and CPU[KEY] (user + system seconds,
# which other work on the machine disturbs less), the peak RSS in KiB into
# RSS[KEY].
# shellcheck shell=bash disable=SC2034  # MED, CPU and RSS are read by the sourcing script

note() { printf '== %s\n' "$*" >&2; }
die() { printf '%s: %s\n' "$BENCH_NAME" "$*" >&2; exit 1; }

[[ ${RUNS:-} =~ ^[1-9][0-9]*$ ]] || die "RUNS must be a positive integer (got '${RUNS:-}')"

# The default walk is what the rows without "read()" time; a REMPAR_WALK
# left in the caller's environment would silently change them.
if [[ -n ${REMPAR_WALK:-} ]]; then note "ignoring REMPAR_WALK=$REMPAR_WALK from the environment"; fi
unset REMPAR_WALK

bench_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
have_gtime=0
if [[ -x /usr/bin/time ]] && /usr/bin/time --version 2>&1 | grep -q GNU; then have_gtime=1
else note "GNU time not found at /usr/bin/time (Debian package time): no peak RSS column"; fi

stamp() { if [[ -n ${EPOCHREALTIME:-} ]]; then REPLY=$EPOCHREALTIME; else REPLY=$(date +%s.%N); fi; }
load_average() { cut -d ' ' -f 1-3 /proc/loadavg; }
median() {
  sort -g | awk '{ a[NR] = $1 } END { printf "%.6f", NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}

# A scratch folder under /tmp in $work, removed at exit unless KEEP=1.
make_workdir() {  # make_workdir PREFIX
  work=$(mktemp -d "/tmp/$1.XXXXXX")
  trap cleanup_workdir EXIT
  trap 'exit 130' INT TERM
}
cleanup_workdir() {
  cd /
  if [[ ${KEEP:-0} == 1 ]]; then note "kept $work"; else rm -rf "$work"; fi
}
need_disk() {  # need_disk MIB
  local free
  free=$(df -Pm "$work" | awk 'NR == 2 { print $4 }')
  ((free >= $1)) || die "need ~$1 MiB free under /tmp, have $free MiB"
}

# A Release build of the tool in $bench_root/DIR; CMAKE_ARGS (from make's
# command line, e.g. a compiler launcher) are added to every configure.
build() {  # build DIR [cmake options...]
  local dir=$1 log="$work/build-$1.log"
  shift
  note "building $dir"
  # shellcheck disable=SC2086  # CMAKE_ARGS is a list of options
  if ! { cmake -S "$bench_root" -B "$bench_root/$dir" -DCMAKE_BUILD_TYPE=Release -DREMPAR_TESTS=OFF \
           ${CMAKE_ARGS:-} "$@" &&
         cmake --build "$bench_root/$dir" -j 2 --target rempar; } >"$log" 2>&1; then
    cat "$log" >&2
    die "build of $dir failed"
  fi
}

# BYTES of pseudo-random data in NAME, the same every time where openssl is
# installed (an AES-CTR keystream, fast), written to disk, not sparse.
generate() {  # generate NAME BYTES
  note "generating $(($2 >> 20)) MiB of pseudo-random data in $work/$1"
  if command -v openssl >/dev/null 2>&1; then
    (openssl enc -aes-128-ctr -nosalt -pbkdf2 -pass pass:rempar-bench </dev/zero 2>/dev/null || true) |
      head -c "$2" >"$1"
  else
    head -c "$2" /dev/urandom >"$1"
  fi
  [[ $(stat -c %s "$1") == "$2" ]] || die "could not generate $2 bytes of data"
}

# Page-cache states. How a file sits in the cache decides how fast it can be
# walked: read back from disk it lies mostly in large folios (state L).
# Dirty pages cannot be evicted, hence the sync before the drop.
cache_state_L() {  # cache_state_L FILE...: evicted, then read once
  local f
  sync
  for f; do dd if="$f" iflag=nocache count=0 status=none; done
  cat "$@" >/dev/null
  cache_report "state L" "$@"
}
cache_report() {  # cache_report LABEL FILE...: how much of each file is cached
  local label=$1
  shift
  command -v fincore >/dev/null 2>&1 || return 0
  note "$label: $(fincore -n -o RES,FILE "$@" | awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $2, $1 }') resident"
}
drop_caches() { sync; echo 3 >/proc/sys/vm/drop_caches; }

# ------------------------------------------------------------- timing
declare -A MED CPU RSS PREP WALK CMD TEXT
GROUP=() OUTPUTS=()

# bench_add KEY PREP WALK COMMAND...: PREP is shell run untimed before every
# run (':' for nothing); WALK is "default" or "read" (REMPAR_WALK=read, the
# read() walk, set without an extra process between the timer and the tool).
bench_add() {
  local key=$1
  GROUP+=("$key")
  PREP[$key]=$2 WALK[$key]=$3
  shift 3
  CMD[$key]=$(printf '%q ' "$@")
  TEXT[$key]="$*"
}

# bench_walks STEM EXT INPUT PREP [OPTIONS...]: the tool on INPUT, in the
# builds $fast and $avx2, each with its default walk and the read() walk:
# keys STEM, STEM_read, STEM_avx2, STEM_avx2_read. Each writes its own output
# (-o STEM[.avx2][.read].EXT), named in OUTPUTS for the caller to compare.
bench_walks() {
  local stem=$1 ext=$2 input=$3 prep=$4 key build walk tag
  shift 4
  for build in fast avx2; do
    for walk in default read; do
      key=$stem tag=$stem
      if [[ $build == avx2 ]]; then key+=_avx2 tag+=.avx2; fi
      if [[ $walk == read ]]; then key+=_read tag+=.read; fi
      bench_add "$key" "rm -f $tag.$ext; $prep" "$walk" "${!build}" "$@" -o "$tag.$ext" "$input"
      OUTPUTS+=("$tag.$ext")
    done
  done
}

bench_group() {  # bench_group LABEL: runs the commands added since the last group
  local key i n=${#GROUP[@]}
  note "measuring $1: $n command$( ((n == 1)) || echo s), alternating (1 + $RUNS runs each)"
  for key in "${GROUP[@]}"; do
    : >"$work/times.$key"
    : >"$work/cpu.$key"
    bench_once "$key" warm-up
  done
  for ((i = 0; i < RUNS; i++)); do
    for key in "${GROUP[@]}"; do bench_once "$key" timed; done
  done
  for key in "${GROUP[@]}"; do
    MED[$key]=$(awk '{ printf "%.6f\n", $2 - $1 }' "$work/times.$key" | median)
    CPU[$key]=$(awk '{ printf "%.6f\n", $1 + $2 }' "$work/cpu.$key" | median)
  done
  GROUP=()
}

bench_once() {  # bench_once KEY warm-up|timed
  local key=$1 t0 rc=0
  local -a cmd
  eval "cmd=(${CMD[$key]})"
  eval "${PREP[$key]}"
  if [[ ${WALK[$key]} == read ]]; then local -x REMPAR_WALK=read; fi
  if [[ $2 == warm-up ]]; then
    if ((have_gtime)); then
      /usr/bin/time -f %M -o "$work/rss" "${cmd[@]}" >/dev/null 2>"$work/err" || cmd_failed $? "$key"
      RSS[$key]=$(tail -n 1 "$work/rss")
    else
      "${cmd[@]}" >/dev/null 2>"$work/err" || cmd_failed $? "$key"
    fi
    return 0
  fi
  stamp; t0=$REPLY
  # bash's `time` adds no process; it reports user and system CPU seconds.
  { TIMEFORMAT='%3U %3S'; time "${cmd[@]}" >/dev/null 2>"$work/err"; } 2>>"$work/cpu.$key" && rc=0 || rc=$?
  stamp
  ((rc == 0)) || cmd_failed "$rc" "$key"
  printf '%s %s\n' "$t0" "$REPLY" >>"$work/times.$key"
}

cmd_failed() {  # cmd_failed STATUS KEY
  printf '%s: command failed (exit %s): %s%s\n' "$BENCH_NAME" "$1" \
    "$([[ ${WALK[$2]} == read ]] && echo 'REMPAR_WALK=read ')" "${TEXT[$2]}" >&2
  sed 's/\r/\n/g' "$work/err" | tail -n 20 >&2
  exit 1
}

# Files the compared commands wrote must be byte-identical; exit 1 if not.
same_files() {  # same_files WHAT REFERENCE FILE...
  local what=$1 ref=$2 f
  shift 2
  for f; do cmp -s "$ref" "$f" || die "$what: $f differs from $ref"; done
}

# Formatting helpers for the report.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
goal() { printf '  %-58s %-22s %s\n' "$1" "$2" "$3"; }
verdict() { awk "BEGIN { exit !($1) }" && echo PASS || echo MISS; }
