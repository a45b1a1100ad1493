// Merging genes whose exons overlap into one gene for the estimation, and carrying
// the merged gene's estimates back to the genes of the annotation.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "annotation/Annotations.h"

namespace {

// values scaled to sum to one; left as they are when a value is negative or all are 0.
std::vector<double> renormalizeToPdf(std::vector<double> values)
{
    if (values.size() == 1) {
        values[0] = 1.0;
        return values;
    }
    if (values.empty())
        return values;
    double sum = 0.0;
    for (double v : values) {
        if (v < 0.0)
            return values;
        sum += v;
    }
    if (sum == 0.0)
        return values;
    // A NaN sum fails both comparisons and ends the loop with the values as they are.
    while (sum < 0.9999 || sum > 1.0001) {
        double next = 0.0;
        for (double& v : values) {
            if (v > 0.0)
                v /= sum;
            next += v;
        }
        sum = next;
    }
    return values;
}


// An exon pair can only intersect when the transcripts' extents do, since a
// transcript's start and end are the smallest start and largest end of its exons.
bool exonsOverlap(const Gene& a, const Gene& b)
{
    for (const t_transcript& ta : a.transcripts) {
        for (const t_transcript& tb : b.transcripts) {
            if (ta.end < tb.start || tb.end < ta.start)
                continue;
            for (const t_exon& ea : ta.exons)
                for (const t_exon& eb : tb.exons)
                    if (ea.end >= eb.start && eb.end >= ea.start)
                        return true;
        }
    }
    return false;
}

uint64_t truncateToCount(double value)
{
    if (!(value >= 0.0))
        return 0;
    if (value >= 18446744073709551616.0)
        return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(value);
}

// The effective length training gave the transcript in its merged gene, which its FPKM
// divides by under length normalisation.
void carryBackLength(const Gene& merged, t_transcript& transcript)
{
    for (const t_transcript& estimated : merged.transcripts)
        if (estimated.transcriptId == transcript.transcriptId)
            transcript.normLength = estimated.normLength;
}

} // namespace

std::string transcriptKey(const Gene& gene, const std::string& transcriptId)
{
    return gene.key.empty() ? transcriptId : transcriptId + '\x01' + gene.chromosome;
}

void Annotations::mergeOverlappingGenes()
{
    genesUnmerged = genes;
    std::map<std::string, std::vector<Gene>> genesByChromosome;
    for (const auto& entry : genes)
        genesByChromosome[entry.second.chromosome].push_back(entry.second);
    for (auto& entry : genesByChromosome) {
        std::stable_sort(entry.second.begin(), entry.second.end(),
                         [](const Gene& a, const Gene& b) { return a.start < b.start; });
        mergeOnReference(entry.second);
    }
    genes.clear();
    for (const auto& entry : genesByChromosome)
        for (const Gene& gene : entry.second)
            genes[gene.mapKey()] = gene;
}

void Annotations::mergeOnReference(std::vector<Gene>& byStart)
{
    std::vector<size_t> overlapping;
    size_t n = byStart.size();
    size_t i = 0;
    while (i + 1 < n) {
        const int32_t end = byStart[i].end;
        overlapping.clear();
        for (size_t k = i + 1; k < n && byStart[k].start <= end; ++k)
            if (exonsOverlap(byStart[i], byStart[k]))
                overlapping.push_back(k);
        if (overlapping.empty()) {
            ++i;
            continue;
        }
        // Highest index first, so that erasing keeps the lower indices valid.
        for (auto k = overlapping.rbegin(); k != overlapping.rend(); ++k) {
            Gene& merged = byStart[i];
            for (const t_transcript& t : byStart[*k].transcripts) {
                merged.addTranscript(t);
                transToGene[transcriptKey(byStart[*k], t.transcriptId)] = merged.mapKey();
            }
            byStart.erase(byStart.begin() + static_cast<std::ptrdiff_t>(*k));
        }
        n -= overlapping.size();
    }
}
void Annotations::mergeAnnotations()
{
    std::vector<double> fragsPerTranscript;
    std::vector<double> newAlphas;
    for (auto& entry : genesUnmerged) {
        Gene& g = entry.second;
        if (g.geneName.empty())
            g.geneName = g.geneId;

        double fpkmSum = 0.0;
        newAlphas.clear();
        if (g.transcripts.empty()) {
            g.fragsLocus = 0;
            g.compFragsLocus = 0;
        } else {
            fragsPerTranscript.clear();
            double fragsSum = 0.0;
            double compSum = 0.0;
            for (t_transcript& t : g.transcripts) {
                Gene& merged = genes[transToGene[transcriptKey(g, t.transcriptId)]];
                double alpha = merged.getAlphaValueByTid(t.transcriptId);
                carryBackLength(merged, t);
                if (g.failReason == FailReason::none)
                    g.failReason = merged.failReason;
                double frags = static_cast<double>(merged.fragsLocus) * alpha;
                double comp = static_cast<double>(merged.compFragsLocus) * alpha;
                fragsPerTranscript.push_back(frags);
                fragsSum += frags;
                compSum += comp;
                g.locus = merged.locus;
            }
            g.fragsLocus = truncateToCount(fragsSum);
            g.compFragsLocus = truncateToCount(compSum);

            if (g.compFragsLocus > 9) {
                for (size_t i = 0; i < g.transcripts.size(); ++i) {
                    // Only an inconsistent merged gene (compatible but no total fragments) has 0 here.
                    double alpha = g.fragsLocus > 0 ? fragsPerTranscript[i] / static_cast<double>(g.fragsLocus) : 0.0;
                    newAlphas.push_back(alpha);
                    g.compFragsTrans.push_back(fragsPerTranscript[i]);
                    fpkmSum += g.transcripts[i].fpkmTHN;
                }
            } else {
                // Too small a share of the merged gene's fragments to be split among its transcripts.
                if (g.failReason == FailReason::none)
                    g.failReason = g.compFragsLocus == 0 ? FailReason::noFragments : FailReason::tooFew;
                for (t_transcript& t : g.transcripts) {
                    newAlphas.push_back(0.0);
                    t.fpkmTHN = 0.0;
                    g.compFragsTrans.push_back(0.0);
                }
            }
        }
        g.fpkmTHN = fpkmSum;
        g.alphas = renormalizeToPdf(newAlphas);
    }
    std::swap(genes, genesUnmerged);
}

std::size_t Annotations::overlappingGenes() const
{
    std::map<std::string, std::vector<const Gene*>> byReference;
    for (const auto& entry : genes)
        byReference[entry.second.chromosome].push_back(&entry.second);
    std::size_t count = 0;
    for (auto& entry : byReference) {
        std::vector<const Gene*>& list = entry.second;
        std::stable_sort(list.begin(), list.end(), [](const Gene* a, const Gene* b) { return a->start < b->start; });
        std::vector<bool> overlaps(list.size(), false);
        for (std::size_t i = 0; i < list.size(); ++i)
            for (std::size_t k = i + 1; k < list.size() && list[k]->start <= list[i]->end; ++k)
                if (exonsOverlap(*list[i], *list[k]))
                    overlaps[i] = overlaps[k] = true;
        count += static_cast<std::size_t>(std::count(overlaps.begin(), overlaps.end(), true));
    }
    return count;
}
