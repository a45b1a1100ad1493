#include "Compatibility.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

bool strandAgrees(const t_transcript& transcript, const t_read& read, int32_t strandedness)
{
    const bool secondMate = read.paired && !read.firstMate;
    const bool sameStrand = read.forward == transcript.forwardStrand;
    switch (strandedness) {
    case 1: return secondMate ? !sameStrand : sameStrand;
    case 2: return secondMate ? sameStrand : !sameStrand;
    default: return true;
    }
}

bool contains(const t_exon& exon, int32_t position) { return exon.start <= position && position <= exon.end; }

// Coordinates come from the annotation unchecked; on a malformed gene (exons
// far apart, negative positions) the walk's sums leave the 32-bit range, so it
// is done in 64 bits and the result saturated.
int32_t saturated(int64_t value)
{
    return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

// One value per transcript in each vector, whatever the walk finds.
void appendCoordinates(t_read& read, int32_t transStart, int32_t transEnd, int32_t fragLength)
{
    read.transStarts.push_back(transStart);
    read.transEnds.push_back(transEnd);
    read.fragLengths.push_back(fragLength);
}

// A position not inside any exon cannot be placed on the transcript; the
// compatibility test rules that out, but the walk must not depend on it.
void convertForward(const t_transcript& transcript, t_read& read)
{
    const std::vector<t_exon>& exons = transcript.exons;
    int64_t offset = 0;
    bool startFound = false;
    int64_t transStart = 0;
    for (std::size_t i = 0; i < exons.size(); ++i) {
        if (i > 0)
            offset += int64_t{exons[i].start} - exons[i - 1].end - 1;
        const int64_t firstBase = exons.front().start;
        if (!startFound && contains(exons[i], read.start)) {
            transStart = read.start - firstBase + 1 - offset;
            startFound = true;
            if (!read.paired) {
                appendCoordinates(read, saturated(transStart), 0, 0);
                return;
            }
        }
        if (startFound && contains(exons[i], read.end)) {
            const int64_t transEnd = read.end - firstBase + 1 - offset;
            appendCoordinates(read, saturated(transStart), saturated(transEnd), saturated(transEnd - transStart + 1));
            return;
        }
    }
    appendCoordinates(read, saturated(transStart), 0, 0);
}

void convertReverse(const t_transcript& transcript, t_read& read)
{
    const std::vector<t_exon>& exons = transcript.exons;
    int64_t offset = 0;
    bool endFound = false;
    int64_t transStart = 0;
    for (std::size_t i = exons.size(); i-- > 0;) {
        if (i + 1 < exons.size())
            offset += int64_t{exons[i + 1].start} - exons[i].end - 1;
        const int64_t lastBase = exons.back().end;
        if (!endFound && contains(exons[i], read.end)) {
            transStart = lastBase - read.end + 1 - offset;
            endFound = true;
            if (!read.paired) {
                appendCoordinates(read, saturated(transStart), 0, 0);
                return;
            }
        }
        if (endFound && contains(exons[i], read.start)) {
            const int64_t transEnd = lastBase - read.start + 1 - offset;
            appendCoordinates(read, saturated(transStart), saturated(transEnd), saturated(transEnd - transStart + 1));
            return;
        }
    }
    appendCoordinates(read, saturated(transStart), 0, 0);
}

} // namespace

bool Kestrove::checkExons(const t_transcript& transcript, const t_read& read, const t_configuration& conf) const
{
    if (!strandAgrees(transcript, read, conf.strandedness))
        return false;

    const std::vector<t_exon>& exons = transcript.exons;
    const std::vector<t_exon>& blocks = read.blocks;
    const std::size_t nE = exons.size();
    const std::size_t nB = blocks.size();
    if (nB == 0 || nE < nB)
        return false;
    if (blocks.front().start > exons.back().end || blocks.back().end < exons.front().start)
        return false;

    std::size_t k = 0;
    while (k < nE && exons[k].end < blocks.front().start)
        ++k;
    if (k == nE || blocks.front().start < exons[k].start || k + nB > nE)
        return false;

    for (std::size_t m = 0; m < nB; ++m) {
        if (m + 1 < nB && blocks[m].end > exons[k + m].end)
            return false;
        if (m > 0 && blocks[m].start != exons[k + m].start)
            return false;
    }
    return blocks.back().end <= exons[k + nB - 1].end;
}

void Kestrove::checkFragmentsValidity(GeneMap::iterator& gene, FragmentMap& fragments, const t_configuration& conf)
{
    Gene& g = gene->second;
    const std::size_t nT = g.transcripts.size();
    g.compFragsTrans.resize(nT, 0.0);
    std::vector<bool> row(nT, false);

    for (auto entry = fragments.begin(); entry != fragments.end();) {
        std::vector<t_read>& reads = entry->second;
        if (reads.empty()) {
            entry = fragments.erase(entry);
            continue;
        }
        t_read& first = reads.front();
        const bool pairedFragment = first.paired && reads.size() >= 2;
        bool anyCompatible = false;
        for (std::size_t t = 0; t < nT; ++t) {
            const t_transcript& transcript = g.transcripts[t];
            bool compatible = checkExons(transcript, first, conf);
            if (compatible && pairedFragment)
                compatible = checkExons(transcript, reads[1], conf);
            row[t] = compatible;
            if (compatible) {
                g.compFragsTrans[t] += 1;
                anyCompatible = true;
            }
        }
        if (!anyCompatible) {
            entry = fragments.erase(entry);
            continue;
        }
        g.validities.push_back(row);
        first.start = first.blocks.front().start;
        first.end = pairedFragment ? reads[1].blocks.back().end : first.blocks.back().end;
        ++entry;
    }
}

void Kestrove::convertCoords(GeneMap::iterator& gene, FragmentMap& fragments)
{
    const Gene& g = gene->second;
    const std::size_t nT = g.transcripts.size();
    std::size_t r = 0;
    for (auto& [key, reads] : fragments) {
        if (reads.empty()) {
            ++r;
            continue;
        }
        t_read& first = reads.front();
        const std::vector<bool>* row = r < g.validities.size() ? &g.validities[r] : nullptr;
        first.transStarts.reserve(first.transStarts.size() + nT);
        first.transEnds.reserve(first.transEnds.size() + nT);
        first.fragLengths.reserve(first.fragLengths.size() + nT);
        for (std::size_t t = 0; t < nT; ++t) {
            const t_transcript& transcript = g.transcripts[t];
            if (!row || t >= row->size() || !(*row)[t] || transcript.exons.empty())
                appendCoordinates(first, 0, 0, 0);
            else if (transcript.forwardStrand)
                convertForward(transcript, first);
            else
                convertReverse(transcript, first);
        }
        ++r;
    }
}
