#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "annotation/Annotations.h"
#include "alignments/BamIO.h"
#include "util/FlatArray.h"
#include "util/ThreadPool.h"
#include "alignments/LocusFragments.h"

// The compatible fragments of a locus, in key order, as the model reads them: one
// entry per compatible (fragment, transcript) pair, transcripts ascending within a
// fragment, with the fragment's start on the transcript and, for paired fragments,
// its length there.
struct CompatibleFragments {
    std::vector<uint32_t> firstEntry;  // one per fragment, and the end of the last
    std::vector<uint32_t> entryTranscript;
    FlatArray<int32_t> entryStart;
    FlatArray<int32_t> entryLength;
    std::vector<uint8_t> paired;  // one per fragment

    std::size_t size() const { return paired.size(); }
};

// What the tests of a locus's fragments found, in the order they were tested.
struct TestedFragments {
    std::vector<uint64_t> counts;  // compatible fragments of each transcript
    // One per compatible fragment: the fragment, the first base of its first read and
    // the last of its last, and where its transcripts begin in fits, with the top bit
    // set for a paired fragment.
    FlatArray<uint32_t> testedIds;
    FlatArray<int32_t> spanStarts;
    FlatArray<int32_t> spanEnds;
    FlatArray<uint32_t> firstFits;
    FlatArray<uint32_t> fits;

    // Appends what other found after what this one holds.
    void append(const TestedFragments& other);
};

// Tests each fragment of a locus against the gene's transcripts as soon as its reads
// are all there and keeps only the transcripts it fits and its span on the genome. A
// fragment whose first read is unpaired is tested on that read alone, whatever joins
// it later.
class LocusCompatibility final : public LocusFragments::Consumer {
public:
    LocusCompatibility(Gene& gene, int32_t strandedness);

    // Forgets the fragments taken so far, for reading the locus again.
    void clear();
    void started(uint32_t id, std::string_view key, std::string_view name, const LocusFragments::Read& read,
                 const t_exon* blocks) override;
    void joined(uint32_t id, const LocusFragments::Read* first, const t_exon* firstBlocks,
                const LocusFragments::Read& second, const t_exon* secondBlocks) override;
    void leftAlone(uint32_t id, const LocusFragments::Read& read, const t_exon* blocks) override;

    // read(consumer) hands a locus's reads to consumer, as LocusFragments does. With a
    // pool, the fragments are tested on its workers while the reading goes on, a batch
    // at a time; the results are the same as when this takes the reads itself.
    void takeReads(ThreadPool* pool, const std::function<void(LocusFragments::Consumer&)>& read);

    // Counts every transcript's compatible fragments and hands the compatible ones on
    // in key order, with their transcript coordinates, converted on the pool's threads
    // when there is one. Gives back the room of the keys.
    void finish(LocusFragments& fragments, CompatibleFragments& compatible, ThreadPool* pool = nullptr);

private:
    Gene& gene;
    int32_t strandedness;
    TestedFragments tested;
};

// The same test on fragments held by key, for the debug dump.
bool readFitsTranscript(const t_transcript& transcript, const t_read& read, int32_t strandedness);
// Erases the fragments that fit no transcript of the gene, counts every transcript's
// compatible fragments and stores one validity row per kept fragment.
void keepCompatibleFragments(GeneMap::iterator& gene, FragmentMap& fragments, int32_t strandedness);
// Gives each kept fragment's first read its start, end and length on every transcript,
// zeros where the fragment does not fit.
void placeOnTranscripts(GeneMap::iterator& gene, FragmentMap& fragments);
