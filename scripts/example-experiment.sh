#!/usr/bin/env bash
# example-experiment.sh BUILD_DIR [CORES]
# Simulates a two-condition, two-replicate experiment, runs the workflow on it
# and says where the matrices and the report are.
set -euo pipefail
build=${1:-build}
cores=${2:-2}
cd "$(dirname "$0")/.."
dir=examples/experiment
bash scripts/simulate-experiment.sh "$build" "$dir"
snakemake -s workflow/Snakefile --cores "$cores" --configfile "$dir/config.yaml" --quiet
echo
echo "Experiment: $(pwd)/$dir/samples.tsv (genes up 4-fold in 'treated': $dir/up_genes.tsv)"
echo "Matrices:   $(pwd)/$dir/results/merged/"
ls "$dir/results/merged"
echo "Report:     $(pwd)/$dir/results/report/report.html (MultiQC: multiqc $dir/results)"
