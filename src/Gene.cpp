#include "Gene.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace {

// Coordinates are stored unvalidated, so an exon length or a running sum can
// leave the 32-bit range; saturate instead of overflowing.
int32_t saturatedSum(int64_t value)
{
    constexpr int64_t lo = std::numeric_limits<int32_t>::min();
    constexpr int64_t hi = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(std::clamp(value, lo, hi));
}

int64_t exonLength(const t_exon& exon)
{
    return static_cast<int64_t>(exon.end) - exon.start + 1;
}

} // namespace

void Gene::addExon(std::string transcriptId, t_exon exon, bool forwardStrand)
{
    auto found = std::find_if(transcripts.begin(), transcripts.end(),
                              [&](const t_transcript& t) { return t.transcriptId == transcriptId; });
    if (found != transcripts.end()) {
        t_transcript& t = *found;
        auto before = std::find_if(t.exons.begin(), t.exons.end(),
                                   [&](const t_exon& stored) { return stored.start >= exon.end; });
        t.exons.insert(before, exon);
        t.length = saturatedSum(static_cast<int64_t>(t.length) + exonLength(exon));
        if (t.start > exon.start)
            t.start = exon.start;
        if (t.end < exon.end)
            t.end = exon.end;
    } else {
        t_transcript t;
        t.transcriptId = std::move(transcriptId);
        t.exons.push_back(exon);
        t.start = exon.start;
        t.end = exon.end;
        t.length = saturatedSum(exonLength(exon));
        t.forwardStrand = forwardStrand;
        transcripts.push_back(std::move(t));
    }

    if (start == 0 || start > exon.start)
        start = exon.start;
    if (end < exon.end)
        end = exon.end;
}

void Gene::addTranscript(t_transcript transcript)
{
    for (const t_exon& exon : transcript.exons)
        addExon(transcript.transcriptId, exon, transcript.forwardStrand);
}

double Gene::getAlphaValueByTid(std::string transcriptId)
{
    auto found = std::find_if(transcripts.begin(), transcripts.end(),
                              [&](const t_transcript& t) { return t.transcriptId == transcriptId; });
    if (found == transcripts.end())
        return 0.0;
    auto index = static_cast<size_t>(found - transcripts.begin());
    return index < alphas.size() ? alphas[index] : 0.0;
}

bool wayToSort(Gene a, Gene b)
{
    return a.start < b.start;
}
