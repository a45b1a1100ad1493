#!/usr/bin/env bash
# The bounded-memory coordinate sort, with the index written as the output is, against `samtools sort` followed
# by `samtools index`, on an unsorted BAM of random read pairs: one thread each, the same memory bound.
#
#   bench/sort/run.sh [pairs] [memory-mb] [scratch-dir]
#
# Defaults: 2000000 pairs, 768 MB, a scratch directory under ${TMPDIR:-/tmp} (removed at the end unless given).
# PAIRS_OF_RUNS (3) alternated pairs; prints each run and the medians of wall time and peak RSS, with nproc and
# the load average. The input (about 260 bytes a pair) is kept in a given scratch directory and remade only for
# another size. This is a benchmark, not a test: nothing here asserts a time.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/bench/lib.sh"
pairs=${1:-2000000}
memory=${2:-768}
runs=${PAIRS_OF_RUNS:-3}
requireTools samtools /usr/bin/time cmake
if [ -n "${3:-}" ]; then
  scratch=$3
  mkdir -p "$scratch"
else
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/kestrove-sort-bench.XXXXXX")
  trap 'rm -rf "$scratch"' EXIT
fi

buildRelease build-bench-sort random_bam
randomBam=$root/build-bench-sort/random_bam
cd "$scratch"
if [ "$(cat unsorted.made 2>/dev/null)" != "$pairs" ]; then
  "$randomBam" unsorted.bam "$pairs" --seed 1 > /dev/null
  echo "$pairs" > unsorted.made
fi
loadAtStart=$(cut -d' ' -f1-3 /proc/loadavg)

# samtools sort and index as one step, for measure.
samtoolsSortIndex() { samtools sort -m "${memory}M" -o s.bam unsorted.bam && samtools index s.bam; }

for ((i = 1; i <= runs; ++i)); do
  rm -f k.bam k.bam.bai s.bam s.bam.bai
  measure "k$i" "k.$i" "$randomBam" --sort unsorted.bam k.bam --memory-mb "$memory"
  measure "s$i" "s.$i" bash -c "$(declare -f samtoolsSortIndex); memory=$memory; samtoolsSortIndex"
  [ -f k.bam.bai ] && [ -f s.bam.bai ] || { echo "run.sh: a sort left no index" >&2; exit 1; }
  echo "pair $i: kestrove $(cut -d' ' -f1-3 "k.$i"), samtools $(cut -d' ' -f1-3 "s.$i") (wall s, user s, RSS KB)"
done
rm -f k.bam k.bam.bai s.bam s.bam.bai

column() { cat "$1".[0-9]* | awk -v c="$2" '{print $c}' | median; }
echo
echo "Machine: $(nproc) cores; load average $loadAtStart at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end"
echo "Input: $pairs pairs ($((2 * pairs)) records), $(du -m unsorted.bam | cut -f1) MB; memory bound $memory MB;" \
  "medians of $runs alternated pairs"
echo
echo "| | sort and index, wall | user | peak RSS |"
echo "|---|---|---|---|"
echo "| kestrove | $(column k 1) s | $(column k 2) s | $(( $(column k 3) / 1024 )) MB |"
echo "| samtools sort -m ${memory}M + samtools index | $(column s 1) s | $(column s 2) s | $(( $(column s 3) / 1024 )) MB |"
