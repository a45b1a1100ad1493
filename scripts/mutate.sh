#!/usr/bin/env bash
# Mutation check of the test suite: applies each source mutation below alone,
# rebuilds incrementally, runs the suite until its first failure and prints
# the mutants that no test kills.
#   scripts/mutate.sh [build-dir] [first-last]   (default: build, all mutants)
# The build directory must already be configured; the sources are restored
# after each mutant, also when the script is interrupted.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
range=${2:-}
case $build in /*) ;; *) build=$root/$build ;; esac
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$root")}

# One mutant a line: file @@ text found exactly once @@ replacement.
mutants=$(cat <<'EOF'
src/alignments/Compatibility.cpp @@ case 1: return secondMate ? !sameStrand : sameStrand; @@ case 1: return secondMate ? sameStrand : sameStrand;
src/alignments/Compatibility.cpp @@ case 2: return secondMate ? sameStrand : !sameStrand; @@ case 2: return secondMate ? !sameStrand : !sameStrand;
src/alignments/Compatibility.cpp @@ position <= exon.end; @@ position < exon.end;
src/alignments/Compatibility.cpp @@ transStart = start - firstBase + 1 - offset; @@ transStart = start - firstBase - offset;
src/alignments/Compatibility.cpp @@ offset += int64_t{exons[i].start} - exons[i - 1].end - 1; @@ offset += int64_t{exons[i].start} - exons[i - 1].end;
src/alignments/Compatibility.cpp @@ transStart = lastBase - end + 1 - offset; @@ transStart = lastBase - end - offset;
src/alignments/Compatibility.cpp @@ coordinates(transStart, lastBase - start + 1 - offset) @@ coordinates(transStart, lastBase - start - offset)
src/alignments/Compatibility.cpp @@ blocks[m].end > exons[k + m].end) @@ blocks[m].end > exons[k + m].end + 1)
src/alignments/Compatibility.cpp @@ if (m > 0 && blocks[m].start != exons[k + m].start) @@ if (m > 1 && blocks[m].start != exons[k + m].start)
src/alignments/Compatibility.cpp @@ return blocks[nB - 1].end <= exons[k + nB - 1].end; @@ return blocks[nB - 1].end <= exons[k + nB - 1].end + 1;
src/alignments/Compatibility.cpp @@ blocks[0].start < exons[k].start || @@ blocks[0].start < exons[k].start - 1 ||
src/alignments/Compatibility.cpp @@ (second == nullptr || readFits(transcript, *second, strandedness)) @@ (second == nullptr || true)
src/alignments/Compatibility.cpp @@ first.end = pairedFragment ? reads[1].blocks.back().end : first.blocks.back().end; @@ first.end = first.blocks.back().end;
src/alignments/LocusFragments.cpp @@ read.paired && !(state & kJoined) && @@ read.paired &&
src/alignments/LocusFragments.cpp @@ firstStart == read.mateStart @@ firstStart <= read.mateStart
src/alignments/LocusFragments.cpp @@ consumer.leftAlone(w.id, w.read, waitingBlocks.data() + w.read.firstBlock); @@ (void)w;
src/alignments/LocusFragments.cpp @@ setWord(&records[w.id], static_cast<uint32_t>(kept)); @@ (void)kept;
src/alignments/Compatibility.cpp @@ test(id, *first, firstBlocks, &second, secondBlocks); @@ test(id, *first, firstBlocks, nullptr, nullptr);
src/alignments/LocusFragments.cpp @@ blockStart = blockEnd + length; @@ blockStart = blockEnd + length + 1;
src/alignments/LocusFragments.cpp @@ case BAM_CDEL: @@ case BAM_CDEL: break;
src/alignments/LocusFragments.cpp @@ read.start = static_cast<int32_t>(core.pos + 1); @@ read.start = static_cast<int32_t>(core.pos);
src/alignments/LocusFragments.cpp @@ read.forward = (core.flag & BAM_FREVERSE) == 0; @@ read.forward = (core.flag & BAM_FREVERSE) != 0;
src/alignments/LocusFragments.cpp @@ read.firstMate = (core.flag & BAM_FREAD1) != 0; @@ read.firstMate = (core.flag & BAM_FREAD2) == 0;
src/alignments/BamIO.cpp @@ if ((flag & (BAM_FUNMAP | BAM_FMUNMAP)) == BAM_FMUNMAP) @@ if (flag & BAM_FMUNMAP)
src/alignments/BamIndex.cpp @@ if (hts_idx_nseq(index.get()) != sam_hdr_nref(header.get())) @@ if (hts_idx_nseq(index.get()) < sam_hdr_nref(header.get()))
src/run/GenePass.cpp @@ return stats.properlyPaired != 0 ? stats.properlyPaired / 2 + stats.singletons @@ return stats.properlyPaired != 0 ? stats.properlyPaired + stats.singletons
src/run/GenePass.cpp @@ g.compFragsLocus > static_cast<uint64_t>(std::max<int32_t>(conf.maxCompFrags, 0)) @@ g.compFragsLocus >= static_cast<uint64_t>(std::max<int32_t>(conf.maxCompFrags, 0))
src/run/GenePass.cpp @@ if (g.fragsLocus > static_cast<uint64_t>(std::max<int32_t>(conf.maxTotalFrags, 0))) @@ if (g.fragsLocus >= static_cast<uint64_t>(std::max<int32_t>(conf.maxTotalFrags, 0)))
src/run/GenePass.cpp @@ if (g.compFragsLocus < static_cast<uint64_t> @@ if (g.compFragsLocus <= static_cast<uint64_t>
src/run/GenePass.cpp @@ g.fragsLocus >= static_cast<uint64_t>(std::max<int32_t>(conf.fragsThreshold, 0)) @@ g.fragsLocus > static_cast<uint64_t>(std::max<int32_t>(conf.fragsThreshold, 0))
src/output/Fpkm.cpp @@ return 1e9 * fragments / static_cast<double>(denominator); @@ return 1e6 * fragments / static_cast<double>(denominator);
src/output/WriteResults.cpp @@ return valueAt(gene.compFragsTrans, t) / static_cast<double>(gene.compFragsLocus); @@ return valueAt(gene.compFragsTrans, t) / static_cast<double>(gene.fragsLocus);
src/output/Fpkm.cpp @@ return c >= conf.minCompFrags && c <= conf.maxCompFrags; @@ return c > conf.minCompFrags && c <= conf.maxCompFrags;
src/model/TranscriptMixture.cpp @@ if (i < kFirstLikelihoodTest) @@ if (i < 1)
src/model/TranscriptMixture.cpp @@ logLikelihood = exactLikelihood(alphasNow, betasNow); @@ logLikelihood = logLikelihood + 0.0;
src/model/TranscriptMixture.cpp @@ std::fabs(sums.newAlphas[t] - alphas[t]) < minParamDiff) @@ std::fabs(sums.newAlphas[t] - alphas[t]) < 1000 * minParamDiff)
src/model/FragmentTable.cpp @@ const int64_t remaining = static_cast<int64_t>(length) - x; @@ const int64_t remaining = static_cast<int64_t>(length) - x + 1;
src/model/FragmentTable.cpp @@ ? lengths.pdf[static_cast<std::size_t>(fragLength)] @@ ? lengths.pdf[static_cast<std::size_t>(fragLength - 1)]
src/model/FragmentTable.cpp @@ static_cast<uint64_t>(x - 1)] @@ static_cast<uint64_t>(x == 1 ? 0 : x - 2)]
src/annotation/GeneMerging.cpp @@ if (ea.end >= eb.start && eb.end >= ea.start) @@ if (ea.end > eb.start && eb.end > ea.start)
src/annotation/Annotations.cpp @@ return listed != exclude; @@ return listed == exclude;
src/alignments/BamSort.cpp @@ (primary == other.primary && secondary < other.secondary) @@ (primary == other.primary && secondary > other.secondary)
src/clustering/ProfileTable.cpp @@ static_cast<int64_t>(length) < conf.minTransLen @@ static_cast<int64_t>(length) <= conf.minTransLen
src/clustering/HierarchicalClustering.cpp @@ d[triangleIndex(sj, k)] = (d[triangleIndex(si, k)] * sizeI + d[triangleIndex(sj, k)] * sizeJ) / total; @@ d[triangleIndex(sj, k)] = (d[triangleIndex(si, k)] + d[triangleIndex(sj, k)]) / 2;
src/cli/Options.cpp @@ bool above(long long value, long long limit) { return value > limit; } @@ bool above(long long value, long long limit) { return value >= limit; }
src/util/Files.cpp @@ if (safe.empty() || safe.front() == '.') @@ if (safe.empty())
src/alignments/BamIO.cpp @@ if (loci[i].end <= pos || loci[i].left) { @@ if (loci[i].end < pos || loci[i].left) {
src/alignments/BamIO.cpp @@ if (locus.begin >= last) @@ if (locus.begin > last)
src/alignments/BamIO.cpp @@ if (j > 0 && locus.complete && sharedHeld >= sharedBudget) { @@ if (locus.complete && sharedHeld >= sharedBudget) {
src/alignments/BamIO.cpp @@ sharedHeld += j > 0 ? 1 : 0; @@ sharedHeld += 0;
src/model/EStep.cpp @@ hit[k] = 0.0 + P[k] * alpha; @@ hit[k] = P[k];
src/model/EStep.cpp @@ accu[2] += quotient[3]; @@ accu[2] += quotient[2];
src/alignments/BamIO.cpp @@ std::memcpy(b->data + nameLength + padding, cigar, std::size_t{nrCigar} * 4); @@ std::memcpy(b->data + nameLength, cigar, std::size_t{nrCigar} * 4);
src/alignments/BamIO.cpp @@ c.flag = flag; @@ c.flag = flag & ~BAM_FUNMAP;
EOF
)

apply() {  # file old new: replace the one occurrence of old, fail when it is not exactly one
    python3 - "$root/$1" "$2" "$3" <<'PY'
import sys
path, old, new = sys.argv[1:]
text = open(path).read()
if text.count(old) != 1:
    sys.exit(f"{path}: expected one occurrence of {old!r}, found {text.count(old)}")
open(path, "w").write(text.replace(old, new))
PY
}

restore() { [ -n "${saved:-}" ] && cp "$saved" "$root/$current" && touch "$root/$current"; saved=; }
trap 'restore; exit 130' INT TERM

rebuild() { cmake --build "$build" -j2 >"$build/mutate-build.log" 2>&1; }
rebuild || { echo "mutate: the unmutated tree does not build" >&2; exit 1; }

first=1 last=1000
if [ -n "$range" ]; then first=${range%-*}; last=${range#*-}; fi
n=0 killed=0 tried=0 survivors=()
while IFS= read -r line; do
    file=${line%% @@ *}; rest=${line#* @@ }; old=${rest%% @@ *}; new=${rest#* @@ }
    n=$((n + 1))
    [ "$n" -lt "$first" ] || [ "$n" -gt "$last" ] && continue
    current=$file
    saved=$(mktemp)
    cp "$root/$file" "$saved"
    if ! apply "$file" "$old" "$new"; then restore; continue; fi
    tried=$((tried + 1))
    if ! rebuild; then
        verdict="does not build (not counted)"
        tried=$((tried - 1))
    elif (cd "$build" && ctest -j2 --stop-on-failure --timeout 300 >"$build/mutate-test.log" 2>&1); then
        verdict=SURVIVED
        survivors+=("$n")
    else
        verdict="killed by $(grep -E 'Test +#[0-9]+: .*\*\*\*' "$build/mutate-test.log" | grep -vm1 Skipped | sed -E 's/.*Test +#[0-9]+: ([^ ]+).*/\1/')"
        killed=$((killed + 1))
    fi
    printf '%2d %-22s %s\n    %s\n' "$n" "$file" "$verdict" "$old"
    restore
done <<<"$mutants"
rebuild
echo "killed $killed of $tried; survivors: ${survivors[*]:-none}"
