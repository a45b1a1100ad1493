#!/usr/bin/env bash
# simulate-experiment.sh BUILD_DIR DIR
# A two-condition, two-replicate experiment from the simulator: one annotation,
# four BAM files, and in condition "treated" the genes of DIR/up_genes.tsv
# expressed four times higher. Writes DIR/samples.tsv and DIR/config.yaml for
# the workflow (results in DIR/results).
set -euo pipefail
build=$(cd "$1" && pwd)
mkdir -p "$2/data"
dir=$(cd "$2" && pwd)
common=(--genes 40 --fragments 6000 --seed 2024)

# Every fourth gene goes up in the treated condition; the others stay.
: > "$dir/up_genes.tsv"
for g in $(seq 2 4 40); do printf 'SIMG%05d\t4\n' "$g" >> "$dir/up_genes.tsv"; done

"$build/simulate" "${common[@]}" --sample-seed 11 --gtf "$dir/data/annotation.gtf" \
    --bam "$dir/data/control_1.bam" --truth "$dir/data/control_1.truth.tsv"
"$build/simulate" "${common[@]}" --sample-seed 12 --gtf /dev/null \
    --bam "$dir/data/control_2.bam" --truth "$dir/data/control_2.truth.tsv"
for rep in 1 2; do
  "$build/simulate" "${common[@]}" --sample-seed "2$rep" --scale "$dir/up_genes.tsv" --gtf /dev/null \
      --bam "$dir/data/treated_$rep.bam" --truth "$dir/data/treated_$rep.truth.tsv"
done

printf 'sample\tbam\tcondition\n' > "$dir/samples.tsv"
for s in control_1 control_2 treated_1 treated_2; do
  printf '%s\t%s\t%s\n' "$s" "$dir/data/$s.bam" "${s%_*}" >> "$dir/samples.tsv"
done
cat > "$dir/config.yaml" <<YAML
gtf: $dir/data/annotation.gtf
samples: $dir/samples.tsv
outdir: $dir/results
options: ""
threads: 2
merge_annot: true
bin: $build
YAML
