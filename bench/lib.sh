# shellcheck shell=bash disable=SC2154
# Helpers shared by the bench scripts that time kestrove against its peer; sourced, not run.
# Expects $root (the source tree); measure() reads $usePerf (1: count instructions with perf stat).

# requireTools TOOL...: stops the script when one is missing.
requireTools() {
  local tool
  for tool in "$@"; do
    command -v "$tool" > /dev/null || { echo "$(basename "$0"): $tool is not installed" >&2; exit 1; }
  done
}

# buildRelease DIR TARGET... [-- CMAKE OPTION...]: a Release build of the targets in $root/DIR.
buildRelease() {
  local dir=$root/$1
  shift
  local -a targets=() options=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do targets+=("$1"); shift; done
  [ $# -gt 0 ] && shift && options=("$@")
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}
  command -v ccache > /dev/null && options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKESTROVE_BUILD_TESTS=OFF -DKESTROVE_BUILD_BENCH=OFF \
    "${options[@]}" > /dev/null
  cmake --build "$dir" -j2 --target "${targets[@]}" > /dev/null
}

# measure TAG RESULT COMMAND...: runs COMMAND under /usr/bin/time -v (and perf stat), output in TAG.out and
# TAG.err; leaves "wall user rss_kb instructions" in RESULT.
measure() {
  local tag=$1 result=$2
  shift 2
  local -a wrapper=()
  # shellcheck disable=SC2054
  [ "${usePerf:-0}" = 1 ] && wrapper=(perf stat -x, -e instructions:u -o "$tag.perf" --)
  /usr/bin/time -v -o "$tag.time" "${wrapper[@]}" "$@" > "$tag.out" 2> "$tag.err"
  local wall user rss instr=-
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s}' "$tag.time")
  user=$(awk -F': ' '/User time/ {print $2}' "$tag.time")
  rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$tag.time")
  [ "${usePerf:-0}" = 1 ] && instr=$(awk -F, '/instructions/ {print $1}' "$tag.perf")
  echo "$wall $user $rss $instr" > "$result"
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
