#!/usr/bin/env bash
# Runs kestrove on the bundled example and says where the summaries are.
set -euo pipefail
build=${1:-build}
cd "$(dirname "$0")/.."
if [ ! -f examples/annotation.gtf ] || [ ! -f examples/reads.bam ]; then
  echo "The example data set is not bundled yet: make example would run"
  echo "  $build/kestrove -G examples/annotation.gtf -B examples/reads.bam -o examples/output"
  exit 0
fi
"$build/kestrove" -G examples/annotation.gtf -B examples/reads.bam -o examples/output
echo
echo "Summaries written to $(pwd)/examples/output:"
ls examples/output/*_summary_*.dat
echo
echo "First lines of the gene summary:"
head -n 6 examples/output/genes_summary_*.dat
