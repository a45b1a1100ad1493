#!/usr/bin/env bash
# Times the bounded-memory coordinate sort on an unsorted BAM of random read pairs.
#
#   bench/sort/run.sh [build-dir] [pairs] [memory-mb]
#
# Defaults: build-bench-sort (configured as Release when new), 2000000 pairs, 768 MB. The input and output go to
# a scratch directory under ${TMPDIR:-/tmp}, removed at the end.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build-bench-sort}
pairs=${2:-2000000}
memory=${3:-768}

# An existing build directory is used as configured.
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTROVE_BUILD_TESTS=OFF -DKESTROVE_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j 2 --target random_bam >/dev/null

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kestrove-sort-bench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

"$build/random_bam" "$scratch/unsorted.bam" "$pairs" --seed 1
input_mb=$(du -m "$scratch/unsorted.bam" | cut -f1)

/usr/bin/time -v "$build/random_bam" --sort "$scratch/unsorted.bam" "$scratch/sorted.bam" --memory-mb "$memory" \
    2>"$scratch/time.txt" | tee "$scratch/sort.txt"

wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$scratch/time.txt")
rss_kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$scratch/time.txt")
user=$(sed -n 's/.*User time (seconds): //p' "$scratch/time.txt")
system=$(sed -n 's/.*System time (seconds): //p' "$scratch/time.txt")

echo "pairs:          $pairs ($((2 * pairs)) records)"
echo "input BAM:      ${input_mb} MB"
echo "memory limit:   ${memory} MB"
echo "wall time:      $wall"
echo "user / system:  ${user} s / ${system} s"
echo "peak RSS:       $((rss_kb / 1024)) MB"
echo "nproc:          $(nproc)"
