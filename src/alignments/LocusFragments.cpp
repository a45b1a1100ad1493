#include "alignments/LocusFragments.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "util/Errors.h"
#include "util/Prefault.h"

namespace {

bool beyondInt32(int64_t position)
{
    return position > std::numeric_limits<int32_t>::max();
}

// Eight bytes at a time and a final mix: a large locus's index is built again from
// its keys each time it grows. Names differ mostly in their last characters, which
// the mix spreads over every bit. The last eight bytes are read as one word, over
// bytes already mixed in when the key's length is not a multiple of eight.
uint32_t hashOf(std::string_view text)
{
    constexpr uint64_t kMultiplier = 0x9e3779b97f4a7c15ULL;
    const std::size_t n = text.size();
    uint64_t h = n * kMultiplier;
    uint64_t word = 0;
    if (n >= 8) {
        for (std::size_t at = 0; at + 8 < n; at += 8) {
            std::memcpy(&word, text.data() + at, 8);
            h = (h ^ word) * kMultiplier;
            h ^= h >> 29;
        }
        std::memcpy(&word, text.data() + n - 8, 8);
    } else {
        for (std::size_t at = 0; at < n; ++at)
            word |= uint64_t{static_cast<unsigned char>(text[at])} << (8 * at);
    }
    h = (h ^ word) * kMultiplier;
    h ^= h >> 32;
    h *= 0xd6e8feb86659fd93ULL;
    h ^= h >> 32;
    return static_cast<uint32_t>(h);
}

// The high bits of the hash pick the slot, the low ones are kept in it: any number of
// slots works, so the index grows by half rather than doubling.
std::size_t homeSlot(uint32_t hash, std::size_t slots)
{
    return static_cast<std::size_t>((uint64_t{hash} * slots) >> 32);
}

uint8_t tagOf(uint32_t hash) { return static_cast<uint8_t>(hash); }

constexpr std::size_t kMinIndexSlots = 1024;
constexpr std::size_t kKeptIndexSlots = std::size_t{1} << 12;

// A record: state byte, word, key length (7 bits a byte), key.
enum : uint8_t { kJoined = 1, kFirstPaired = 2, kFirstMate = 4, kDerivedKey = 8 };
constexpr std::size_t kWordAt = 1;
constexpr std::size_t kLengthAt = kWordAt + sizeof(uint32_t);
// A waiting read's firstBlock once its mate has joined.
constexpr uint32_t kGone = 0xffffffffu;
constexpr std::size_t kMaxLengthBytes = 5;

void appendLength(FlatArray<char>& records, std::size_t length)
{
    do {
        const auto low = static_cast<char>(length & 0x7f);
        length >>= 7;
        records.push_back(static_cast<char>(low | (length != 0 ? 0x80 : 0)));
    } while (length != 0);
}

std::string_view keyAt(const char* record)
{
    const auto* at = reinterpret_cast<const unsigned char*>(record + kLengthAt);
    std::size_t length = 0;
    for (unsigned shift = 0;; shift += 7) {
        const unsigned char byte = *at++;
        length |= std::size_t{byte & 0x7fu} << shift;
        if ((byte & 0x80) == 0)
            break;
    }
    return {reinterpret_cast<const char*>(at), length};
}

uint32_t wordAt(const char* record)
{
    uint32_t word;
    std::memcpy(&word, record + kWordAt, sizeof word);
    return word;
}

void setWord(char* record, uint32_t word)
{
    std::memcpy(record + kWordAt, &word, sizeof word);
}

void requireIndexRoom(std::size_t count)
{
    if (count >= std::numeric_limits<uint32_t>::max())
        throw KestroveException(ERR_MEMORY_ALLOCATION);
}

} // namespace

void LocusFragments::clear()
{
    records.clear();
    waiting.clear();
    waitingBlocks.clear();
    waitingGone = 0;
    count = 0;
    paired = 0;
    unmated = 0;
    // Wiping a large index for every small locus after it would cost more than rebuilding it.
    if (index.size() > kKeptIndexSlots)
        index.release();
    else
        std::fill(index.begin(), index.end(), Slot{});
}

void LocusFragments::release()
{
    LocusFragments empty;
    std::swap(*this, empty);
}

void LocusFragments::finishAdding(Consumer& consumer)
{
    if (index.size() > kKeptIndexSlots)
        index.release();
    for (const Waiting& w : waiting)
        if (w.read.firstBlock != kGone)
            consumer.leftAlone(w.id, w.read, waitingBlocks.data() + w.read.firstBlock);
    waiting.release();
    waitingBlocks.release();
    waitingGone = 0;
}

std::size_t LocusFragments::capacityBytes() const
{
    return records.capacity() + index.capacity() * sizeof(Slot)
        + (recordBlocks.capacity() + waitingBlocks.capacity()) * sizeof(t_exon) + waiting.capacity() * sizeof(Waiting);
}

// The CIGAR walk: aligned blocks (1-based, inclusive) and the aligned length.
// A block that covers no reference base (two gaps in a row, a gap at either
// end, only clips) is left out: an empty block would let a read that aligns
// nothing there pass as compatible and give it a position on no exon. A record
// with no block at all or running past the 32-bit range is left out.
void LocusFragments::add(const bam1_t* record, Consumer& consumer)
{
    const bam1_core_t& core = record->core;
    // Without CIGAR operations a record has no aligned block to test against exons.
    if (core.tid < 0 || (core.flag & BAM_FUNMAP) || core.n_cigar == 0)
        return;

    recordBlocks.clear();
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
                recordBlocks.push_back({static_cast<int32_t>(blockStart), static_cast<int32_t>(blockEnd - 1)});
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
        recordBlocks.push_back({static_cast<int32_t>(blockStart), static_cast<int32_t>(blockEnd - 1)});
    if (!valid || recordBlocks.empty())
        return;

    Read read;
    read.start = static_cast<int32_t>(core.pos + 1);
    read.length = static_cast<int32_t>(std::min<int64_t>(aligned, std::numeric_limits<int32_t>::max()));
    read.nrBlocks = static_cast<uint32_t>(recordBlocks.size());
    read.paired = (core.flag & BAM_FPAIRED) != 0;
    if (read.paired)
        read.mateStart = static_cast<int32_t>(core.mpos + 1);
    read.forward = (core.flag & BAM_FREVERSE) == 0;
    read.firstMate = (core.flag & BAM_FREAD1) != 0;
    add(bam_get_qname(record), read, recordBlocks.data(), consumer);
}

void LocusFragments::add(std::string_view name, Read read, const t_exon* blocks, Consumer& consumer)
{
    paired += read.paired ? 1 : 0;
    // Room for the one key this read may add, so that the index stays at most three quarters full.
    if (4 * (std::size_t{count} + 1) > 3 * index.size())
        growIndex(std::size_t{count} + 1);
    const uint32_t hash = hashOf(name);
    const uint32_t found = find(name, hash);
    if (found == 0) {
        consumer.started(newEntry(name, hash, read, blocks, 0), name, name, read, blocks);
        return;
    }
    const uint32_t id = found - 1;
    const auto state = static_cast<uint8_t>(records[id]);
    const uint32_t word = wordAt(&records[id]);
    Waiting* first = (state & (kJoined | kFirstPaired)) == kFirstPaired ? &waiting[word] : nullptr;
    const int32_t firstStart = first != nullptr ? first->read.start : static_cast<int32_t>(word);
    if (read.paired && !(state & kJoined) && firstStart == read.mateStart) {
        records[id] = static_cast<char>(state | kJoined);
        if (first == nullptr) {
            consumer.joined(id, nullptr, nullptr, read, blocks);
            return;
        }
        --unmated;
        consumer.joined(id, &first->read, waitingBlocks.data() + first->read.firstBlock, read, blocks);
        first->read.firstBlock = kGone;
        // Deep loci keep thousands of reads waiting: at most a quarter of the pool is
        // left as gaps, so that it grows with the reads that wait, not with those gone.
        if (4 * ++waitingGone >= waiting.size())
            compactWaiting();
        return;
    }

    const std::string suffix = "-" + std::to_string(count);
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
    const std::string_view key(derivedKey.data(), derivedKey.size());
    consumer.started(newEntry(key, derivedHash, read, blocks, kDerivedKey), key, key.substr(0, nameLength), read,
                     blocks);
}

uint32_t LocusFragments::newEntry(std::string_view key, uint32_t hash, const Read& read, const t_exon* blocks,
                                  uint8_t state)
{
    requireIndexRoom(std::size_t{count} + 1);
    const std::size_t id = records.size();
    requireIndexRoom(id + kLengthAt + kMaxLengthBytes + key.size());
    uint32_t word = static_cast<uint32_t>(read.start);
    if (read.paired) {
        word = static_cast<uint32_t>(waiting.size());
        Waiting w{static_cast<uint32_t>(id), read};
        w.read.firstBlock = static_cast<uint32_t>(waitingBlocks.size());
        waitingBlocks.append(blocks, read.nrBlocks);
        waiting.push_back(w);
        ++unmated;
    }
    state |= (read.paired ? kFirstPaired : 0) | (read.firstMate ? kFirstMate : 0);
    records.push_back(static_cast<char>(state));
    records.append(reinterpret_cast<const char*>(&word), sizeof word);
    appendLength(records, key.size());
    records.append(key.data(), key.size());
    place(static_cast<uint32_t>(id), hash);
    ++count;
    return static_cast<uint32_t>(id);
}

// Blocks lie in the order of their reads, so both move towards the front only.
void LocusFragments::compactWaiting()
{
    std::size_t kept = 0;
    std::size_t keptBlocks = 0;
    for (const Waiting& w : waiting) {
        if (w.read.firstBlock == kGone)
            continue;
        Waiting moved = w;
        std::memmove(waitingBlocks.data() + keptBlocks, waitingBlocks.data() + w.read.firstBlock,
                     w.read.nrBlocks * sizeof(t_exon));
        moved.read.firstBlock = static_cast<uint32_t>(keptBlocks);
        keptBlocks += w.read.nrBlocks;
        setWord(&records[w.id], static_cast<uint32_t>(kept));
        waiting[kept++] = moved;
    }
    waiting.resize(kept);
    waitingBlocks.resize(keptBlocks);
    waitingGone = 0;
}

uint32_t LocusFragments::find(std::string_view key, uint32_t hash) const
{
    if (index.empty())
        return 0;
    const uint8_t tag = tagOf(hash);
    for (std::size_t slot = homeSlot(hash, index.size());; slot = slot + 1 == index.size() ? 0 : slot + 1) {
        const Slot s = index[slot];
        if (s.entry == 0)
            return 0;
        if (s.tag == tag && keyAt(&records[s.entry - 1]) == key)
            return s.entry;
    }
}

void LocusFragments::place(uint32_t id, uint32_t hash)
{
    std::size_t slot = homeSlot(hash, index.size());
    while (index[slot].entry != 0)
        slot = slot + 1 == index.size() ? 0 : slot + 1;
    index[slot] = {id + 1, tagOf(hash)};
}

void LocusFragments::expect(std::size_t n)
{
    if (4 * (n + 1) > 3 * index.size())
        growIndex(std::min(n, std::size_t{1} << 30));
}

// Room for the given number of keys, at most three quarters full. The keys are hashed
// again rather than moved from the old index, which is given back first: growing never
// holds two indexes.
void LocusFragments::growIndex(std::size_t keys)
{
    // The index holds ids below 2^32 in at most 2^32 slots.
    if (count >= (std::size_t{1} << 30))
        throw KestroveException(ERR_MEMORY_ALLOCATION);
    std::size_t slots = std::max(kMinIndexSlots, index.size() + index.size() / 2);
    while (3 * slots < 4 * keys)
        slots += slots / 2;
    index.release();
    releaseFreeHeapForLargestLocus(slots);
    index.resize(slots);
    std::fill(index.begin(), index.end(), Slot{});
    for (std::size_t id = 0; id < records.size();) {
        const std::string_view key = keyAt(&records[id]);
        place(static_cast<uint32_t>(id), hashOf(key));
        id = static_cast<std::size_t>(key.data() + key.size() - records.data());
    }
}

std::string_view LocusFragments::key(uint32_t id) const
{
    return keyAt(&records[id]);
}

// Keys are compared by the eight bytes after their common prefix first, as one
// big-endian number (a shorter key padded with zeros, which no name holds), and in
// full only when those agree: the order is the byte order of the whole keys.
void LocusFragments::orderByKey(FlatArray<uint32_t>& ids) const
{
    const std::size_t n = ids.size();
    std::size_t common = 0;
    if (n > 0) {
        const std::string_view first = key(ids[0]);
        common = first.size();
        for (uint32_t id : ids) {
            const std::string_view k = key(id);
            common = std::min(common, k.size());
            std::size_t i = 0;
            while (i < common && k[i] == first[i])
                ++i;
            common = i;
        }
    }
#pragma pack(push, 4)
    struct SortKey {
        uint64_t prefix;
        uint32_t position;
    };
#pragma pack(pop)
    FlatArray<SortKey> sortKeys;
    sortKeys.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view k = key(ids[i]);
        uint64_t prefix = 0;
        for (std::size_t b = 0; b < 8; ++b) {
            const std::size_t at = common + b;
            prefix = (prefix << 8) | (at < k.size() ? static_cast<unsigned char>(k[at]) : 0u);
        }
        sortKeys[i] = {prefix, static_cast<uint32_t>(i)};
    }
    std::sort(sortKeys.begin(), sortKeys.end(), [this, &ids, common](const SortKey& a, const SortKey& b) {
        if (a.prefix != b.prefix)
            return a.prefix < b.prefix;
        return key(ids[a.position]).substr(common) < key(ids[b.position]).substr(common);
    });
    for (std::size_t i = 0; i < n; ++i)
        ids[i] = sortKeys[i].position;
}

bool LocusFragments::unmatedNamesCarryMateSuffix() const
{
    for (std::size_t id = 0; id < records.size();) {
        const auto state = static_cast<uint8_t>(records[id]);
        const std::string_view name = keyAt(&records[id]);
        id = static_cast<std::size_t>(name.data() + name.size() - records.data());
        if ((state & (kJoined | kFirstPaired)) != kFirstPaired)
            continue;
        // A derived key's name ends in "-<digits>", no mate suffix.
        if ((state & kDerivedKey) || name.size() < 3 || (name[name.size() - 2] != '.' && name[name.size() - 2] != '/'))
            return false;
        return name.back() == ((state & kFirstMate) ? '1' : '2');
    }
    return false;
}
