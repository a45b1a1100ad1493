#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include <htslib/sam.h>

#include "FlatArray.h"
#include "Gene.h"

// The fragments of one locus in flat arrays: reads, their aligned blocks and the
// fragment keys (read names) each live in one buffer, so reading a locus allocates
// only when a buffer grows, and one reader reuses its buffers from locus to locus.
//
// Mates are joined under their shared name. A record that cannot join the entry of
// its name (a third record, a mate whose position disagrees) gets an entry of its
// own under a derived key: the name, "-<entries so far>" twice, and once more for as
// long as that key is taken. Fragments are handed on in byte order of their keys.
class LocusFragments {
public:
    struct Read {
        int32_t start = 0;      // first aligned base, 1-based
        int32_t mateStart = 0;  // 1-based, paired records only
        int32_t length = 0;     // aligned bases, insertions included
        uint32_t firstBlock = 0;
        // A record of at most 2^31 bytes has fewer than 2^29 CIGAR operations, so the
        // flags share the block count's word.
        uint32_t nrBlocks : 29 = 0;
        uint32_t paired : 1 = 0;
        uint32_t forward : 1 = 1;
        uint32_t firstMate : 1 = 0;
    };

    // Drops the fragments; the buffers keep their room for the next locus.
    void clear();
    // Gives the room back as well, after a locus far larger than most.
    void release();

    // Takes one record of the region query; unmapped records and records without
    // an aligned block are left out.
    void add(const bam1_t* record);
    // Adds a read decoded elsewhere, joined or keyed as a record would be.
    void add(std::string_view name, Read read, const t_exon* blocks);

    // Number of fragments (entries), whatever their order.
    std::size_t size() const { return fragments.size(); }
    bool empty() const { return fragments.empty(); }

    // Puts the fragments in key order; the accessors below index that order. Ends
    // the adding: a locus is read whole before it is sorted.
    void sortByKey();

    std::string_view key(std::size_t i) const;
    // The name of the fragment's reads: the key, or for a derived key the name and one suffix.
    std::string_view readName(std::size_t i) const;
    uint32_t nrReads(std::size_t i) const { return fragments[order[i]].nrReads(); }
    const Read& read(std::size_t i, uint32_t mate) const { return reads[fragments[order[i]].reads[mate]]; }
    const t_exon* blocks(const Read& read) const { return blockStore.data() + read.firstBlock; }

    // Gives back the room of the keys once nothing asks for them any more: key() and
    // readName() are not to be called after this until the next clear().
    void releaseKeys() { names.release(); }

    // Paired records whose mate never turned up under the same name.
    uint64_t unmatedReads() const;
    uint64_t pairedReads() const;
    // Whether the first unmated read's name ends in ".1"/"/1" as a first mate or
    // ".2"/"/2" as a second one: mates named apart by the aligner's input.
    bool unmatedNamesCarryMateSuffix() const;

    // Bytes held by the buffers, for deciding when to give them back.
    std::size_t capacityBytes() const;

private:
    struct Fragment {
        uint32_t keyOffset = 0;
        uint32_t keyLength = 0;
        uint32_t nameLength = 0;
        uint32_t reads[2] = {0, kNoRead};

        uint32_t nrReads() const { return reads[1] == kNoRead ? 1 : 2; }
    };
    static constexpr uint32_t kNoRead = 0xffffffffu;

    // Fragment index + 1 (0 marks a free slot) and the hash of its key.
    struct Slot {
        uint32_t entry = 0;
        uint32_t hash = 0;
    };

    uint32_t find(std::string_view name, uint32_t hash) const;
    void insertKey(uint32_t fragment, uint32_t hash);
    void place(Slot entry);
    void growIndex();
    uint32_t newFragment(std::string_view key, std::size_t nameLength, uint32_t read);

    FlatArray<char> names;
    FlatArray<t_exon> blockStore;
    FlatArray<Read> reads;
    FlatArray<Fragment> fragments;
    FlatArray<uint32_t> order;
    struct SortKey {
        uint64_t prefix;
        uint32_t fragment;
    };
    std::vector<SortKey> sortKeys;
    // Open addressing, at most three quarters full.
    std::vector<Slot> index;
    std::vector<char> derivedKey;
};
