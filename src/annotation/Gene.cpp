#include "annotation/Gene.h"

#include <algorithm>
#include <iterator>
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
        // Exons that overlap become their union: a base counts once in the length, and
        // the walk along the transcript needs exons that do not overlap.
        auto first = std::find_if(t.exons.begin(), t.exons.end(),
                                  [&](const t_exon& stored) { return stored.end >= exon.start; });
        auto last = std::find_if(first, t.exons.end(), [&](const t_exon& stored) { return stored.start > exon.end; });
        int64_t added = exonLength(exon);
        if (first != last) {
            const t_exon joined{std::min(first->start, exon.start), std::max(std::prev(last)->end, exon.end)};
            added = exonLength(joined);
            for (auto e = first; e != last; ++e)
                added -= exonLength(*e);
            exon = joined;
            last = t.exons.erase(first, last);
        }
        t.exons.insert(last, exon);
        t.length = saturatedSum(static_cast<int64_t>(t.length) + added);
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
