#include "alignments/BamSort.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <new>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include <htslib/hts.h>
#include <htslib/sam.h>

#include "alignments/BamIO.h"
#include "alignments/BamIndex.h"

namespace {

using FilePtr = std::unique_ptr<htsFile, HtsFileCloser>;
using HeaderPtr = std::unique_ptr<sam_hdr_t, HtsHeaderFree>;
using RecordPtr = std::unique_ptr<bam1_t, BamRecordFree>;

// Enough open runs to keep one merge pass for inputs of many times the memory
// limit, few enough to stay far below the usual open-file limit.
constexpr std::size_t kMaxMergeFanIn = 64;
// An index built as the output is written holds about 3 bytes a record until it is
// saved (aligner-like reads, a quarter of them spliced), with some room to spare.
constexpr uint64_t kIndexBytesPerRecord = 4;
// What the sort needs beside its records: htslib's buffers for the input, the output
// and the runs being merged (a few MB), and the pages of a program that does little
// else, such as a sort benchmark's.
constexpr std::size_t kOverheadBytes = std::size_t{8} << 20;
constexpr uint64_t kNoReference = UINT64_MAX;

struct SortFailure {
    BamSortStatus status;
    std::string message;
};

SortFailure writeFailure(const std::string& path, int err)
{
    std::string message = "cannot write " + path;
    if (err != 0)
        message += std::string(": ") + std::strerror(err);
    return {BamSortStatus::writeError, message};
}

struct SortKey {
    uint64_t primary;  // reference id, then 1-based position
    uint32_t reverse;

    auto operator<=>(const SortKey&) const = default;
};

// Records without a reference share one key, so they keep their input order.
SortKey keyOf(const bam1_core_t& core)
{
    if (core.tid < 0)
        return {kNoReference, 0};
    uint64_t primary = (uint64_t{static_cast<uint32_t>(core.tid)} << 32) | static_cast<uint32_t>(core.pos + 1);
    return {primary, (core.flag & BAM_FREVERSE) ? 1u : 0u};
}

// A record as kept in memory: its core, then its variable data.
struct StoredHeader {
    bam1_core_t core;
    uint32_t dataLength;
};

constexpr std::size_t alignedSize(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

std::size_t storedSize(const bam1_t* record)
{
    return alignedSize(sizeof(StoredHeader) + static_cast<std::size_t>(record->l_data));
}

// Bump allocator over large chunks; cleared chunks are reused, so a second run
// touches no new memory.
class RecordArena {
public:
    explicit RecordArena(std::size_t chunkSize) : chunkSize(chunkSize) {}

    uint8_t* allocate(std::size_t n)
    {
        while (current < chunks.size()) {
            Chunk& chunk = chunks[current];
            if (offset + n <= chunk.size) {
                uint8_t* p = chunk.data.get() + offset;
                offset += n;
                used += n;
                return p;
            }
            ++current;
            offset = 0;
        }
        std::size_t size = std::max(chunkSize, n);
        chunks.push_back({std::make_unique_for_overwrite<uint8_t[]>(size), size});
        current = chunks.size() - 1;
        offset = n;
        used += n;
        return chunks.back().data.get();
    }

    void clear()
    {
        current = 0;
        offset = 0;
        used = 0;
    }

    // Gives back the chunks past the one in use: a last batch smaller than the others
    // does not keep their room through the merge.
    void releaseUnused()
    {
        if (current + 1 < chunks.size())
            chunks.resize(current + 1);
    }
    void release()
    {
        chunks.clear();
        clear();
    }

    std::size_t bytesUsed() const { return used; }
    std::size_t bytesHeld() const
    {
        std::size_t held = 0;
        for (const Chunk& chunk : chunks)
            held += chunk.size;
        return held;
    }

private:
    struct Chunk {
        std::unique_ptr<uint8_t[]> data;
        std::size_t size;
    };
    std::vector<Chunk> chunks;
    std::size_t chunkSize;
    std::size_t current = 0;
    std::size_t offset = 0;
    std::size_t used = 0;
};

struct Entry {
    uint64_t primary;
    uint64_t secondary;  // strand in the top bit, input ordinal below: makes the sort stable
    uint8_t* stored;

    bool operator<(const Entry& other) const
    {
        return primary < other.primary || (primary == other.primary && secondary < other.secondary);
    }
};

// A read-only bam1_t over a stored record; htslib never frees or grows it.
void viewOf(const Entry& entry, bam1_t& view)
{
    const auto* stored = reinterpret_cast<const StoredHeader*>(entry.stored);
    view.core = stored->core;
    view.data = entry.stored + sizeof(StoredHeader);
    view.l_data = static_cast<int>(stored->dataLength);
    view.m_data = stored->dataLength;
    bam_set_mempolicy(&view, BAM_USER_OWNS_STRUCT | BAM_USER_OWNS_DATA);
}

class SortBuffer {
public:
    explicit SortBuffer(std::size_t limit)
        : limit(limit), arena(std::clamp<std::size_t>(limit / 16, std::size_t{64} << 10, std::size_t{64} << 20))
    {
    }

    // Counts the record and the entry array as it would be after growing.
    bool hasRoomFor(const bam1_t* record) const
    {
        if (entries.empty())
            return true;
        std::size_t entryBytes = entries.capacity() * sizeof(Entry);
        if (entries.size() == entries.capacity())
            entryBytes *= 2;
        return arena.bytesUsed() + entryBytes + storedSize(record) <= limit;
    }

    void add(const bam1_t* record, uint64_t ordinal)
    {
        uint8_t* p = arena.allocate(storedSize(record));
        StoredHeader stored{record->core, static_cast<uint32_t>(record->l_data)};
        std::memcpy(p, &stored, sizeof stored);
        std::memcpy(p + sizeof(StoredHeader), record->data, static_cast<std::size_t>(record->l_data));
        SortKey key = keyOf(record->core);
        entries.push_back({key.primary, (uint64_t{key.reverse} << 63) | ordinal, p});
    }

    void sort() { std::sort(entries.begin(), entries.end()); }

    void clear()
    {
        entries.clear();
        arena.clear();
    }
    void release()
    {
        std::vector<Entry>().swap(entries);
        arena.release();
    }
    void releaseUnused() { arena.releaseUnused(); }

    // What the buffer holds in memory, used or not.
    std::size_t bytesHeld() const { return arena.bytesHeld() + entries.capacity() * sizeof(Entry); }
    std::size_t bytesLimit() const { return limit; }

    bool empty() const { return entries.empty(); }
    const std::vector<Entry>& sortedEntries() const { return entries; }

private:
    std::size_t limit;
    RecordArena arena;
    std::vector<Entry> entries;
};

// The first number of a line of a /proc or /sys file that starts with key (the whole
// file's first number when key is empty); 0 when there is none.
uint64_t numberIn(const char* path, const std::string& key)
{
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size(), key) != 0)
            continue;
        const std::size_t digits = line.find_first_of("0123456789", key.size());
        return digits == std::string::npos ? 0 : std::strtoull(line.c_str() + digits, nullptr, 10);
    }
    return 0;
}

FilePtr openForWriting(const std::string& path, const char* mode, const sam_hdr_t* header)
{
    errno = 0;
    FilePtr file(hts_open(path.c_str(), mode));
    if (!file || sam_hdr_write(file.get(), header) < 0)
        throw writeFailure(path, errno);
    return file;
}

// Closing flushes the last block, so its result decides whether the file is complete.
void finishWriting(FilePtr& file, const std::string& path)
{
    errno = 0;
    if (hts_close(file.release()) < 0)
        throw writeFailure(path, errno);
}

void markCoordinateSorted(sam_hdr_t* header)
{
    int r;
    if (sam_hdr_count_lines(header, "HD") > 0) {
        sam_hdr_remove_tag_hd(header, "SS");
        r = sam_hdr_update_hd(header, "SO", "coordinate");
    } else {
        r = sam_hdr_add_line(header, "HD", "VN", SAM_FORMAT_VERSION, "SO", "coordinate", nullptr);
    }
    if (r < 0)
        throw std::bad_alloc();
}

// One input of a merge: a spilled run on disk, or the sorted records still in memory.
struct MergeSource {
    FilePtr file;
    std::string path;
    RecordPtr record;
    const Entry* next = nullptr;
    const Entry* end = nullptr;
    bam1_t view{};
    const bam1_t* current = nullptr;

    bool advance(sam_hdr_t* header)
    {
        if (file) {
            int r = sam_read1(file.get(), header, record.get());
            if (r >= 0) {
                current = record.get();
                return true;
            }
            if (r < -1)
                throw SortFailure{BamSortStatus::readError, "cannot read back the temporary run " + path};
            current = nullptr;
            return false;
        }
        if (next == end) {
            current = nullptr;
            return false;
        }
        viewOf(*next++, view);
        current = &view;
        return true;
    }
};

struct HeapItem {
    SortKey key;
    std::size_t source;  // sources are in input order, so this keeps equal keys stable

    bool operator>(const HeapItem& other) const
    {
        if (key != other.key)
            return key > other.key;
        return source > other.source;
    }
};

void merge(std::vector<MergeSource>& sources, sam_hdr_t* header, htsFile* out, const std::string& outPath)
{
    std::priority_queue<HeapItem, std::vector<HeapItem>, std::greater<>> heap;
    for (std::size_t i = 0; i < sources.size(); ++i)
        if (sources[i].advance(header))
            heap.push({keyOf(sources[i].current->core), i});
    while (!heap.empty()) {
        std::size_t i = heap.top().source;
        heap.pop();
        MergeSource& source = sources[i];
        errno = 0;
        if (sam_write1(out, header, source.current) < 0)
            throw writeFailure(outPath, errno);
        if (source.advance(header))
            heap.push({keyOf(source.current->core), i});
    }
}

MergeSource runSource(const std::string& path)
{
    MergeSource source;
    source.path = path;
    source.file.reset(hts_open(path.c_str(), "r"));
    source.record.reset(bam_init1());
    if (!source.file || !source.record)
        throw SortFailure{BamSortStatus::readError, "cannot read back the temporary run " + path};
    HeaderPtr runHeader(sam_hdr_read(source.file.get()));
    if (!runHeader)
        throw SortFailure{BamSortStatus::readError, "cannot read back the temporary run " + path};
    return source;
}

// The share of the memory bound the records may take: htslib's buffers and the
// program's own pages count against it too, up to half of it.
std::size_t recordLimit(std::size_t memoryLimit) { return memoryLimit - std::min(memoryLimit / 2, kOverheadBytes); }

class CoordinateSorter {
public:
    CoordinateSorter(const std::string& inPath, const std::string& outPath, std::size_t memoryLimit, bool withIndex)
        : inPath(inPath), outPath(outPath), withIndex(withIndex), temps(outPath), buffer(recordLimit(memoryLimit))
    {
    }

    std::size_t run()
    {
        openInput();
        std::string outTemp = createTemporary();
        // Opened before reading so that an unwritable directory fails at once.
        FilePtr out = openForWriting(outTemp, "wb", outHeader.get());
        // Indexed as it is written: reading the output back for its index would cost a
        // second pass over it.
        std::string indexTemp;
        if (withIndex) {
            indexTemp = createTemporary();
            errno = 0;
            if (sam_idx_init(out.get(), outHeader.get(), indexMinShift(outHeader.get()), indexTemp.c_str()) < 0)
                throw writeFailure(indexTemp, errno);
        }

        RecordPtr record(bam_init1());
        if (!record)
            throw std::bad_alloc();
        uint64_t ordinal = 0;
        int r;
        while ((r = sam_read1(input.get(), inHeader.get(), record.get())) >= 0) {
            if (!buffer.hasRoomFor(record.get()))
                spill();
            buffer.add(record.get(), ordinal++);
        }
        if (r < -1)
            throw SortFailure{BamSortStatus::readError,
                              inPath + " is truncated or corrupted: unreadable after record " + std::to_string(ordinal)};
        input.reset();

        // The index grows as the output is written, while the last batch is still held:
        // when both would not fit, the batch goes to a run of its own first.
        if (withIndex && buffer.bytesHeld() + ordinal * kIndexBytesPerRecord > buffer.bytesLimit())
            spill();
        if (buffer.empty())
            buffer.release();
        buffer.releaseUnused();
        buffer.sort();
        while (runs.size() >= kMaxMergeFanIn)
            collapseRuns();
        std::vector<MergeSource> sources;
        for (const std::string& path : runs)
            sources.push_back(runSource(path));
        MergeSource inMemory;
        inMemory.next = buffer.sortedEntries().data();
        inMemory.end = inMemory.next + buffer.sortedEntries().size();
        sources.push_back(std::move(inMemory));
        merge(sources, outHeader.get(), out.get(), outTemp);
        errno = 0;
        if (withIndex && sam_idx_save(out.get()) < 0)
            throw writeFailure(indexTemp, errno);
        finishWriting(out, outTemp);

        if (std::rename(outTemp.c_str(), outPath.c_str()) != 0)
            throw writeFailure(outPath, errno);
        temps.forget(outTemp);
        if (withIndex) {
            // Saved before the output's last block was written: dated now, or a run would
            // take it for an index older than its file.
            indexPath = ::indexPath(outPath, outHeader.get());
            errno = 0;
            if (::utimensat(AT_FDCWD, indexTemp.c_str(), nullptr, 0) != 0
                || std::rename(indexTemp.c_str(), indexPath.c_str()) != 0)
                throw writeFailure(indexPath, errno);
            temps.forget(indexTemp);
        }
        return spilledRuns;
    }

    // The index written with the output; empty without one.
    std::string indexPath;

private:
    std::string createTemporary()
    {
        std::string path = temps.create();
        if (path.empty())
            throw writeFailure(outPath + ".tmp.*", errno);
        return path;
    }

    void openInput()
    {
        errno = 0;
        input.reset(hts_open(inPath.c_str(), "r"));
        if (!input) {
            std::string message = "cannot open " + inPath;
            if (errno != 0)
                message += std::string(": ") + std::strerror(errno);
            throw SortFailure{BamSortStatus::readError, message};
        }
        inHeader.reset(sam_hdr_read(input.get()));
        if (!inHeader)
            throw SortFailure{BamSortStatus::readError, inPath + " has an unreadable header"};
        outHeader.reset(sam_hdr_dup(inHeader.get()));
        if (!outHeader)
            throw std::bad_alloc();
        markCoordinateSorted(outHeader.get());
    }

    void spill()
    {
        buffer.sort();
        std::string path = createTemporary();
        // Runs are read back once: fast compression is enough.
        FilePtr run = openForWriting(path, "wb1", outHeader.get());
        bam1_t view{};
        for (const Entry& entry : buffer.sortedEntries()) {
            viewOf(entry, view);
            errno = 0;
            if (sam_write1(run.get(), outHeader.get(), &view) < 0)
                throw writeFailure(path, errno);
        }
        finishWriting(run, path);
        runs.push_back(path);
        buffer.clear();
        ++spilledRuns;
    }

    // Merges consecutive groups of runs, so runs stay in input order.
    void collapseRuns()
    {
        std::vector<std::string> collapsed;
        for (std::size_t first = 0; first < runs.size(); first += kMaxMergeFanIn) {
            std::size_t last = std::min(runs.size(), first + kMaxMergeFanIn);
            if (last - first == 1) {
                collapsed.push_back(runs[first]);
                continue;
            }
            std::vector<MergeSource> sources;
            for (std::size_t i = first; i < last; ++i)
                sources.push_back(runSource(runs[i]));
            std::string path = createTemporary();
            FilePtr merged = openForWriting(path, "wb1", outHeader.get());
            merge(sources, outHeader.get(), merged.get(), path);
            finishWriting(merged, path);
            sources.clear();
            for (std::size_t i = first; i < last; ++i)
                temps.remove(runs[i]);
            collapsed.push_back(path);
        }
        runs = std::move(collapsed);
    }

    std::string inPath;
    std::string outPath;
    bool withIndex;
    ScratchFiles temps;
    SortBuffer buffer;
    FilePtr input;
    HeaderPtr inHeader;
    HeaderPtr outHeader;
    std::vector<std::string> runs;
    std::size_t spilledRuns = 0;
};

} // namespace

std::size_t defaultSortMemory()
{
    constexpr uint64_t kLeast = uint64_t{16} << 20;
    constexpr uint64_t kMost = uint64_t{768} << 20;
    uint64_t room = kMost;
    // Under an address-space limit (ulimit -v) the sort gets half of what is left: the
    // record buffers grow by doubling, and the input and output need room too.
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const uint64_t mapped = numberIn("/proc/self/statm", "") * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
        room = std::min<uint64_t>(room, limit.rlim_cur > mapped ? (limit.rlim_cur - mapped) / 2 : 0);
    }
    // A quarter of the memory free for this process, in the machine or in its container.
    if (const uint64_t available = numberIn("/proc/meminfo", "MemAvailable:") << 10; available != 0)
        room = std::min(room, available / 4);
    const uint64_t containerLimit = numberIn("/sys/fs/cgroup/memory.max", "");
    const uint64_t containerUse = numberIn("/sys/fs/cgroup/memory.current", "");
    if (containerLimit > containerUse)
        room = std::min(room, (containerLimit - containerUse) / 4);
    return static_cast<std::size_t>(std::max(room, kLeast));
}

BamSortResult sortBamByCoordinate(const std::string& inPath, const std::string& outPath, std::size_t memoryLimit,
                                  bool withIndex)
{
    BamSortResult result;
    // Failures are reported in one line of our own instead of htslib's log.
    HtsLogSilencer quiet;
    try {
        CoordinateSorter sorter(inPath, outPath, memoryLimit, withIndex);
        result.spilledRuns = sorter.run();
        result.indexPath = sorter.indexPath;
    } catch (const SortFailure& failure) {
        result.status = failure.status;
        result.message = failure.message;
    } catch (const std::bad_alloc&) {
        result.status = BamSortStatus::memoryError;
        result.message = "not enough memory to sort " + inPath;
    }
    return result;
}
