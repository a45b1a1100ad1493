#!/usr/bin/env bash
# Two builds of kestrove on the same inputs, alternately: wall, user CPU and peak RSS medians, and
# whether every summary is byte-identical between them. For a change that must cost nothing and
# change nothing (a refactoring, a new layout).
#
# Usage: bench/versions/run.sh OLD-BINARY NEW-BINARY GTF BAM [kestrove option...]
# Environment: PAIRS (5), SCRATCH (/tmp/kestrove-versions)
# This is a benchmark, not a test: nothing here asserts a time.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/bench/lib.sh"
requireTools /usr/bin/time
[ $# -ge 4 ] || { echo "usage: $0 OLD-BINARY NEW-BINARY GTF BAM [option...]" >&2; exit 2; }
old=$(realpath "$1") new=$(realpath "$2") gtf=$(realpath "$3") bam=$(realpath "$4")
shift 4
pairs=${PAIRS:-5}
scratch=${SCRATCH:-/tmp/kestrove-versions}
rm -rf "$scratch" && mkdir -p "$scratch" && cd "$scratch"

loadAtStart=$(cut -d' ' -f1-3 /proc/loadavg)
identical=yes
for i in $(seq "$pairs"); do
  for side in old new; do
    binary=$old
    [ $side = new ] && binary=$new
    rm -rf "out-$side"
    measure "$side-$i" "$side-$i.result" "$binary" -G "$gtf" -B "$bam" -o "out-$side" "$@"
  done
  for f in out-old/*summary_*.dat; do
    cmp -s "$f" "out-new/$(basename "$f")" || identical=no
  done
done

column() { for i in $(seq "$pairs"); do cut -d' ' -f"$2" "$1-$i.result"; done | median; }
echo "cores $(nproc), load $loadAtStart at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end; $pairs pairs, options: $*"
printf '%-4s %9s %9s %11s\n' "" "wall s" "user s" "peak RSS MB"
for side in old new; do
  printf '%-4s %9.2f %9.2f %11.1f\n' "$side" "$(column $side 1)" "$(column $side 2)" "$(echo "$(column $side 3)" | awk '{print $1 / 1024}')"
done
echo "new / old wall: $(awk -v n="$(column new 1)" -v o="$(column old 1)" 'BEGIN {printf "%.3f", n / o}'), user: $(awk -v n="$(column new 2)" -v o="$(column old 2)" 'BEGIN {printf "%.3f", n / o}')"
echo "summaries identical in every pair: $identical"
