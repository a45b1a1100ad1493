#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include <htslib/sam.h>

#include "util/FlatArray.h"
#include "annotation/Gene.h"

// The fragments of one locus, known by their keys (read names). Each read is handed
// to a consumer, which keeps what it needs of it; what stays here is what joining
// mates and keying fragments need: every key, the first read's start, an index of the
// keys, and a paired first read until its mate joins (briefly: region queries return
// coordinate order). One reader reuses the buffers from locus to locus.
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
        uint32_t firstBlock = 0;  // where the holder of the read keeps its blocks
        // A record of at most 2^31 bytes has fewer than 2^29 CIGAR operations, so the
        // flags share the block count's word.
        uint32_t nrBlocks : 29 = 0;
        uint32_t paired : 1 = 0;
        uint32_t forward : 1 = 1;
        uint32_t firstMate : 1 = 0;
    };

    // Takes the reads of a locus. A fragment is known by the id its first read came
    // with; blocks are valid for the call only.
    class Consumer {
    public:
        // The first read of a fragment; name is the read name, key the fragment's.
        virtual void started(uint32_t id, std::string_view key, std::string_view name, const Read& read,
                             const t_exon* blocks) = 0;
        // The second read of a fragment, with the first read when that one is paired
        // (null otherwise).
        virtual void joined(uint32_t id, const Read* first, const t_exon* firstBlocks, const Read& second,
                            const t_exon* secondBlocks) = 0;
        // A paired first read whose mate did not turn up in the locus.
        virtual void leftAlone(uint32_t id, const Read& read, const t_exon* blocks) = 0;

    protected:
        ~Consumer() = default;
    };

    // Drops the fragments; the buffers keep their room for the next locus.
    void clear();
    // Sizes the key index for about n fragments at once: growing it step by step to a
    // large locus's size would hash its keys again at every step.
    void expect(std::size_t n);
    // Gives the room back as well, after a locus far larger than most.
    void release();

    // Takes one record of the region query; unmapped records and records without
    // an aligned block are left out.
    void add(const bam1_t* record, Consumer& consumer);
    // Adds a read decoded elsewhere, joined or keyed as a record would be.
    void add(std::string_view name, Read read, const t_exon* blocks, Consumer& consumer);
    // No more reads until the next clear(): the paired reads still without a mate are
    // handed on, and what only the adding needed is given back.
    void finishAdding(Consumer& consumer);

    // Number of fragments (entries).
    std::size_t size() const { return count; }
    bool empty() const { return count == 0; }

    // The key of the fragment whose first read came with id.
    std::string_view key(uint32_t id) const;
    // Sorts fragments by key: on return ids[i] is the position, among the ids passed,
    // of the fragment with the i-th smallest key. The positions take the place of the
    // ids so that a large locus needs no second array while its keys are held.
    void orderByKey(FlatArray<uint32_t>& ids) const;

    // Gives back the room of the keys once nothing asks for them any more: key(),
    // orderByKey() and unmatedNamesCarryMateSuffix() are not to be called after this
    // until the next clear().
    void releaseKeys() { records.release(); }

    // Paired records whose mate never turned up under the same name.
    uint64_t unmatedReads() const { return unmated; }
    uint64_t pairedReads() const { return paired; }
    // Whether the first unmated read's name ends in ".1"/"/1" as a first mate or
    // ".2"/"/2" as a second one: mates named apart by the aligner's input.
    bool unmatedNamesCarryMateSuffix() const;

    // Bytes held by the buffers, for deciding when to give them back.
    std::size_t capacityBytes() const;

private:
    // The fragment's id + 1 (0 marks a free slot) and the low bits of its key's hash;
    // five bytes, so that the index of a large locus costs less than its keys.
#pragma pack(push, 1)
    struct Slot {
        uint32_t entry = 0;
        uint8_t tag = 0;
    };
#pragma pack(pop)

    struct Waiting {
        uint32_t id;
        Read read;  // firstBlock: in waitingBlocks
    };

    uint32_t find(std::string_view key, uint32_t hash) const;
    void place(uint32_t id, uint32_t hash);
    void growIndex(std::size_t keys);
    uint32_t newEntry(std::string_view key, uint32_t hash, const Read& read, const t_exon* blocks, uint8_t state);
    void compactWaiting();

    // One record per fragment, its id the record's offset: a state byte, a word (the
    // first read's start, or while a paired first read waits its place in waiting),
    // the key's length and the key.
    FlatArray<char> records;
    // Open addressing, at most three quarters full.
    FlatArray<Slot> index;
    FlatArray<t_exon> recordBlocks;
    // In the order their fragments were started; a gap once the mate has joined.
    FlatArray<Waiting> waiting;
    FlatArray<t_exon> waitingBlocks;
    std::size_t waitingGone = 0;
    std::vector<char> derivedKey;
    uint32_t count = 0;
    uint64_t paired = 0;
    uint64_t unmated = 0;
};
