#!/usr/bin/env bash
# End-to-end benchmark: simulates an experiment, quantifies it with kestrove
# under /usr/bin/time -v and, when stringtie is installed (Debian package
# stringtie), with `stringtie -e` on the same files for comparison.
#
# Usage: bench/e2e/run.sh [scratch-dir]        (default /tmp/kestrove-bench)
# Environment: GENES (2000), FRAGS (2000000 paired fragments), SEED (1),
#              BUILD (build directory holding kestrove and simulate; default build),
#              REPEAT (1: how many times each program runs; every run is reported)
# The data set is kept in the scratch directory and reused while GENES, FRAGS
# and SEED stay the same.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
scratch=${1:-/tmp/kestrove-bench}
genes=${GENES:-2000}
frags=${FRAGS:-2000000}
seed=${SEED:-1}
build=${BUILD:-build}
repeat=${REPEAT:-1}
case $build in /*) ;; *) build=$root/$build ;; esac

simulate=$build/simulate
kestrove=$build/kestrove
for exe in "$simulate" "$kestrove"; do
  if [ ! -x "$exe" ]; then
    echo "run.sh: $exe not found; build first (cmake --build $build)" >&2
    exit 1
  fi
done
if [ ! -x /usr/bin/time ]; then
  echo "run.sh: /usr/bin/time not found (Debian package time)" >&2
  exit 1
fi

mkdir -p "$scratch"
cd "$scratch"

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
echo "BAM: $(du -h reads.bam | cut -f1), annotation: $(grep -c $'\ttranscript\t' ann.gtf) transcripts"

# Runs a command under /usr/bin/time -v; its output goes to NAME.out, NAME.err
# and NAME.time. Returns the command's exit status.
measure() {
  local name=$1
  shift
  local status=0
  /usr/bin/time -v -o "$name.time" "$@" >"$name.out" 2>"$name.err" || status=$?
  return $status
}

wall_seconds() {
  awk -F': ' '/Elapsed \(wall clock\)/ {
    n = split($2, p, ":"); s = 0
    for (i = 1; i <= n; i++) s = s * 60 + p[i]
    printf "%.2f", s }' "$1.time"
}
cpu_seconds() {
  awk -F': ' '/User time/ {u = $2} /System time/ {s = $2} END {printf "%.2f", u + s}' "$1.time"
}
peak_mb() {
  awk -F': ' '/Maximum resident set size/ {printf "%.1f", $2 / 1024}' "$1.time"
}
report() {
  printf '%-10s wall %9s s   CPU %9s s   peak RSS %9s MB\n' "$1" "$(wall_seconds "$1")" "$(cpu_seconds "$1")" "$(peak_mb "$1")"
}

echo "Machine: $(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg)"

# Pearson correlation of the estimated abundances with the true isoform proportions,
# over genes with at least 300 fragments: a wrong run shows up here, not in the timings.
accuracy() {
  awk -F'\t' 'FNR == 1 { next }
    NR == FNR { gene[$1] = $2; frags[$1] = $4; total[$2] += $4; next }
    ($1 in frags) && total[gene[$1]] >= 300 {
      x = frags[$1] / total[gene[$1]]; y = $7
      n++; sx += x; sy += y; sxx += x * x; syy += y * y; sxy += x * y }
    END { if (n > 1) printf "abundance vs truth: Pearson %.3f over %d transcripts\n", (n * sxy - sx * sy) / sqrt((n * sxx - sx * sx) * (n * syy - sy * sy)), n }' \
    truth.tsv out/transcripts_summary_reads.dat
}

for run in $(seq 1 "$repeat"); do
  rm -rf out
  echo "Running ($run/$repeat): kestrove -G ann.gtf -B reads.bam -o out"
  if ! measure kestrove "$kestrove" -G ann.gtf -B reads.bam -o out; then
    echo "run.sh: kestrove failed (see $scratch/kestrove.err):" >&2
    tail -n 5 kestrove.err >&2
    exit 1
  fi
  report kestrove
  accuracy

  if command -v stringtie >/dev/null 2>&1; then
    echo "Running ($run/$repeat): stringtie -e -G ann.gtf reads.bam -o st.gtf"
    if ! measure stringtie stringtie -e -G ann.gtf reads.bam -o st.gtf; then
      echo "run.sh: stringtie failed (see $scratch/stringtie.err)" >&2
      exit 1
    fi
    report stringtie
    awk -v k="$(wall_seconds kestrove)" -v s="$(wall_seconds stringtie)" \
      'BEGIN { if (s > 0) printf "wall time ratio kestrove / stringtie: %.2f\n", k / s; else print "stringtie took no measurable time" }'
  else
    echo "stringtie is not installed (Debian package stringtie): no comparison run."
  fi
done
