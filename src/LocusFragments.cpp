#include "LocusFragments.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "KestroveException.h"

namespace {

bool beyondInt32(int64_t position)
{
    return position > std::numeric_limits<int32_t>::max();
}

// FNV-1a: names differ mostly in their last characters, which it mixes in last.
uint32_t hashOf(std::string_view text)
{
    uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : text)
        h = (h ^ c) * 0x100000001b3ULL;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

constexpr std::size_t kKeptIndexSlots = std::size_t{1} << 12;

void requireIndexRoom(std::size_t count)
{
    if (count >= std::numeric_limits<uint32_t>::max())
        throw KestroveException(ERR_MEMORY_ALLOCATION);
}

} // namespace

void LocusFragments::clear()
{
    names.clear();
    blockStore.clear();
    reads.clear();
    fragments.clear();
    order.clear();
    // Wiping a large index for every small locus after it would cost more than rebuilding it.
    if (index.size() > kKeptIndexSlots)
        std::vector<Slot>().swap(index);
    else
        std::fill(index.begin(), index.end(), Slot{});
}

void LocusFragments::release()
{
    LocusFragments empty;
    std::swap(*this, empty);
}

std::size_t LocusFragments::capacityBytes() const
{
    return names.capacity() + blockStore.capacity() * sizeof(t_exon) + reads.capacity() * sizeof(Read)
        + fragments.capacity() * sizeof(Fragment) + order.capacity() * sizeof(uint32_t) + index.capacity() * sizeof(Slot);
}

// The CIGAR walk: aligned blocks (1-based, inclusive) and the aligned length.
// A block that covers no reference base (two gaps in a row, a gap at either
// end, only clips) is left out: an empty block would let a read that aligns
// nothing there pass as compatible and give it a position on no exon. A record
// with no block at all or running past the 32-bit range is left out.
void LocusFragments::add(const bam1_t* record)
{
    const bam1_core_t& core = record->core;
    // Without CIGAR operations a record has no aligned block to test against exons.
    if (core.tid < 0 || (core.flag & BAM_FUNMAP) || core.n_cigar == 0)
        return;

    const std::size_t blocksBefore = blockStore.size();
    const uint32_t* cigar = bam_get_cigar(record);
    int64_t blockStart = core.pos + 1;
    int64_t blockEnd = blockStart;  // one past the block's last base
    int64_t aligned = 0;
    bool valid = true;
    for (uint32_t i = 0; i < core.n_cigar && valid; ++i) {
        const int64_t length = bam_cigar_oplen(cigar[i]);
        switch (bam_cigar_op(cigar[i])) {
        case BAM_CMATCH:
        case BAM_CEQUAL:
        case BAM_CDIFF:
            blockEnd += length;
            aligned += length;
            break;
        case BAM_CDEL:
            blockEnd += length;
            break;
        case BAM_CREF_SKIP:
            if (blockEnd > blockStart)
                blockStore.push_back({static_cast<int32_t>(blockStart), static_cast<int32_t>(blockEnd - 1)});
            blockStart = blockEnd + length;
            blockEnd = blockStart;
            break;
        case BAM_CINS:
            aligned += length;
            break;
        default:
            break;
        }
        valid = !beyondInt32(blockEnd) && !beyondInt32(blockStart);
    }
    if (valid && blockEnd > blockStart)
        blockStore.push_back({static_cast<int32_t>(blockStart), static_cast<int32_t>(blockEnd - 1)});
    if (!valid || blockStore.size() == blocksBefore) {
        blockStore.resize(blocksBefore);
        return;
    }

    Read read;
    read.start = static_cast<int32_t>(core.pos + 1);
    read.length = static_cast<int32_t>(std::min<int64_t>(aligned, std::numeric_limits<int32_t>::max()));
    read.firstBlock = static_cast<uint32_t>(blocksBefore);
    read.nrBlocks = static_cast<uint32_t>(blockStore.size() - blocksBefore);
    read.paired = (core.flag & BAM_FPAIRED) != 0;
    if (read.paired)
        read.mateStart = static_cast<int32_t>(core.mpos + 1);
    read.forward = (core.flag & BAM_FREVERSE) == 0;
    read.firstMate = (core.flag & BAM_FREAD1) != 0;
    // The blocks are in place already; only the read and its key remain.
    add(bam_get_qname(record), read, nullptr);
}

void LocusFragments::add(std::string_view name, Read read, const t_exon* readBlocks)
{
    if (readBlocks != nullptr) {
        read.firstBlock = static_cast<uint32_t>(blockStore.size());
        blockStore.append(readBlocks, read.nrBlocks);
    }
    // Read indices stay below kNoRead.
    requireIndexRoom(reads.size() + 1);
    const auto readIndex = static_cast<uint32_t>(reads.size());
    reads.push_back(read);

    // Room for the one key this read may add, so that the index stays at most three quarters full.
    if (4 * (fragments.size() + 1) > 3 * index.size())
        growIndex();
    const uint32_t hash = hashOf(name);
    const uint32_t found = find(name, hash);
    if (found == 0) {
        insertKey(newFragment(name, name.size(), readIndex), hash);
        return;
    }
    Fragment& entry = fragments[found - 1];
    if (read.paired && entry.nrReads() < 2 && reads[entry.reads[0]].start == read.mateStart) {
        entry.reads[1] = readIndex;
        return;
    }

    const std::string suffix = "-" + std::to_string(fragments.size());
    derivedKey.assign(name.begin(), name.end());
    derivedKey.insert(derivedKey.end(), suffix.begin(), suffix.end());
    const std::size_t nameLength = derivedKey.size();
    derivedKey.insert(derivedKey.end(), suffix.begin(), suffix.end());
    // A read may already carry the derived name; never merge into its entry.
    uint32_t derivedHash = hashOf({derivedKey.data(), derivedKey.size()});
    while (find({derivedKey.data(), derivedKey.size()}, derivedHash) != 0) {
        derivedKey.insert(derivedKey.end(), suffix.begin(), suffix.end());
        derivedHash = hashOf({derivedKey.data(), derivedKey.size()});
    }
    insertKey(newFragment({derivedKey.data(), derivedKey.size()}, nameLength, readIndex), derivedHash);
}

uint32_t LocusFragments::newFragment(std::string_view key, std::size_t nameLength, uint32_t read)
{
    requireIndexRoom(fragments.size() + 1);
    if (names.size() + key.size() >= std::numeric_limits<uint32_t>::max())
        throw KestroveException(ERR_MEMORY_ALLOCATION);
    Fragment f;
    f.keyOffset = static_cast<uint32_t>(names.size());
    f.keyLength = static_cast<uint32_t>(key.size());
    f.nameLength = static_cast<uint32_t>(nameLength);
    f.reads[0] = read;
    names.append(key.data(), key.size());
    fragments.push_back(f);
    return static_cast<uint32_t>(fragments.size() - 1);
}

uint32_t LocusFragments::find(std::string_view name, uint32_t hash) const
{
    if (index.empty())
        return 0;
    const std::size_t mask = index.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const Slot& s = index[slot];
        if (s.entry == 0)
            return 0;
        if (s.hash != hash)
            continue;
        const Fragment& f = fragments[s.entry - 1];
        if (f.keyLength == name.size() && std::memcmp(names.data() + f.keyOffset, name.data(), name.size()) == 0)
            return s.entry;
    }
}

void LocusFragments::insertKey(uint32_t fragment, uint32_t hash)
{
    place({fragment + 1, hash});
}

void LocusFragments::place(Slot entry)
{
    const std::size_t mask = index.size() - 1;
    std::size_t slot = entry.hash & mask;
    while (index[slot].entry != 0)
        slot = (slot + 1) & mask;
    index[slot] = entry;
}

void LocusFragments::growIndex()
{
    // Slot positions come from the low bits of the hash, so 2^32 slots at most.
    if (fragments.size() >= (std::size_t{1} << 30))
        throw KestroveException(ERR_MEMORY_ALLOCATION);
    std::size_t slots = std::max<std::size_t>(1024, index.size() * 2);
    while (3 * slots < 4 * (fragments.size() + 1))
        slots *= 2;
    std::vector<Slot> larger(slots);
    index.swap(larger);
    if (!larger.empty()) {
        for (const Slot& s : larger)
            if (s.entry != 0)
                place(s);
        return;
    }
    // Keys added after sorting: the index given up then is built again.
    for (std::size_t i = 0; i < fragments.size(); ++i) {
        const Fragment& f = fragments[i];
        place({static_cast<uint32_t>(i + 1), hashOf({names.data() + f.keyOffset, f.keyLength})});
    }
}

// Keys are compared by the eight bytes after their common prefix first, as one
// big-endian number (a shorter key padded with zeros, which no name holds), and in
// full only when those agree: the order is the byte order of the whole keys.
void LocusFragments::sortByKey()
{
    // No key is looked up any more: what a large locus needed for that is not kept
    // while its keys are sorted and its fragments tested.
    if (index.size() > kKeptIndexSlots)
        std::vector<Slot>().swap(index);
    const std::size_t n = fragments.size();
    std::size_t common = 0;
    if (n > 0) {
        const Fragment& first = fragments[0];
        common = first.keyLength;
        for (const Fragment& f : fragments) {
            common = std::min<std::size_t>(common, f.keyLength);
            std::size_t i = 0;
            while (i < common && names[f.keyOffset + i] == names[first.keyOffset + i])
                ++i;
            common = i;
        }
    }
    sortKeys.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Fragment& f = fragments[i];
        uint64_t prefix = 0;
        for (std::size_t b = 0; b < 8; ++b) {
            const std::size_t at = common + b;
            prefix = (prefix << 8) | (at < f.keyLength ? static_cast<unsigned char>(names[f.keyOffset + at]) : 0u);
        }
        sortKeys[i] = {prefix, static_cast<uint32_t>(i)};
    }
    std::sort(sortKeys.begin(), sortKeys.end(), [this, common](const SortKey& a, const SortKey& b) {
        if (a.prefix != b.prefix)
            return a.prefix < b.prefix;
        const Fragment& x = fragments[a.fragment];
        const Fragment& y = fragments[b.fragment];
        return std::string_view(names.data() + x.keyOffset + common, x.keyLength - common)
            < std::string_view(names.data() + y.keyOffset + common, y.keyLength - common);
    });
    order.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        order[i] = sortKeys[i].fragment;
    std::vector<SortKey>().swap(sortKeys);
}

std::string_view LocusFragments::key(std::size_t i) const
{
    const Fragment& f = fragments[order[i]];
    return {names.data() + f.keyOffset, f.keyLength};
}

std::string_view LocusFragments::readName(std::size_t i) const
{
    const Fragment& f = fragments[order[i]];
    return {names.data() + f.keyOffset, f.nameLength};
}

uint64_t LocusFragments::pairedReads() const
{
    uint64_t count = 0;
    for (const Read& r : reads)
        count += r.paired ? 1 : 0;
    return count;
}

uint64_t LocusFragments::unmatedReads() const
{
    uint64_t count = 0;
    for (const Fragment& f : fragments)
        count += f.nrReads() == 1 && reads[f.reads[0]].paired ? 1 : 0;
    return count;
}

bool LocusFragments::unmatedNamesCarryMateSuffix() const
{
    for (const Fragment& f : fragments) {
        const Read& r = reads[f.reads[0]];
        if (f.nrReads() != 1 || !r.paired)
            continue;
        const std::string_view name(names.data() + f.keyOffset, f.nameLength);
        if (name.size() < 3 || (name[name.size() - 2] != '.' && name[name.size() - 2] != '/'))
            return false;
        return name.back() == (r.firstMate ? '1' : '2');
    }
    return false;
}
