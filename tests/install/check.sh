#!/usr/bin/env bash
# check.sh PREFIX | --from BUILD_DIR: an installation under PREFIX (or one from
# BUILD_DIR into a scratch folder): the files in place, every program
# answering --version, the usage text holding kestrove --help in full, and a
# smoke run of the installed workflow on a simulated experiment, with the
# programs found from the workflow's place alone (not on PATH, no 'bin' given),
# and the installed cluster tool on one of its sample folders.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ "$1" = --from ]; then
  cmake --install "$2" --prefix "$work/prefix" > /dev/null
  prefix=$work/prefix
else
  prefix=$(cd "$1" && pwd)
fi
fail() { echo "install check: $*" >&2; exit 1; }
doc=$prefix/share/doc/kestrove
flow=$prefix/share/kestrove/workflow
bin=$prefix/bin

for f in "$doc/README.md" "$doc/kestrove.txt" "$flow/Snakefile" "$flow/config.example.yaml" \
  "$flow/scripts/report.py" "$flow/profiles/slurm/config.yaml"; do
  [ -s "$f" ] || fail "$f is missing"
done
[ -x "$flow/profiles/slurm/status.py" ] || fail "the SLURM status script is missing or not executable"
[ ! -e "$bin/simulate" ] || fail "the simulator is installed under its build name"
for program in kestrove kestrove-merge kestrove-cluster kestrove-simulate; do
  out=$("$bin/$program" --version 2>&1) || fail "$program --version failed: $out"
  grep -q '[0-9]\.[0-9]' <<< "$out" || fail "$program --version printed no version: $out"
done
"$bin/kestrove" --help > "$work/help" 2> /dev/null || true
python3 -c 'import sys; sys.exit(open(sys.argv[1]).read() not in open(sys.argv[2]).read())' "$work/help" "$doc/kestrove.txt" ||
  fail "the usage text lacks kestrove --help in full"

# Two samples of a small simulated experiment through the installed workflow.
common=(--genes 12 --fragments 1500 --seed 7)
"$bin/kestrove-simulate" "${common[@]}" --sample-seed 1 --gtf "$work/a.gtf" --bam "$work/s1.bam" --truth "$work/t1" > /dev/null
"$bin/kestrove-simulate" "${common[@]}" --sample-seed 2 --gtf /dev/null --bam "$work/s2.bam" --truth "$work/t2" > /dev/null
printf 'sample\tbam\ns1\t%s\ns2\t%s\n' "$work/s1.bam" "$work/s2.bam" > "$work/samples.tsv"
printf 'gtf: %s\nsamples: %s\noutdir: %s\n' "$work/a.gtf" "$work/samples.tsv" "$work/results" > "$work/config.yaml"
env PATH=/usr/bin:/bin snakemake -s "$flow/Snakefile" --cores 2 --configfile "$work/config.yaml" \
  --directory "$work" > "$work/log" 2>&1 || { tail -n 30 "$work/log" >&2; fail "the installed workflow failed"; }
for s in s1 s2; do
  [ -s "$work/results/$s/genes_summary_$s.dat" ] || fail "the workflow left no summary of $s"
done
[ "$(head -n 1 "$work/results/merged/genes.counts.tsv" | cut -f 4-)" = "$(printf 's1\ts2')" ] ||
  fail "the merged matrix has not the samples' columns"
# The installed cluster tool reads what the installed kestrove writes.
"$bin/kestrove-cluster" "$work/results/s1" > "$work/cluster.log" 2>&1 ||
  { tail -n 5 "$work/cluster.log" >&2; fail "kestrove-cluster failed on the installed kestrove's output"; }
[ -s "$work/results/s1/norm_pdfs.clusters" ] || fail "kestrove-cluster wrote no clusters"
echo "install check: passed ($prefix)"
