#!/usr/bin/env bash
# kestrove against `stringtie -e` (Debian package stringtie) on the same BAM and GTF.
#
# Builds the release binary (and the development build for the two-thread runs),
# simulates a realistic data set (overlapping multi-isoform loci, skewed expression),
# then runs the two programs alternately, PAIRS pairs each, one thread and two
# threads, and prints the median wall-time ratio, user CPU and peak RSS of both.
# A depth series follows (0.5, 1, 2, 4 M fragments: wall, peak RSS, largest locus).
# With AIRWAY=DIR the two airway samples of DIR are compared as well.
#
# Usage: bench/peer/run.sh [scratch-dir]        (default /tmp/kestrove-peer)
# Environment: PAIRS (3), GENES (2048), FRAGS (2000000), SEED (14),
#              DEPTHS ("500000 1000000 2000000 4000000"; empty to skip),
#              AIRWAY (directory with the airway BAMs and GTF; unset to skip),
#              PERF (1: also count instructions with perf stat when perf is installed)
# This is a benchmark, not a test: nothing here asserts a time.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
scratch=${1:-/tmp/kestrove-peer}
pairs=${PAIRS:-3}
genes=${GENES:-2048}
frags=${FRAGS:-2000000}
seed=${SEED:-14}
depths=${DEPTHS-500000 1000000 2000000 4000000}
usePerf=${PERF:-1}

source "$root/bench/lib.sh"
requireTools stringtie /usr/bin/time cmake
# Virtual machines often expose no hardware counters: perf then reports "<not supported>".
if [ "$usePerf" = 1 ] && ! perf stat -x, -e instructions:u true 2>&1 | grep -q '^[0-9]'; then
  echo "perf cannot count instructions here; user CPU time is the load-resistant figure"
  usePerf=0
fi

echo "Machine: $(nproc) cores; $(uptime)"
buildRelease build-peer kestrove simulate
buildRelease build-peer-dev kestrove -- -DKESTROVE_DEVELOPMENT_PHASE=ON
kestrove=$root/build-peer/kestrove
kestroveDev=$root/build-peer-dev/kestrove
simulate=$root/build-peer/simulate

mkdir -p "$scratch"
cd "$scratch"

# Simulates PREFIX.gtf / PREFIX.bam once for the given fragment count.
makeSet() {
  local prefix=$1 count=$2
  if [ ! -f "$prefix.bam.bai" ] || [ "$(cat "$prefix.made" 2>/dev/null)" != "$genes $count $seed" ]; then
    "$simulate" --realistic --genes "$genes" --chromosomes 4 --fragments "$count" --seed "$seed" --threads 2 \
      --out-prefix "$prefix" > /dev/null
    echo "$genes $count $seed" > "$prefix.made"
  fi
}

# compare LABEL GTF BAM "KESTROVE ARGS" "STRINGTIE ARGS"
compare() {
  local label=$1 gtf=$2 bam=$3 kArgs=$4 sArgs=$5
  local i
  rm -f "$label".k.* "$label".s.*
  for ((i = 1; i <= pairs; ++i)); do
    measure "$label.k$i" "$label.k.$i" $kArgs -G "$gtf" -B "$bam" -o "out-$label"
    measure "$label.s$i" "$label.s.$i" stringtie $sArgs -G "$gtf" -o "$label.stringtie.gtf" "$bam"
  done
  for ((i = 1; i <= pairs; ++i)); do
    read -r kWall kUser kRss _ < "$label.k.$i"
    read -r sWall sUser sRss _ < "$label.s.$i"
    echo "$label pair $i: kestrove ${kWall} s wall, ${kUser} s user, ${kRss} KB; stringtie ${sWall} s wall, ${sUser} s user, ${sRss} KB"
  done
  local kw sw
  kw=$(cat "$label".k.[0-9]* | awk '{print $1}' | median)
  sw=$(cat "$label".s.[0-9]* | awk '{print $1}' | median)
  printf '%-28s wall median kestrove %6.2f s, stringtie %6.2f s, ratio %.2f\n' "$label" "$kw" "$sw" \
    "$(awk -v a="$kw" -v b="$sw" 'BEGIN {print (b > 0 ? a / b : 0)}')"
  # The host's load comes and goes: the ratio within each pair is the steadier figure.
  printf '%-28s wall ratio within pairs: median %.2f\n' "" "$(for ((i = 1; i <= pairs; ++i)); do
    paste "$label.k.$i" "$label.s.$i" | awk '{print ($5 > 0 ? $1 / $5 : 0)}'; done | median)"
  printf '%-28s user median kestrove %6.2f s, stringtie %6.2f s, ratio %.2f\n' "" \
    "$(cat "$label".k.[0-9]* | awk '{print $2}' | median)" "$(cat "$label".s.[0-9]* | awk '{print $2}' | median)" \
    "$(awk -v a="$(cat "$label".k.[0-9]* | awk '{print $2}' | median)" \
         -v b="$(cat "$label".s.[0-9]* | awk '{print $2}' | median)" 'BEGIN {print (b > 0 ? a / b : 0)}')"
  printf '%-28s peak RSS kestrove %6.1f MB, stringtie %6.1f MB\n' "" \
    "$(cat "$label".k.[0-9]* | awk '{print $3}' | median | awk '{print $1 / 1024}')" \
    "$(cat "$label".s.[0-9]* | awk '{print $3}' | median | awk '{print $1 / 1024}')"
  if [ "$usePerf" = 1 ]; then
    printf '%-28s instructions kestrove %.3g, stringtie %.3g\n' "" \
      "$(cat "$label".k.[0-9]* | awk '{print $4}' | median)" "$(cat "$label".s.[0-9]* | awk '{print $4}' | median)"
  fi
}

makeSet real "$frags"
echo "Data set: $genes genes, $(awk -F'\t' '$3 == "transcript"' real.gtf | wc -l) transcripts, $frags pairs of 2x75"
compare one-thread real.gtf real.bam "$kestrove" "-e"
compare two-threads real.gtf real.bam "$kestroveDev --threads 2" "-e -p 2"

if [ -n "${AIRWAY:-}" ]; then
  for sample in SRR1039508 SRR1039509; do
    compare "airway-$sample" "$AIRWAY/Homo_sapiens.GRCh37.75_subset.gtf" "$AIRWAY/${sample}_subset.bam" "$kestrove" "-e"
  done
fi

if [ -n "$depths" ]; then
  echo
  printf '%-10s %9s %9s %11s %16s\n' fragments wall user "peak RSS" "largest locus"
  for count in $depths; do
    makeSet "depth$count" "$count"
    measure "depth$count" "depth$count.result" "$kestrove" -G "depth$count.gtf" -B "depth$count.bam" -o "out-depth$count"
    read -r wall user rss _ < "depth$count.result"
    largest=$(awk -F'\t' 'NR > 1 && $4 > m {m = $4} END {print m}' out-depth"$count"/genes_summary_*.dat)
    printf '%-10s %8.2fs %8.2fs %8.1f MB %16s\n' "$count" "$wall" "$user" "$(awk -v r="$rss" 'BEGIN {print r / 1024}')" "$largest"
  done
fi
echo "Load after the runs: $(uptime)"
