#!/usr/bin/env bash
# kestrove against `stringtie -e` (Debian package stringtie) at genome scale and on one very deep gene.
#
# Simulates three sets with tools/simulate, then runs the two programs alternately, PAIRS pairs per row,
# at one and at two threads, with /usr/bin/time for wall, user CPU and peak RSS:
#   genome  --realistic, GENOME_GENES genes on 24 chromosomes, GENOME_PAIRS pairs 2x75
#   real    a realistic annotation of REAL_GENES genes on 2 chromosomes, REAL_PAIRS pairs 2x75
#   deep    the same annotation, DEEP_PAIRS pairs 2x100, of which about DEEP_FRAGS come from its first
#           gene (WIDE isoforms, raised with --scale)
#   gene    that gene alone: kestrove -L with its id on the deep set, the peer on a GTF of that gene only
# Prints one table (medians of wall and peak RSS, the ratio of the medians and the median of the ratios
# within pairs) with the core count and the load average before and after.
#
# Usage: bench/scale/run.sh [scratch-dir]        (default /tmp/kestrove-scale)
# Environment: SCALE (1: multiplies every gene and pair count below, e.g. 0.01 for a smoke run),
#              ROWS (the sets timed: "genome real deep gene"), PAIRS (3), SEED (25), WIDE (26), GENOME_GENES (60000), GENOME_PAIRS (20000000),
#              REAL_GENES (1500), REAL_PAIRS (2000000), DEEP_PAIRS (4000000), DEEP_FRAGS (1040000)
# The sets are kept in the scratch directory and remade only when their parameters change.
# This is a benchmark, not a test: nothing here asserts a time.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
scratch=${1:-/tmp/kestrove-scale}
source "$root/bench/lib.sh"
requireTools stringtie /usr/bin/time cmake

scale=${SCALE:-1}
pairs=${PAIRS:-3}
rowSets=${ROWS:-genome real deep gene}
seed=${SEED:-25}
wide=${WIDE:-26}
scaled() { awk -v n="$1" -v s="$scale" -v least="$2" 'BEGIN {v = int(n * s + 0.5); print (v < least ? least : v)}'; }
genomeGenes=$(scaled "${GENOME_GENES:-60000}" 48)
genomePairs=$(scaled "${GENOME_PAIRS:-20000000}" 1000)
realGenes=$(scaled "${REAL_GENES:-1500}" 10)
realPairs=$(scaled "${REAL_PAIRS:-2000000}" 1000)
deepPairs=$(scaled "${DEEP_PAIRS:-4000000}" 1000)
deepFrags=$(scaled "${DEEP_FRAGS:-1040000}" 250)
deepGene=SIMG00001

loadAtStart=$(cut -d' ' -f1-3 /proc/loadavg)
buildRelease build-peer kestrove simulate
kestrove=$root/build-peer/kestrove
simulate=$root/build-peer/simulate
mkdir -p "$scratch"
cd "$scratch"

# makeSet PREFIX SIMULATE-OPTION...: PREFIX.gtf / PREFIX.bam, made once for these options.
makeSet() {
  local prefix=$1
  shift
  if [ ! -f "$prefix.bam.bai" ] || [ "$(cat "$prefix.made" 2>/dev/null)" != "$* --seed $seed" ]; then
    local began=$SECONDS
    "$simulate" "$@" --seed "$seed" --threads 2 --out-prefix "$prefix" > /dev/null
    echo "$* --seed $seed" > "$prefix.made"
    echo "made $prefix in $((SECONDS - began)) s: $*"
  fi
}

# geneFragments TRUTH: fragments drawn from the deep gene.
geneFragments() { awk -F'\t' -v g="$deepGene" '$2 == g {n += $4} END {print n + 0}' "$1"; }

# The factor for --scale that gives the deep gene about deepFrags of deepPairs: a pilot draw (with the deep set's
# read length) measures the gene's share s under a trial factor f, and f * (1 - s) / s is the gene's weight against
# the rest. The share depends on more than the weight, so the factor is refined until a pilot draw is within 1 %.
deepFactor() {
  local factor=1 pilot n next
  pilot=$(( deepPairs < 200000 ? deepPairs : 200000 ))
  for _ in 1 2 3 4 5 6 7 8; do
    printf '%s\t%s\n' "$deepGene" "$factor" > pilot.scale
    "$simulate" --realistic --genes "$realGenes" --chromosomes 2 --wide-gene "$wide" --seed "$seed" \
      --fragments "$pilot" --read-length 100 --scale pilot.scale --unsorted --out-prefix pilot > /dev/null
    n=$(geneFragments pilot.truth.tsv)
    if [ "$n" -lt 50 ]; then
      factor=$(awk -v f="$factor" 'BEGIN {print f * 1000}')
    elif [ "$n" -ge "$pilot" ]; then
      factor=$(awk -v f="$factor" 'BEGIN {print f / 1000}')
    else
      next=$(awk -v f="$factor" -v n="$n" -v p="$pilot" -v t="$deepFrags" -v d="$deepPairs" \
        'BEGIN {s = n / p; printf "%.6g %d\n", f * (1 - s) / s * t / (d - t), (s * d > 0.99 * t && s * d < 1.01 * t)}')
      if [ "${next#* }" = 1 ]; then
        rm -f pilot.*
        echo "$factor"
        return
      fi
      factor=${next% *}
    fi
  done
  echo "run.sh: no factor gives $deepGene $deepFrags of the fragments" >&2
  exit 1
}

makeSet genome --realistic --genes "$genomeGenes" --chromosomes 24 --fragments "$genomePairs"
makeSet real --realistic --genes "$realGenes" --chromosomes 2 --wide-gene "$wide" --fragments "$realPairs"
if [ "$(cat deep.made 2>/dev/null)" != "$realGenes $wide $deepPairs $deepFrags $seed" ] || [ ! -f deep.bam.bai ]; then
  printf '%s\t%s\n' "$deepGene" "$(deepFactor)" > deep.scale
  makeSet deep --realistic --genes "$realGenes" --chromosomes 2 --wide-gene "$wide" --fragments "$deepPairs" \
    --read-length 100 --scale deep.scale
  echo "$realGenes $wide $deepPairs $deepFrags $seed" > deep.made
fi
echo "$deepGene" > gene.list
awk -F'\t' -v g="gene_id \"$deepGene\";" 'index($9, g)' deep.gtf > gene.gtf
isoforms=$(awk -F'\t' -v g="$deepGene" '$2 == g' deep.truth.tsv | wc -l)
echo "Deep gene: $deepGene, $isoforms isoforms, $(geneFragments deep.truth.tsv) of $deepPairs fragments" \
  "(scale factor $(cut -f2 deep.scale))"
[ "$isoforms" -ge 20 ] || echo "run.sh: the deep gene has fewer than 20 isoforms" >&2

# compare LABEL "KESTROVE ARGS" "PEER ARGS": PAIRS alternated pairs; one table row.
rows=()
compare() {
  local label=$1 kArgs=$2 sArgs=$3 i began=$SECONDS
  rm -f "$label".[ks].*
  for ((i = 1; i <= pairs; ++i)); do
    # shellcheck disable=SC2086
    measure "$label.k$i" "$label.k.$i" "$kestrove" $kArgs -o "out-$label"
    # shellcheck disable=SC2086
    measure "$label.s$i" "$label.s.$i" stringtie $sArgs -o "$label.peer.gtf"
    echo "$label pair $i: kestrove $(cut -d' ' -f1-3 "$label.k.$i"), peer $(cut -d' ' -f1-3 "$label.s.$i")" \
      "(wall s, user s, RSS KB)"
  done
  local kw sw within kr sr
  kw=$(cat "$label".k.[0-9]* | awk '{print $1}' | median)
  sw=$(cat "$label".s.[0-9]* | awk '{print $1}' | median)
  # The host's load comes and goes: the ratio within each pair is the steadier figure.
  within=$(for ((i = 1; i <= pairs; ++i)); do
    paste -d' ' "$label.k.$i" "$label.s.$i" | awk '{print ($5 > 0 ? $1 / $5 : 0)}'; done | median)
  kr=$(cat "$label".k.[0-9]* | awk '{print $3}' | median)
  sr=$(cat "$label".s.[0-9]* | awk '{print $3}' | median)
  rows+=("$(awk -v l="$label" -v kw="$kw" -v sw="$sw" -v w="$within" -v kr="$kr" -v sr="$sr" 'BEGIN {
    printf "| %s | %.2f s | %.2f s | %.2f | %.2f | %.0f / %.0f MB |", l, kw, sw, (sw > 0 ? kw / sw : 0), w,
      kr / 1024, sr / 1024}')")
  echo "$label: $((SECONDS - began)) s for $pairs pairs"
}

# wanted SET: whether ROWS names the set.
wanted() { [[ " $rowSets " == *" $1 "* ]]; }
for threads in 1 2; do
  wanted genome && compare "genome-p$threads" "-p $threads -G genome.gtf -B genome.bam" "-e -p $threads -G genome.gtf genome.bam"
  wanted real && compare "real-p$threads" "-p $threads -G real.gtf -B real.bam" "-e -p $threads -G real.gtf real.bam"
  wanted deep && compare "deep-p$threads" "-p $threads -G deep.gtf -B deep.bam" "-e -p $threads -G deep.gtf deep.bam"
  wanted gene && compare "gene-p$threads" "-p $threads -L gene.list -G deep.gtf -B deep.bam" "-e -p $threads -G gene.gtf deep.bam"
done

echo
echo "Machine: $(nproc) cores; load average $loadAtStart at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end"
echo "Sets: genome $genomeGenes genes / $genomePairs pairs 2x75; real $realGenes genes / $realPairs pairs 2x75;" \
  "deep the same genes / $deepPairs pairs 2x100; gene = $deepGene alone ($isoforms isoforms," \
  "$(geneFragments deep.truth.tsv) fragments drawn from it, $(awk -F'\t' -v g="$deepGene" '$1 == g {print $4}' \
  out-gene-p1/genes_summary_deep.dat) in its locus as kestrove counts them)"
echo "Medians of $pairs alternated pairs; -pN is the thread count of both programs."
echo
echo "| set | kestrove | stringtie -e | ratio of medians | median ratio in pairs | peak RSS kestrove / stringtie |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
