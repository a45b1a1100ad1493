#!/usr/bin/env bash
# Speed-up of multi-thread runs on this machine:
#  1. the end-to-end data set of bench/e2e/run.sh (2,000 genes, 2 million paired
#     fragments), quantified with --threads 1 and --threads 2 by the development-phase
#     build; both runs must write the same summaries;
#  2. one deferred gene of 1 million fragments: the wall time of one E-step iteration
#     on the block-parallel path with 2 threads against the sequential path
#     (bench/parallel/deferred_estep.cpp, linked against the build's core library);
#  3. the same gene size as a whole run: a simulated single gene of 1 million fragments
#     with --threads 1 and with --threads 2 --frags-threshold 1 (the gene is deferred).
#
# Usage: bench/parallel/run.sh [scratch-dir]        (default /tmp/kestrove-bench)
# Environment: BUILD (build-par: a Release build with the tests, whose
#                tests/kestrove_devphase is the development-phase driver),
#              KESTROVE (a development-phase kestrove to use instead),
#              GENES (2000), FRAGS (2000000), SEED (1): the end-to-end data set,
#              GENE_FRAGS (1000000): fragments of the one large gene,
#              REPEAT (3): runs of each configuration; every run is reported.
# Wall-clock figures suffer from other load on the machine: the load average is
# printed before every measurement, and the fastest of the repeats is the least
# disturbed figure.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
scratch=${1:-/tmp/kestrove-bench}
genes=${GENES:-2000}
frags=${FRAGS:-2000000}
seed=${SEED:-1}
geneFrags=${GENE_FRAGS:-1000000}
repeat=${REPEAT:-3}
build=${BUILD:-build-par}
case $build in /*) ;; *) build=$root/$build ;; esac
kestrove=${KESTROVE:-$build/tests/kestrove_devphase}
simulate=$build/simulate
core=$build/libkestrove_core.a

for file in "$kestrove" "$simulate" "$core"; do
  if [ ! -e "$file" ]; then
    echo "run.sh: $file not found; build first (cmake --build $build)" >&2
    exit 1
  fi
done
# Help ends with exit status 1 by design.
if ! { "$kestrove" --help || true; } | grep -q -- '--threads'; then
  echo "run.sh: $kestrove does not accept --threads; it must be a development-phase build" >&2
  exit 1
fi
if [ ! -x /usr/bin/time ]; then
  echo "run.sh: /usr/bin/time not found (Debian package time)" >&2
  exit 1
fi

mkdir -p "$scratch"
cd "$scratch"

load() { cut -d' ' -f1-3 /proc/loadavg; }

measure() {
  local name=$1
  shift
  /usr/bin/time -f '%e %U %S' -o "$name.time" "$@" >"$name.out" 2>"$name.err" || {
    echo "run.sh: $name failed (see $scratch/$name.err):" >&2
    tail -n 5 "$name.err" >&2
    exit 1
  }
}
wall() { cut -d' ' -f1 "$1.time"; }
cpu() { awk '{ printf "%.2f", $2 + $3 }' "$1.time"; }

# Succeeds when two summaries hold the same fields, numbers allowed to differ by one
# unit of their last printed decimal: a deferred gene's sums are merged in the order
# its blocks finish, which can move a value lying on a rounding boundary.
same_printed() {
  cmp -s "$1" "$2" && return 0
  [ "$(wc -l <"$1")" = "$(wc -l <"$2")" ] || return 1
  paste -d '\n' "$1" "$2" | awk -F'\t' '
    NR % 2 == 1 { n = split($0, a, "\t"); next }
    {
      if (split($0, b, "\t") != n) { bad = 1; exit 1 }
      for (i = 1; i <= n; i++) {
        if (a[i] == b[i]) continue
        p = index(a[i], "."); q = index(b[i], ".")
        if (p == 0 || length(a[i]) - p != length(b[i]) - q) { bad = 1; exit 1 }
        d = a[i] - b[i]; if (d < 0) d = -d
        if (d > 1.001 * 10 ^ -(length(a[i]) - p)) { bad = 1; exit 1 }
        moved++
      }
    }
    END { if (!bad && moved) printf "    %d printed values differ in their last decimal\n", moved }'
}

# Runs kestrove with one and with two threads REPEAT times, alternating, and prints
# every pair and the ratio of the fastest runs.
compare_threads() {
  local label=$1 gtf=$2 bam=$3 options=$4 sample=$5
  local best1= best2=
  for run in $(seq 1 "$repeat"); do
    echo "  load before run $run: $(load)"
    rm -rf out1 out2
    measure one "$kestrove" -G "$gtf" -B "$bam" -o out1 --threads 1
    # shellcheck disable=SC2086
    measure two "$kestrove" -G "$gtf" -B "$bam" -o out2 --threads 2 $options
    for summary in transcripts_summary genes_summary; do
      if ! same_printed "out1/${summary}_$sample.dat" "out2/${summary}_$sample.dat"; then
        echo "run.sh: $label: the two runs wrote different ${summary}_$sample.dat" >&2
        diff "out1/${summary}_$sample.dat" "out2/${summary}_$sample.dat" | head -n 6 >&2
        exit 1
      fi
    done
    printf '  run %d: 1 thread wall %7.2f s (CPU %7.2f s), 2 threads wall %7.2f s (CPU %7.2f s), ratio %.2f\n' \
      "$run" "$(wall one)" "$(cpu one)" "$(wall two)" "$(cpu two)" "$(awk -v a="$(wall two)" -v b="$(wall one)" 'BEGIN { printf "%.2f", a / b }')"
    best1=$(awk -v a="$(wall one)" -v b="${best1:-1e9}" 'BEGIN { print (a < b ? a : b) }')
    best2=$(awk -v a="$(wall two)" -v b="${best2:-1e9}" 'BEGIN { print (a < b ? a : b) }')
  done
  printf '  %s: fastest 1 thread %.2f s, fastest 2 threads %.2f s, ratio %.2f (same summaries)\n' \
    "$label" "$best1" "$best2" "$(awk -v a="$best2" -v b="$best1" 'BEGIN { printf "%.2f", a / b }')"
}

echo "Machine: $(nproc) processors, load average $(load)"
echo "Driver: $kestrove"

# 1. The end-to-end data set, shared with bench/e2e/run.sh.
dataset="genes=$genes fragments=$frags seed=$seed"
if [ "$(cat dataset.txt 2>/dev/null)" != "$dataset" ] || [ ! -f ann.gtf ] || [ ! -f reads.bam.bai ]; then
  echo "Simulating $genes genes and $frags paired fragments (seed $seed) in $scratch"
  rm -f dataset.txt
  "$simulate" --genes "$genes" --fragments "$frags" --seed "$seed" --threads 2 \
    --gtf ann.gtf --bam reads.bam --truth truth.tsv
  echo "$dataset" > dataset.txt
else
  echo "Reusing the data set in $scratch ($dataset)"
fi
echo "1. End-to-end data set ($dataset): --threads 2 against --threads 1"
compare_threads "end-to-end" ann.gtf reads.bam "" reads

# 2. The E-step of one deferred gene.
estep=$scratch/deferred_estep
if [ ! -x "$estep" ] || [ "$estep" -ot "$core" ] || [ "$estep" -ot "$root/bench/parallel/deferred_estep.cpp" ] \
   || [ "$estep" -ot "$root/bench/SyntheticGene.h" ]; then
  echo "Compiling deferred_estep against $core"
  # The flags of the core library's Release build: -O2, no contraction of floating-point operations.
  g++ -std=c++20 -O2 -DNDEBUG -ffp-contract=off -Wall -Wextra -I"$root/include" \
    "$root/bench/parallel/deferred_estep.cpp" "$core" \
    -lboost_thread -lboost_system $(pkg-config --libs htslib) -lz -pthread -o "$estep"
fi
echo "2. E-step of one deferred gene of $geneFrags fragments: 2 threads against sequential (load $(load))"
"$estep" "$geneFrags" 2 $((repeat + 2)) | sed 's/^/  /'

# 3. The same gene as a whole run.
mkdir -p one-gene
cd one-gene
geneSet="genes=1 fragments=$geneFrags seed=$seed"
if [ "$(cat dataset.txt 2>/dev/null)" != "$geneSet" ] || [ ! -f ann.gtf ] || [ ! -f reads.bam.bai ]; then
  echo "Simulating one gene of $geneFrags paired fragments (seed $seed) in $scratch/one-gene"
  rm -f dataset.txt
  "$simulate" --genes 1 --fragments "$geneFrags" --seed "$seed" --threads 2 \
    --gtf ann.gtf --bam reads.bam --truth truth.tsv
  echo "$geneSet" > dataset.txt
fi
echo "3. Whole run of one gene of $geneFrags fragments: deferred with --threads 2 against --threads 1"
compare_threads "one deferred gene" ann.gtf reads.bam "--frags-threshold 1" reads
