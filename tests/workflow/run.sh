#!/usr/bin/env bash
# run.sh BUILD_DIR: the many-sample workflow on a simulated experiment, locally
# and through a stand-in batch system; a failed sample is redone alone; a rerun
# after success does nothing; the report and the MultiQC content of the local run.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
cd "$(dirname "$0")/../.."
cmake --build "$build" --target kestrove kestrove-merge simulate > /dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work
bash scripts/simulate-experiment.sh "$build" "$work/exp"
python=/usr/bin/python3
run() { snakemake -s workflow/Snakefile --directory "$work/exp" --configfile "$work/exp/config.yaml" "$@" > "$work/log" 2>&1; }
fail() { echo "workflow test: $*" >&2; tail -n 30 "$work/log" >&2; exit 1; }

bam=$work/exp/data/control_2.bam
mv "$bam" "$bam.good" && echo "not a BAM file" > "$bam"
run --cores 2 --keep-going && fail "a broken BAM file did not fail the run"
[ ! -e "$work/exp/results/control_2" ] && [ -d "$work/exp/results/control_1" ] ||
  fail "the failed sample's folder was kept or another sample's lost"
mv "$bam.good" "$bam"
run --cores 2 || fail "run after the repair failed"
[ "$(grep -c '^rule quantify:' "$work/log")" = 1 ] || fail "the repaired run redid more than the failed sample"
"$python" tests/workflow/check.py "$work/exp" || fail "local run"
"$python" tests/workflow/report_check.py "$work/exp" || fail "report"
run --cores 2 && grep -q 'Nothing to be done' "$work/log" || fail "a rerun after success did work"

rm -rf "$work/exp/results" "$work/exp/.snakemake"
run --jobs 2 --cluster "$PWD/tests/workflow/local-submit.sh" --latency-wait 30 --max-status-checks-per-second 5 ||
  fail "cluster run"
"$python" tests/workflow/check.py "$work/exp" || fail "cluster run"
echo "workflow test: passed"
