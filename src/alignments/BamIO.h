#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <htslib/hts.h>
#include <htslib/hts_log.h>
#include <htslib/sam.h>

#include "annotation/Gene.h"
#include "alignments/LocusFragments.h"

struct t_read {
    std::string name;
    int32_t start = 0;
    int32_t end = 0;
    int32_t length = 0;
    int32_t mateStart = 0;
    std::vector<int32_t> fragLengths;
    std::vector<int32_t> transStarts;
    std::vector<int32_t> transEnds;
    std::vector<t_exon> blocks;
    bool paired = false;
    bool forward = true;
    bool firstMate = false;
};

// Fragment key (read name) to the one or two reads of the fragment; std::string
// ordering is byte-wise, which is the fragment order used downstream.
using FragmentMap = std::map<std::string, std::vector<t_read>>;

struct t_flagStats {
    uint64_t total = 0;
    uint64_t mapped = 0;
    uint64_t properlyPaired = 0;
    uint64_t singletons = 0;
    uint64_t read1 = 0;
    uint64_t read2 = 0;
    // Records an aligner marks as other than the read's one primary alignment, or as
    // questionable; counted whether or not the reader leaves them out.
    uint64_t secondary = 0;      // 0x100
    uint64_t qcFailed = 0;       // 0x200
    uint64_t duplicates = 0;     // 0x400
    uint64_t supplementary = 0;  // 0x800

    t_flagStats& operator+=(const t_flagStats& other)
    {
        total += other.total;
        mapped += other.mapped;
        properlyPaired += other.properlyPaired;
        singletons += other.singletons;
        read1 += other.read1;
        read2 += other.read2;
        secondary += other.secondary;
        qcFailed += other.qcFailed;
        duplicates += other.duplicates;
        supplementary += other.supplementary;
        return *this;
    }
};

// The flags that --primary-only leaves out.
inline constexpr uint16_t kNonPrimaryFlags = BAM_FSECONDARY | BAM_FQCFAIL | BAM_FSUPPLEMENTARY;

// What a run tells about the aligner-flagged records of its experiment (counts from
// nrProperlyPairedFrags over every reference): empty when there are none.
std::string alignerFlagsNote(const std::string& bamFile, const t_flagStats& counts, bool primaryOnly);

struct HtsFileCloser { void operator()(htsFile* f) const { if (f) hts_close(f); } };
struct HtsHeaderFree { void operator()(sam_hdr_t* h) const { if (h) sam_hdr_destroy(h); } };
struct HtsIndexFree { void operator()(hts_idx_t* i) const { if (i) hts_idx_destroy(i); } };
struct BamRecordFree { void operator()(bam1_t* b) const { if (b) bam_destroy1(b); } };
struct HtsIteratorFree { void operator()(hts_itr_t* it) const { if (it) hts_itr_destroy(it); } };

// Silences htslib's own log for the lifetime of the scope, for steps whose
// failures we report ourselves. The level is process-wide: use it only where
// no other thread is reading BAM data.
class HtsLogSilencer {
public:
    HtsLogSilencer() : saved(hts_get_log_level()) { hts_set_log_level(HTS_LOG_OFF); }
    ~HtsLogSilencer() { hts_set_log_level(saved); }
    HtsLogSilencer(const HtsLogSilencer&) = delete;
    HtsLogSilencer& operator=(const HtsLogSilencer&) = delete;

private:
    htsLogLevel saved;
};

// Puts a locus's reads into the map form, key by key; a key already present is left as it is.
class FragmentMapBuilder final : public LocusFragments::Consumer {
public:
    explicit FragmentMapBuilder(FragmentMap& fragments) : fragments(fragments) {}

    void started(uint32_t id, std::string_view key, std::string_view name, const LocusFragments::Read& read,
                 const t_exon* blocks) override;
    void joined(uint32_t id, const LocusFragments::Read* first, const t_exon* firstBlocks,
                const LocusFragments::Read& second, const t_exon* secondBlocks) override;
    void leftAlone(uint32_t id, const LocusFragments::Read& read, const t_exon* blocks) override;

private:
    FragmentMap& fragments;
    // The entries of this locus, by fragment id.
    std::unordered_map<uint32_t, std::vector<t_read>*> added;
};

// One locus of a shared pass (BamIO::countAndReadLoci). Once the locus holds more than
// recordBudget records its fragments are dropped and complete turns false: the consumer
// has had part of the locus, and the caller reads it with readBam if it still needs it.
// A locus that leaves the pass (left) has partial counts; the caller reads it on its own.
struct LocusRead {
    hts_pos_t begin = 0;
    hts_pos_t end = 0;
    LocusFragments* fragments = nullptr;
    LocusFragments::Consumer* consumer = nullptr;
    uint64_t recordBudget = 0;
    t_flagStats stats;  // as nrProperlyPairedFrags counts them
    bool complete = false;
    bool left = false;
};

// Where openBam writes the coordinate-sorted copy of an unsorted BAM file: beside it,
// named after its sample.
std::string sortedCopyName(const std::string& bamPath);

// What the readers of one run tell the user once between them, whichever thread's
// reader comes to it first.
struct ReaderNotices {
    std::atomic<bool> olderIndexReported{false};
};

class BamIO {
public:
    // Records with any of skippedFlags set are left out of every count and locus;
    // sortMemory 0: the sort of an unsorted file takes defaultSortMemory().
    // Readers of one run share notices, so that what they all meet is told once; a
    // reader without them tells it itself.
    explicit BamIO(const char* fileName, uint16_t skippedFlags = 0, std::size_t sortMemory = 0,
                   ReaderNotices* notices = nullptr);

    int openBam();
    void closeBam();
    void createChromosomeList();
    std::vector<std::string>& getChromosomeList();
    t_flagStats nrProperlyPairedFrags(const char* region);

    // A stretch of a reference whose records are counted together: those that start in
    // [begin, end). The first part of a reference begins at 0, its last ends at HTS_POS_MAX.
    struct ReferencePart {
        int tid = -1;
        hts_pos_t begin = 0;
        hts_pos_t end = 0;
    };
    struct RecordCounts {
        t_flagStats stats;
        uint64_t skippedMapped = 0;  // mapped records left out by skippedFlags

        RecordCounts& operator+=(const RecordCounts& other)
        {
            stats += other.stats;
            skippedMapped += other.skippedMapped;
            return *this;
        }
    };
    // The index's count of the reference's records, mapped or not; 0 when it has none.
    uint64_t indexedRecords(const std::string& reference);
    // The reference cut into stretches of equal length, about recordsPerPart records each
    // by the index's count; none for a name the header lacks.
    std::vector<ReferencePart> referenceParts(const std::string& reference, uint64_t recordsPerPart);
    RecordCounts countRecords(const ReferencePart& part);
    // Throws when the index's count of the reference's mapped records is not what counting
    // every record of the reference found: the index describes another file.
    void checkIndexedCount(int tid, const RecordCounts& whole);
    // The region's fragments, their reads handed to consumer; the map forms serve
    // callers that want them by key.
    // expectedFragments: the count of the locus when known, so that its index is sized once.
    bool readBam(std::string region, LocusFragments& fragments, LocusFragments::Consumer& consumer,
                 uint64_t expectedFragments = 0);
    bool readBam(std::string region, FragmentMap& fragments);
    // About how many records a query of [begin, end) on reference tid reads: the
    // compressed bytes the index gives for the region, at the reference's records per
    // byte. 0 for a region within one compressed block, or one the index cannot tell.
    uint64_t estimatedRecords(int tid, hts_pos_t begin, hts_pos_t end);

    // The reference and the 0-based, half-open range a query of the region reads.
    bool locate(const std::string& region, int& tid, hts_pos_t& begin, hts_pos_t& end);

    // Counts and reads loci of reference tid in one pass over the union of their
    // regions. Each record goes to every locus whose range it overlaps, so a locus gets
    // what its own region query returns, in the same order, and a record shared by
    // overlapping loci is decoded once. The loci beside the first open one (by begin)
    // hold at most sharedBudget records together: past that, the one a record would go
    // to leaves the pass, so that the reads of large overlapping loci are not held at
    // once. done(i) is called for each locus as soon as no later record can reach it or
    // it leaves, possibly during the pass: it must not use this reader.
    void countAndReadLoci(int tid, std::vector<LocusRead>& loci, uint64_t sharedBudget,
                          const std::function<void(std::size_t)>& done);

private:
    void openFile(const std::string& path);
    void readHeader(const std::string& path);
    bool loadIndex(const std::string& path, const std::string& indexName);
    bool parseRegion(const std::string& region, int& tid, hts_pos_t& begin, hts_pos_t& end);
    template <typename OnRecord>
    void queryRegion(const std::string& region, int tid, hts_pos_t begin, hts_pos_t end, OnRecord onRecord);
    // startingOnly: only the records that start at or after begin.
    RecordCounts countRecords(const std::string& region, int tid, hts_pos_t begin, hts_pos_t end, bool startingOnly);

public:
    // The reader's locus buffers, reused from one group of loci to the next by its thread.
    LocusFragments& fragmentBuffer(std::size_t i)
    {
        while (loci.size() <= i)
            loci.emplace_back();
        return loci[i];
    }

private:
    std::deque<LocusFragments> loci;
    std::vector<std::string> chromosomeList;
    std::unique_ptr<sam_hdr_t, HtsHeaderFree> header;
    std::unique_ptr<hts_idx_t, HtsIndexFree> index;
    std::unique_ptr<htsFile, HtsFileCloser> file;
    const char* fileName;
    uint16_t skippedFlags;
    std::size_t sortMemory;
    ReaderNotices* notices;
    // Compressed bytes of each reference's records, once asked for.
    std::vector<uint64_t> referenceBytes;
    // Reused by every region query so that reading allocates nothing per record.
    std::unique_ptr<bam1_t, BamRecordFree> record;
};
