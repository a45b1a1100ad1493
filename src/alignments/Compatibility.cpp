#include "alignments/Compatibility.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "util/Errors.h"
#include "util/Prefault.h"

namespace {

bool strandAgrees(const t_transcript& transcript, bool paired, bool forward, bool firstMate, int32_t strandedness)
{
    const bool secondMate = paired && !firstMate;
    const bool sameStrand = forward == transcript.forwardStrand;
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

struct Coordinates {
    int32_t transStart = 0;
    int32_t transEnd = 0;
    int32_t fragLength = 0;
};

Coordinates coordinates(int64_t transStart, int64_t transEnd)
{
    return {saturated(transStart), saturated(transEnd), saturated(transEnd - transStart + 1)};
}

// A position not inside any exon cannot be placed on the transcript; the
// compatibility test rules that out, but the walk must not depend on it.
Coordinates convertForward(const t_transcript& transcript, int32_t start, int32_t end, bool paired)
{
    const std::vector<t_exon>& exons = transcript.exons;
    int64_t offset = 0;
    bool startFound = false;
    int64_t transStart = 0;
    for (std::size_t i = 0; i < exons.size(); ++i) {
        if (i > 0)
            offset += int64_t{exons[i].start} - exons[i - 1].end - 1;
        const int64_t firstBase = exons.front().start;
        if (!startFound && contains(exons[i], start)) {
            transStart = start - firstBase + 1 - offset;
            startFound = true;
            if (!paired)
                return {saturated(transStart), 0, 0};
        }
        if (startFound && contains(exons[i], end))
            return coordinates(transStart, end - firstBase + 1 - offset);
    }
    return {saturated(transStart), 0, 0};
}

Coordinates convertReverse(const t_transcript& transcript, int32_t start, int32_t end, bool paired)
{
    const std::vector<t_exon>& exons = transcript.exons;
    int64_t offset = 0;
    bool endFound = false;
    int64_t transStart = 0;
    for (std::size_t i = exons.size(); i-- > 0;) {
        if (i + 1 < exons.size())
            offset += int64_t{exons[i + 1].start} - exons[i].end - 1;
        const int64_t lastBase = exons.back().end;
        if (!endFound && contains(exons[i], end)) {
            transStart = lastBase - end + 1 - offset;
            endFound = true;
            if (!paired)
                return {saturated(transStart), 0, 0};
        }
        if (endFound && contains(exons[i], start))
            return coordinates(transStart, lastBase - start + 1 - offset);
    }
    return {saturated(transStart), 0, 0};
}

Coordinates convert(const t_transcript& transcript, int32_t start, int32_t end, bool paired)
{
    return transcript.forwardStrand ? convertForward(transcript, start, end, paired)
                                    : convertReverse(transcript, start, end, paired);
}

// One value per transcript in each vector, whatever the walk finds.
void appendCoordinates(t_read& read, const Coordinates& c)
{
    read.transStarts.push_back(c.transStart);
    read.transEnds.push_back(c.transEnd);
    read.fragLengths.push_back(c.fragLength);
}

// The read's blocks lie in consecutive exons: the inner block edges on the exon
// edges, the outer ones inside the first and last exon.
bool blocksFit(const std::vector<t_exon>& exons, const t_exon* blocks, std::size_t nB)
{
    const std::size_t nE = exons.size();
    if (nB == 0 || nE < nB)
        return false;
    if (blocks[0].start > exons.back().end || blocks[nB - 1].end < exons.front().start)
        return false;

    std::size_t k = 0;
    while (k < nE && exons[k].end < blocks[0].start)
        ++k;
    if (k == nE || blocks[0].start < exons[k].start || k + nB > nE)
        return false;

    for (std::size_t m = 0; m < nB; ++m) {
        if (m + 1 < nB && blocks[m].end > exons[k + m].end)
            return false;
        if (m > 0 && blocks[m].start != exons[k + m].start)
            return false;
    }
    return blocks[nB - 1].end <= exons[k + nB - 1].end;
}

// A read as the fit test sees it, from either form the reads are held in.
struct ReadOnGenome {
    bool paired;
    bool forward;
    bool firstMate;
    const t_exon* blocks;
    std::size_t nrBlocks;
};

ReadOnGenome onGenome(const LocusFragments::Read& read, const t_exon* blocks)
{
    return {read.paired != 0, read.forward != 0, read.firstMate != 0, blocks, read.nrBlocks};
}

ReadOnGenome onGenome(const t_read& read)
{
    return {read.paired, read.forward, read.firstMate, read.blocks.data(), read.blocks.size()};
}

bool readFits(const t_transcript& transcript, const ReadOnGenome& read, int32_t strandedness)
{
    return strandAgrees(transcript, read.paired, read.forward, read.firstMate, strandedness)
        && blocksFit(transcript.exons, read.blocks, read.nrBlocks);
}

// A fragment fits a transcript when its first read does and, for a pair, its second.
bool fragmentFits(const t_transcript& transcript, const ReadOnGenome& first, const ReadOnGenome* second,
                  int32_t strandedness)
{
    return readFits(transcript, first, strandedness)
        && (second == nullptr || readFits(transcript, *second, strandedness));
}

constexpr uint32_t kPairedFit = uint32_t{1} << 31;

void testFragment(const std::vector<t_transcript>& transcripts, int32_t strandedness, uint32_t id,
                  const LocusFragments::Read& first, const t_exon* firstBlocks, const LocusFragments::Read* second,
                  const t_exon* secondBlocks, TestedFragments& out)
{
    const std::size_t before = out.fits.size();
    const ReadOnGenome firstRead = onGenome(first, firstBlocks);
    ReadOnGenome secondRead{};
    if (second != nullptr)
        secondRead = onGenome(*second, secondBlocks);
    for (std::size_t t = 0; t < transcripts.size(); ++t) {
        if (fragmentFits(transcripts[t], firstRead, second != nullptr ? &secondRead : nullptr, strandedness)) {
            out.fits.push_back(static_cast<uint32_t>(t));
            ++out.counts[t];
        }
    }
    if (out.fits.size() == before)
        return;
    if (out.fits.size() >= kPairedFit)
        throw KestroveException(ERR_MEMORY_ALLOCATION);
    const LocusFragments::Read& last = second != nullptr ? *second : first;
    const t_exon* lastBlocks = second != nullptr ? secondBlocks : firstBlocks;
    out.testedIds.push_back(id);
    out.spanStarts.push_back(firstBlocks[0].start);
    out.spanEnds.push_back(lastBlocks[last.nrBlocks - 1].end);
    out.firstFits.push_back(static_cast<uint32_t>(before) | (first.paired ? kPairedFit : 0));
}

// A fragment to test: its reads, their blocks in the batch's.
struct TestRequest {
    uint32_t id;
    LocusFragments::Read first;
    LocusFragments::Read second;  // no blocks: a fragment of one read
};

struct TestBatch {
    std::vector<TestRequest> requests;
    std::vector<t_exon> blocks;
    TestedFragments tested;
};

// The reads of a large locus come one thread's pace; their tests take nearly as long
// again. The reading thread gathers the fragments to test into batches and hands each
// to the workers (or tests it itself when they are behind); the batches' results are
// joined in the order the batches were made.
class BatchedTests final : public LocusFragments::Consumer {
public:
    BatchedTests(const std::vector<t_transcript>& transcripts, int32_t strandedness)
        : transcripts(transcripts), strandedness(strandedness)
    {
        newBatch();
    }

    void started(uint32_t id, std::string_view, std::string_view, const LocusFragments::Read& read,
                 const t_exon* blocks) override
    {
        if (!read.paired)
            request(id, read, blocks, nullptr, nullptr);
    }
    void joined(uint32_t id, const LocusFragments::Read* first, const t_exon* firstBlocks,
                const LocusFragments::Read& second, const t_exon* secondBlocks) override
    {
        if (first != nullptr)
            request(id, *first, firstBlocks, &second, secondBlocks);
    }
    void leftAlone(uint32_t id, const LocusFragments::Read& read, const t_exon* blocks) override
    {
        request(id, read, blocks, nullptr, nullptr);
    }

    // The reading thread, once the reads are all in.
    void handLastBatch() { hand(); }

    // No more batches: the workers finish those handed on and return.
    void stop()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        ready.notify_all();
    }

    // A worker's part: batches until the reading is done and none is left.
    void testPending()
    {
        for (;;) {
            TestBatch* batch = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex);
                ready.wait(lock, [this] { return !pending.empty() || done; });
                if (pending.empty())
                    return;
                batch = pending.front();
                pending.pop_front();
            }
            test(*batch);
        }
    }

    // Every batch's results after out's, in the order the batches were made; each batch
    // is given back once appended, so that the results are not held twice.
    void moveTo(TestedFragments& out)
    {
        for (std::unique_ptr<TestBatch>& batch : batches) {
            out.append(batch->tested);
            batch.reset();
        }
    }

private:
    static constexpr std::size_t kBatchFragments = 8192;
    // Batches waiting for a worker; beyond that the reading thread tests its own.
    static constexpr std::size_t kMaxPending = 8;

    void request(uint32_t id, const LocusFragments::Read& first, const t_exon* firstBlocks,
                 const LocusFragments::Read* second, const t_exon* secondBlocks)
    {
        TestBatch& batch = *current;
        TestRequest r{id, first, LocusFragments::Read{}};
        r.first.firstBlock = static_cast<uint32_t>(batch.blocks.size());
        batch.blocks.insert(batch.blocks.end(), firstBlocks, firstBlocks + first.nrBlocks);
        if (second != nullptr) {
            r.second = *second;
            r.second.firstBlock = static_cast<uint32_t>(batch.blocks.size());
            batch.blocks.insert(batch.blocks.end(), secondBlocks, secondBlocks + second->nrBlocks);
        }
        batch.requests.push_back(r);
        if (batch.requests.size() == kBatchFragments) {
            hand();
            newBatch();
        }
    }

    void newBatch()
    {
        batches.push_back(std::make_unique<TestBatch>());
        current = batches.back().get();
        current->requests.reserve(kBatchFragments);
        current->tested.counts.assign(transcripts.size(), 0);
    }

    void hand()
    {
        TestBatch* batch = current;
        current = nullptr;
        if (batch == nullptr || batch->requests.empty())
            return;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (pending.size() < kMaxPending) {
                pending.push_back(batch);
                batch = nullptr;
            }
        }
        if (batch == nullptr)
            ready.notify_one();
        else
            test(*batch);
    }

    void test(TestBatch& batch) const
    {
        for (const TestRequest& r : batch.requests) {
            const bool pair = r.second.nrBlocks != 0;
            testFragment(transcripts, strandedness, r.id, r.first, batch.blocks.data() + r.first.firstBlock,
                         pair ? &r.second : nullptr, pair ? batch.blocks.data() + r.second.firstBlock : nullptr,
                         batch.tested);
        }
        std::vector<TestRequest>().swap(batch.requests);
        std::vector<t_exon>().swap(batch.blocks);
    }

    const std::vector<t_transcript>& transcripts;
    const int32_t strandedness;
    // Made and read by the reading thread only; a worker touches just the batch it took.
    std::vector<std::unique_ptr<TestBatch>> batches;
    TestBatch* current = nullptr;
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<TestBatch*> pending;
    bool done = false;
};

} // namespace

bool readFitsTranscript(const t_transcript& transcript, const t_read& read, int32_t strandedness)
{
    return readFits(transcript, onGenome(read), strandedness);
}

void TestedFragments::append(const TestedFragments& other)
{
    if (counts.size() < other.counts.size())
        counts.resize(other.counts.size(), 0);
    for (std::size_t t = 0; t < other.counts.size(); ++t)
        counts[t] += other.counts[t];
    const std::size_t base = fits.size();
    if (base + other.fits.size() >= kPairedFit)
        throw KestroveException(ERR_MEMORY_ALLOCATION);
    for (const uint32_t first : other.firstFits)
        firstFits.push_back(static_cast<uint32_t>(((first & ~kPairedFit) + base) | (first & kPairedFit)));
    testedIds.append(other.testedIds.data(), other.testedIds.size());
    spanStarts.append(other.spanStarts.data(), other.spanStarts.size());
    spanEnds.append(other.spanEnds.data(), other.spanEnds.size());
    fits.append(other.fits.data(), other.fits.size());
}

LocusCompatibility::LocusCompatibility(Gene& gene, int32_t strandedness) : gene(gene), strandedness(strandedness)
{
    tested.counts.assign(gene.transcripts.size(), 0);
}

void LocusCompatibility::clear()
{
    std::fill(tested.counts.begin(), tested.counts.end(), 0);
    tested.testedIds.clear();
    tested.spanStarts.clear();
    tested.spanEnds.clear();
    tested.firstFits.clear();
    tested.fits.clear();
}

void LocusCompatibility::started(uint32_t id, std::string_view, std::string_view, const LocusFragments::Read& read,
                                 const t_exon* blocks)
{
    if (!read.paired)
        testFragment(gene.transcripts, strandedness, id, read, blocks, nullptr, nullptr, tested);
}

void LocusCompatibility::joined(uint32_t id, const LocusFragments::Read* first, const t_exon* firstBlocks,
                                const LocusFragments::Read& second, const t_exon* secondBlocks)
{
    if (first != nullptr)
        testFragment(gene.transcripts, strandedness, id, *first, firstBlocks, &second, secondBlocks, tested);
}

void LocusCompatibility::leftAlone(uint32_t id, const LocusFragments::Read& read, const t_exon* blocks)
{
    testFragment(gene.transcripts, strandedness, id, read, blocks, nullptr, nullptr, tested);
}

void LocusCompatibility::takeReads(ThreadPool* pool, const std::function<void(LocusFragments::Consumer&)>& read)
{
    if (pool == nullptr || pool->workers() < 2) {
        read(*this);
        return;
    }
    BatchedTests batched(gene.transcripts, strandedness);
    // One worker reads; the others test. The reader never waits for them, so the step
    // finishes whichever workers take part.
    pool->forEach(pool->workers(), [&](std::size_t item, unsigned) {
        if (item != 0) {
            batched.testPending();
            return;
        }
        try {
            read(batched);
            batched.handLastBatch();
        } catch (...) {
            batched.stop();
            throw;
        }
        batched.stop();
        batched.testPending();
    });
    batched.moveTo(tested);
}

void LocusCompatibility::finish(LocusFragments& fragments, CompatibleFragments& compatible, ThreadPool* pool)
{
    const std::size_t nT = gene.transcripts.size();
    gene.compFragsTrans.resize(nT, 0.0);
    for (std::size_t t = 0; t < nT; ++t)
        gene.compFragsTrans[t] += static_cast<double>(tested.counts[t]);

    FlatArray<uint32_t> order(std::move(tested.testedIds));
    const FlatArray<uint32_t>& firstFits = tested.firstFits;
    const FlatArray<int32_t>& spanStarts = tested.spanStarts;
    const FlatArray<int32_t>& spanEnds = tested.spanEnds;
    const FlatArray<uint32_t>& fits = tested.fits;
    fragments.orderByKey(order);
    fragments.releaseKeys();

    const std::size_t nF = order.size();
    const std::size_t nE = fits.size();
    // Entry offsets are 32-bit: four bytes a fragment less in the model's table.
    if (nE > std::numeric_limits<uint32_t>::max())
        throw KestroveException(ERR_MEMORY_ALLOCATION);
    // The offsets first, in key order; then the entries, a part of the fragments a thread.
    compatible.firstEntry.resize(nF + 1);
    compatible.paired.resize(nF);
    compatible.entryTranscript.resize(nE);
    compatible.entryStart.resize(nE);
    compatible.entryLength.resize(nE);
    const auto fitsOf = [&](uint32_t tested) {
        const std::size_t end = tested + 1 < nF ? firstFits[tested + 1] & ~kPairedFit : nE;
        return std::pair<std::size_t, std::size_t>(firstFits[tested] & ~kPairedFit, end);
    };
    compatible.firstEntry[0] = 0;
    for (std::size_t i = 0; i < nF; ++i) {
        const auto [from, to] = fitsOf(order[i]);
        compatible.firstEntry[i + 1] = static_cast<uint32_t>(compatible.firstEntry[i] + (to - from));
        compatible.paired[i] = (firstFits[order[i]] & kPairedFit) != 0 ? 1 : 0;
    }
    const unsigned parts = partsFor(pool);
    const ThreadPool::Body convertPart = [&](std::size_t part, unsigned) {
        const std::size_t begin = nF * part / parts;
        const std::size_t end = nF * (part + 1) / parts;
        const uint32_t first = compatible.firstEntry[begin];
        // The transcripts' vector was written whole by its resize.
        const std::size_t bytes = (compatible.firstEntry[end] - first) * sizeof(int32_t);
        prefaultForWrite(compatible.entryStart.data() + first, bytes);
        prefaultForWrite(compatible.entryLength.data() + first, bytes);
        // Key order visits the fragments' records at random: the ones a few fragments on
        // are fetched while this one is converted.
        constexpr std::size_t kAhead = 8;
        for (std::size_t i = begin; i < end; ++i) {
            if (i + kAhead < end) {
                const uint32_t later = order[i + kAhead];
                __builtin_prefetch(&firstFits[later]);
                __builtin_prefetch(&spanStarts[later]);
                __builtin_prefetch(&spanEnds[later]);
                __builtin_prefetch(&fits[firstFits[later] & ~kPairedFit]);
            }
            const uint32_t tested = order[i];
            const bool paired = compatible.paired[i] != 0;
            const auto [from, to] = fitsOf(tested);
            uint32_t out = compatible.firstEntry[i];
            for (std::size_t e = from; e < to; ++e, ++out) {
                const Coordinates c = convert(gene.transcripts[fits[e]], spanStarts[tested], spanEnds[tested], paired);
                compatible.entryTranscript[out] = fits[e];
                compatible.entryStart[out] = c.transStart;
                compatible.entryLength[out] = c.fragLength;
            }
        }
    };
    forEachPart(pool, parts, convertPart);
    tested.spanStarts.release();
    tested.spanEnds.release();
    tested.firstFits.release();
    tested.fits.release();
}

void keepCompatibleFragments(GeneMap::iterator& gene, FragmentMap& fragments, int32_t strandedness)
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
        const ReadOnGenome firstRead = onGenome(first);
        ReadOnGenome secondRead{};
        if (pairedFragment)
            secondRead = onGenome(reads[1]);
        bool anyCompatible = false;
        for (std::size_t t = 0; t < nT; ++t) {
            const bool compatible =
                fragmentFits(g.transcripts[t], firstRead, pairedFragment ? &secondRead : nullptr, strandedness);
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

void placeOnTranscripts(GeneMap::iterator& gene, FragmentMap& fragments)
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
                appendCoordinates(first, {});
            else
                appendCoordinates(first, convert(transcript, first.start, first.end, first.paired));
        }
        ++r;
    }
}
