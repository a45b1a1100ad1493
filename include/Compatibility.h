#pragma once

#include <cstdint>
#include <vector>

#include "Annotations.h"
#include "BamIO.h"
#include "LocusFragments.h"
#include "ProgramParameters.h"

// The compatible fragments of a locus, in key order, as the model reads them: one
// entry per compatible (fragment, transcript) pair, transcripts ascending within a
// fragment, with the fragment's start on the transcript and, for paired fragments,
// its length there.
struct CompatibleFragments {
    std::vector<uint64_t> firstEntry;  // one per fragment, and the end of the last
    std::vector<uint32_t> entryTranscript;
    std::vector<int32_t> entryStart;
    std::vector<int32_t> entryLength;
    std::vector<uint8_t> paired;  // one per fragment

    std::size_t size() const { return paired.size(); }
};

// Fragment-to-transcript compatibility and conversion to transcript coordinates.
class Kestrove {
public:
    bool checkExons(const t_transcript& transcript, const t_read& read, const t_configuration& conf) const;
    // The locus's fragments compatible with at least one transcript, with their
    // transcript coordinates; counts every transcript's compatible fragments.
    void selectCompatible(Gene& gene, const LocusFragments& fragments, const t_configuration& conf,
                          CompatibleFragments& compatible) const;

    // The same steps on fragments held by key: incompatible ones are erased, one
    // validity row per kept fragment and one coordinate per transcript are stored.
    void checkFragmentsValidity(GeneMap::iterator& gene, FragmentMap& fragments, const t_configuration& conf);
    void convertCoords(GeneMap::iterator& gene, FragmentMap& fragments);
};
