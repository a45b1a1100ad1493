#include "alignments/BamIO.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <numeric>
#include <string>
#include <utility>

#include <htslib/bgzf.h>
#include <htslib/hfile.h>

#include "alignments/BamIndex.h"
#include "util/Files.h"
#include "util/Errors.h"

namespace {

// The run driver counts a whole reference as "name:0-999999999"; that end
// stands for the reference's end, so longer references are counted in full.
constexpr hts_pos_t kWholeReferenceEnd = 999999999;
// A reference is counted in at most this many parts.
constexpr uint64_t kMaxReferenceParts = 64;

constexpr int kReadBufferBytes = 64 * 1024;

uint32_t littleEndian32(const uint8_t* x)
{
    return uint32_t{x[0]} | uint32_t{x[1]} << 8 | uint32_t{x[2]} << 16 | uint32_t{x[3]} << 24;
}

// bam_read1 for what a region query hands on, which uses the core, the name and the
// CIGAR only. A record lying inside the decompressed block, short of its end, is read
// in place: only its name and CIGAR are copied, its sequence, qualities and tags
// (most of its bytes) passed over. Any record that bam_read1 could treat otherwise
// (across blocks, failing one of its checks, out-of-range references or positions,
// a CIGAR kept in a tag, big-endian data) goes to bam_read1 itself, with nothing
// consumed. end is set to bam_endpos of the record. Kept whole: its checks follow
// bam_read1's in the same order, which is how the two are compared.
int readRecordHead(BGZF* fp, bam1_t* b, hts_pos_t& end)
{
    const auto whole = [&] {
        const int r = bam_read1(fp, b);
        if (r >= 0)
            end = bam_endpos(b);
        return r;
    };
    const int available = fp->block_length - fp->block_offset;
    if (fp->is_be || available < 4 + 32)
        return whole();
    const uint8_t* x = static_cast<const uint8_t*>(fp->uncompressed_block) + fp->block_offset;
    const auto blockLength = static_cast<int32_t>(littleEndian32(x));
    // Ending a block is left to bgzf_read, which moves its own bookkeeping on.
    if (blockLength < 32 || blockLength >= available - 4)
        return whole();
    const uint8_t* core = x + 4;
    const auto tid = static_cast<int32_t>(littleEndian32(core));
    const auto pos = static_cast<int32_t>(littleEndian32(core + 4));
    const auto mateTid = static_cast<int32_t>(littleEndian32(core + 20));
    if (tid < -1 || pos < -1 || mateTid < -1)
        return whole();
    const uint32_t binMapqNameLength = littleEndian32(core + 8);
    const uint32_t flagCigarCount = littleEndian32(core + 12);
    const auto sequenceLength = static_cast<int32_t>(littleEndian32(core + 16));
    const uint32_t nameLength = binMapqNameLength & 0xff;
    const uint32_t nrCigar = flagCigarCount & 0xffff;
    const auto flag = static_cast<uint16_t>(flagCigarCount >> 16);
    if (nameLength < 1 || sequenceLength < 0
        || uint64_t{nrCigar} * 4 + nameLength + (uint64_t(sequenceLength) + 1) / 2 + uint64_t(sequenceLength)
            > uint64_t(blockLength) - 32)
        return whole();
    const uint8_t* name = core + 32;
    const uint8_t* cigar = name + nameLength;
    if (name[nameLength - 1] != 0)
        return whole();
    hts_pos_t referenceLength = 0;
    hts_pos_t queryLength = 0;
    for (uint32_t i = 0; i < nrCigar; ++i) {
        const uint32_t op = littleEndian32(cigar + 4 * i);
        const int type = bam_cigar_type(bam_cigar_op(op));
        if (type & 1)
            queryLength += bam_cigar_oplen(op);
        if (type & 2)
            referenceLength += bam_cigar_oplen(op);
    }
    if (nrCigar > 0) {
        const uint32_t first = littleEndian32(cigar);
        if (bam_cigar_op(first) == BAM_CSOFT_CLIP && bam_cigar_oplen(first) == uint32_t(sequenceLength))
            return whole();
        if (sequenceLength > 0 && !(flag & BAM_FUNMAP) && queryLength != sequenceLength)
            return whole();
    }

    const uint32_t padding = nameLength % 4 != 0 ? 4 - nameLength % 4 : 0;
    const std::size_t dataLength = nameLength + padding + std::size_t{nrCigar} * 4;
    if (dataLength > b->m_data) {
        auto* grown = static_cast<uint8_t*>(std::realloc(b->data, dataLength));
        if (grown == nullptr)
            return whole();
        b->data = grown;
        b->m_data = dataLength;
    }
    std::memcpy(b->data, name, nameLength);
    std::memset(b->data + nameLength, 0, padding);
    std::memcpy(b->data + nameLength + padding, cigar, std::size_t{nrCigar} * 4);
    b->l_data = static_cast<int>(dataLength);

    bam1_core_t& c = b->core;
    c.tid = tid;
    c.pos = pos;
    c.qual = static_cast<uint8_t>(binMapqNameLength >> 8);
    c.l_extranul = static_cast<uint8_t>(padding);
    c.flag = flag;
    c.l_qname = static_cast<uint16_t>(nameLength + padding);
    c.n_cigar = nrCigar;
    c.l_qseq = sequenceLength;
    c.mtid = mateTid;
    c.mpos = static_cast<int32_t>(littleEndian32(core + 24));
    c.isize = static_cast<int32_t>(littleEndian32(core + 28));
    const hts_pos_t span = (flag & BAM_FUNMAP) || referenceLength == 0 ? 1 : referenceLength;
    c.bin = nrCigar > 0 ? static_cast<uint16_t>(hts_reg2bin(c.pos, c.pos + span, 14, 5))
                        : static_cast<uint16_t>(binMapqNameLength >> 16);
    end = c.pos + span;
    fp->block_offset += 4 + blockLength;
    fp->uncompressed_address += 4 + blockLength;
    return 4 + blockLength;
}

// The region iterator's record reader, as htslib's own for BAM but through readRecordHead.
int readRecordHeadForIterator(BGZF* fp, void*, void* record, int* tid, hts_pos_t* beg, hts_pos_t* end)
{
    auto* b = static_cast<bam1_t*>(record);
    const int r = readRecordHead(fp, b, *end);
    if (r >= 0) {
        *tid = b->core.tid;
        *beg = b->core.pos;
    }
    return r;
}

void countFlags(t_flagStats& stats, uint16_t flag)
{
    ++stats.total;
    if (!(flag & BAM_FUNMAP))
        ++stats.mapped;
    if (flag & BAM_FPROPER_PAIR)
        ++stats.properlyPaired;
    if ((flag & (BAM_FUNMAP | BAM_FMUNMAP)) == BAM_FMUNMAP)
        ++stats.singletons;
    if (flag & BAM_FREAD1)
        ++stats.read1;
    if (flag & BAM_FREAD2)
        ++stats.read2;
}

void countAlignerFlags(t_flagStats& stats, uint16_t flag)
{
    stats.secondary += (flag & BAM_FSECONDARY) ? 1 : 0;
    stats.qcFailed += (flag & BAM_FQCFAIL) ? 1 : 0;
    stats.duplicates += (flag & BAM_FDUP) ? 1 : 0;
    stats.supplementary += (flag & BAM_FSUPPLEMENTARY) ? 1 : 0;
}

// error: the errno of the failed call, or 0 when it set none.
[[noreturn]] void failOpening(const char* what, const std::string& path, int error)
{
    std::cerr << what << path;
    if (error != 0)
        std::cerr << ": " << std::strerror(error);
    std::cerr << std::endl;
    throw KestroveException(ERR_BAM_OPEN);
}

t_read mapRead(std::string_view name, const LocusFragments::Read& read, const t_exon* blocks)
{
    t_read r;
    r.name = name;
    r.start = read.start;
    r.length = read.length;
    r.mateStart = read.mateStart;
    r.blocks.assign(blocks, blocks + read.nrBlocks);
    r.paired = read.paired;
    r.forward = read.forward;
    r.firstMate = read.firstMate;
    return r;
}

} // namespace

void FragmentMapBuilder::started(uint32_t id, std::string_view key, std::string_view name,
                                 const LocusFragments::Read& read, const t_exon* blocks)
{
    auto [entry, inserted] = fragments.try_emplace(std::string(key));
    if (!inserted)
        return;
    entry->second.push_back(mapRead(name, read, blocks));
    added.emplace(id, &entry->second);
}

void FragmentMapBuilder::joined(uint32_t id, const LocusFragments::Read*, const t_exon*,
                                const LocusFragments::Read& second, const t_exon* secondBlocks)
{
    const auto entry = added.find(id);
    if (entry != added.end())
        entry->second->push_back(mapRead(entry->second->front().name, second, secondBlocks));
}

void FragmentMapBuilder::leftAlone(uint32_t, const LocusFragments::Read&, const t_exon*) {}

std::string alignerFlagsNote(const std::string& bamFile, const t_flagStats& counts, bool primaryOnly)
{
    const uint64_t nonPrimary = counts.secondary + counts.qcFailed + counts.supplementary;
    if (nonPrimary + counts.duplicates == 0)
        return {};
    std::string note = "Note: " + bamFile + " holds " + std::to_string(counts.secondary) + " secondary (0x100), "
        + std::to_string(counts.qcFailed) + " QC-failed (0x200), " + std::to_string(counts.duplicates)
        + " duplicate (0x400) and " + std::to_string(counts.supplementary) + " supplementary (0x800) records.\n";
    if (nonPrimary == 0)
        return note + "Duplicates count as fragments.\n";
    if (primaryOnly)
        return note + "With --primary-only the secondary, QC-failed and supplementary records are left out; "
                      "duplicates count as fragments.\n";
    return note + "Each counts as a fragment, so a read with secondary or supplementary alignments counts more than "
                  "once; --primary-only leaves out the secondary, QC-failed and supplementary records (duplicates "
                  "are kept).\n";
}

BamIO::BamIO(const char* name, uint16_t skippedFlags, std::size_t sortMemory, ReaderNotices* notices)
    : fileName(name), skippedFlags(skippedFlags), sortMemory(sortMemory), notices(notices)
{
}

void BamIO::openFile(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        failOpening("Cannot open ", path, errno);
    if (const std::string problem = files::inputFileProblem(path); !problem.empty()) {
        std::cerr << path << " " << problem << "; kestrove needs a BAM file" << std::endl;
        throw KestroveException(ERR_BAM_OPEN);
    }
    // Detected before opening so that anything other than BAM gets our message, not htslib's.
    htsFormat format{};
    errno = 0;
    hFILE* probe = hopen(path.c_str(), "r");
    const bool detected = probe && hts_detect_format2(probe, path.c_str(), &format) == 0;
    const int probeError = errno;
    if (probe)
        hclose_abruptly(probe);
    if (!detected)
        failOpening("Cannot read ", path, probeError);
    if (format.format != bam) {
        if (format.format == sam) {
            std::cerr << path << " is a SAM file; kestrove needs BAM" << std::endl;
        } else if (format.format == cram) {
            std::cerr << path << " is a CRAM file; kestrove needs BAM" << std::endl;
        } else {
            std::unique_ptr<char, decltype(&std::free)> description(hts_format_description(&format), &std::free);
            std::cerr << path << " is not a BAM file";
            if (description)
                std::cerr << " (" << description.get() << ")";
            std::cerr << std::endl;
        }
        throw KestroveException(ERR_BAM_OPEN);
    }
    errno = 0;
    file.reset(hts_open(path.c_str(), "r"));
    if (!file)
        failOpening("Cannot open ", path, errno);
    // The file system's block size (often 4 KiB) would be the read size: a read call
    // for every few records. One compressed block's worth keeps the calls few, and a
    // region query that seeks away wastes at most that much.
    hts_set_opt(file.get(), HTS_OPT_BLOCK_SIZE, kReadBufferBytes);
}

void BamIO::readHeader(const std::string& path)
{
    header.reset(sam_hdr_read(file.get()));
    if (!header) {
        std::cerr << path << " has an unreadable BAM header" << std::endl;
        throw KestroveException(ERR_BAM_HEADER);
    }
}

void BamIO::closeBam()
{
    header.reset();
    index.reset();
    file.reset();
}

void BamIO::createChromosomeList()
{
    if (!header)
        return;
    // The header's count equals the index's for an index built from this file,
    // and never reads past the header's names.
    const int count = sam_hdr_nref(header.get());
    for (int tid = 0; tid < count; ++tid)
        chromosomeList.emplace_back(sam_hdr_tid2name(header.get(), tid));
}

std::vector<std::string>& BamIO::getChromosomeList() { return chromosomeList; }

bool BamIO::parseRegion(const std::string& region, int& tid, hts_pos_t& begin, hts_pos_t& end)
{
    if (!header || !index || !file)
        return false;
    if (!sam_parse_region(header.get(), region.c_str(), &tid, &begin, &end, HTS_PARSE_THOUSANDS_SEP) || tid < 0)
        return false;
    // Region text is 1-based; a begin of 0 means the first base, as 1 does.
    begin = std::max<hts_pos_t>(begin, 0);
    if (end == kWholeReferenceEnd)
        end = HTS_POS_MAX;
    return true;
}

template <typename OnRecord>
void BamIO::queryRegion(const std::string& region, int tid, hts_pos_t begin, hts_pos_t end, OnRecord onRecord)
{
    if (!record) {
        record.reset(bam_init1());
        if (!record)
            throw KestroveException(ERR_MEMORY_ALLOCATION);
    }
    std::unique_ptr<hts_itr_t, HtsIteratorFree> iterator(sam_itr_queryi(index.get(), tid, begin, end));
    if (iterator && hts_get_format(file.get())->format == bam)
        iterator->readrec = readRecordHeadForIterator;
    int r = -2;
    if (iterator)
        while ((r = sam_itr_next(file.get(), iterator.get(), record.get())) >= 0 && onRecord(record.get())) {
        }
    if (r < -1) {
        std::cerr << "Cannot read region " << region << " of " << fileName
                  << ": the BAM file is truncated or corrupted, or its index belongs to another file"
                  << staleIndexNote(fileName, existingIndex(fileName)) << ". If the BAM file is intact, rebuild "
                  << "its index (samtools index " << fileName << ")." << std::endl;
        throw KestroveException(ERR_REGION_FETCH);
    }
}

t_flagStats BamIO::nrProperlyPairedFrags(const char* region)
{
    int tid = -1;
    hts_pos_t begin = 0;
    hts_pos_t end = 0;
    if (region == nullptr || !parseRegion(region, tid, begin, end))
        return {};
    const RecordCounts counts = countRecords(region, tid, begin, end, false);
    if (begin == 0 && end == HTS_POS_MAX)
        checkIndexedCount(tid, counts);
    return counts.stats;
}

std::vector<BamIO::ReferencePart> BamIO::referenceParts(const std::string& reference, uint64_t recordsPerPart)
{
    int tid = -1;
    hts_pos_t begin = 0;
    hts_pos_t end = 0;
    if (!parseRegion(reference + ":0-" + std::to_string(kWholeReferenceEnd), tid, begin, end))
        return {};
    const hts_pos_t length = std::max<hts_pos_t>(sam_hdr_tid2len(header.get(), tid), 1);
    uint64_t parts = 1;
    if (recordsPerPart > 0)
        parts = std::clamp<uint64_t>(indexedRecords(reference) / recordsPerPart, 1, kMaxReferenceParts);
    parts = std::min<uint64_t>(parts, static_cast<uint64_t>(length));
    std::vector<ReferencePart> cut;
    for (uint64_t i = 0; i < parts; ++i)
        cut.push_back({tid, static_cast<hts_pos_t>(static_cast<uint64_t>(length) * i / parts),
                       i + 1 == parts ? HTS_POS_MAX : static_cast<hts_pos_t>(static_cast<uint64_t>(length) * (i + 1) / parts)});
    return cut;
}

namespace {

// The compressed bytes from the first block a query of the region reads to the block
// its last chunk ends in.
uint64_t compressedBytes(const hts_idx_t* index, int tid, hts_pos_t begin, hts_pos_t end)
{
    const std::unique_ptr<hts_itr_t, HtsIteratorFree> iterator(sam_itr_queryi(index, tid, begin, end));
    if (!iterator)
        return 0;
    uint64_t bytes = 0;
    for (int i = 0; i < iterator->n_off; ++i) {
        const uint64_t from = iterator->off[i].u >> 16;
        const uint64_t to = iterator->off[i].v >> 16;
        bytes += to > from ? to - from : 0;
    }
    return bytes;
}

constexpr uint64_t kUnknownBytes = std::numeric_limits<uint64_t>::max();

} // namespace

uint64_t BamIO::estimatedRecords(int tid, hts_pos_t begin, hts_pos_t end)
{
    if (!index || tid < 0 || tid >= sam_hdr_nref(header.get()))
        return 0;
    if (referenceBytes.empty())
        referenceBytes.assign(static_cast<std::size_t>(sam_hdr_nref(header.get())), kUnknownBytes);
    uint64_t& whole = referenceBytes[static_cast<std::size_t>(tid)];
    if (whole == kUnknownBytes)
        whole = compressedBytes(index.get(), tid, 0, HTS_POS_MAX);
    uint64_t mapped = 0;
    uint64_t unmapped = 0;
    if (whole == 0 || hts_idx_get_stat(index.get(), tid, &mapped, &unmapped) != 0)
        return 0;
    const uint64_t bytes = compressedBytes(index.get(), tid, begin, end);
    return static_cast<uint64_t>(static_cast<double>(bytes) / static_cast<double>(whole)
                                 * static_cast<double>(mapped + unmapped));
}

uint64_t BamIO::indexedRecords(const std::string& reference)
{
    const int tid = sam_hdr_name2tid(header.get(), reference.c_str());
    uint64_t mapped = 0;
    uint64_t unmapped = 0;
    if (tid < 0 || hts_idx_get_stat(index.get(), tid, &mapped, &unmapped) != 0)
        return 0;
    return mapped + unmapped;
}

BamIO::RecordCounts BamIO::countRecords(const ReferencePart& part)
{
    const std::string region = std::string(sam_hdr_tid2name(header.get(), part.tid)) + ":" + std::to_string(part.begin + 1)
        + "-" + std::to_string(part.end == HTS_POS_MAX ? kWholeReferenceEnd : part.end);
    // A record that starts before the part belongs to the part before.
    return countRecords(region, part.tid, part.begin, part.end, part.begin > 0);
}

BamIO::RecordCounts BamIO::countRecords(const std::string& region, int tid, hts_pos_t begin, hts_pos_t end,
                                        bool startingOnly)
{
    RecordCounts counts;
    queryRegion(region, tid, begin, end, [&](const bam1_t* r) {
        if (startingOnly && r->core.pos < begin)
            return true;
        const uint16_t flag = r->core.flag;
        countAlignerFlags(counts.stats, flag);
        if (flag & skippedFlags)
            counts.skippedMapped += (flag & BAM_FUNMAP) ? 0 : 1;
        else
            countFlags(counts.stats, flag);
        return true;
    });
    return counts;
}

void BamIO::checkIndexedCount(int tid, const RecordCounts& whole)
{
    uint64_t indexedMapped = 0;
    uint64_t indexedUnmapped = 0;
    if (hts_idx_get_stat(index.get(), tid, &indexedMapped, &indexedUnmapped) == 0
        && indexedMapped != whole.stats.mapped + whole.skippedMapped)
        failIndexMismatch(fileName, existingIndex(fileName),
                          "it records " + std::to_string(indexedMapped) + " mapped reads on "
                              + sam_hdr_tid2name(header.get(), tid) + ", the file holds "
                              + std::to_string(whole.stats.mapped + whole.skippedMapped));
}

bool BamIO::locate(const std::string& region, int& tid, hts_pos_t& begin, hts_pos_t& end)
{
    return parseRegion(region, tid, begin, end);
}

// Kept whole: the closing of loci and the record step share the pass's state (the
// open loci, the records they share), which split apart would only travel in a struct.
void BamIO::countAndReadLoci(int tid, std::vector<LocusRead>& loci, uint64_t sharedBudget,
                             const std::function<void(std::size_t)>& done)
{
    if (loci.empty())
        return;
    hts_pos_t begin = HTS_POS_MAX;
    hts_pos_t end = 0;
    for (LocusRead& locus : loci) {
        begin = std::min(begin, locus.begin);
        end = std::max(end, locus.end);
        locus.stats = {};
        locus.complete = true;
        locus.left = false;
        locus.fragments->clear();
    }
    // By begin, so that the loci a record reaches are a prefix.
    std::vector<std::size_t> open(loci.size());
    std::iota(open.begin(), open.end(), std::size_t{0});
    std::stable_sort(open.begin(), open.end(),
                     [&loci](std::size_t a, std::size_t b) { return loci[a].begin < loci[b].begin; });
    const auto close = [&](std::size_t i) {
        if (loci[i].complete)
            loci[i].fragments->finishAdding(*loci[i].consumer);
        done(i);
    };
    hts_pos_t firstEnd = HTS_POS_MIN;
    // Records held by the open loci but the first.
    uint64_t sharedHeld = 0;
    // Closes the loci that end at or before pos (records come by start: no later one
    // reaches them) and those that left the pass.
    const auto closeBefore = [&](hts_pos_t pos) {
        firstEnd = HTS_POS_MAX;
        sharedHeld = 0;
        std::size_t kept = 0;
        for (std::size_t i : open) {
            if (loci[i].end <= pos || loci[i].left) {
                close(i);
                continue;
            }
            if (kept > 0 && loci[i].complete)
                sharedHeld += loci[i].stats.total;
            open[kept++] = i;
            firstEnd = std::min(firstEnd, loci[i].end);
        }
        open.resize(kept);
    };
    closeBefore(begin);
    const std::string region =
        std::string(sam_hdr_tid2name(header.get(), tid)) + ":" + std::to_string(begin + 1) + "-" + std::to_string(end);
    // The overlap test is the region query's own: a record from pos up to its end
    // position (one base for an unmapped or unaligned one) meets [begin, end).
    queryRegion(region, tid, begin, end, [&](const bam1_t* r) {
        const hts_pos_t pos = r->core.pos;
        if (pos >= firstEnd)
            closeBefore(pos);
        if (r->core.flag & skippedFlags)
            return !open.empty();
        const hts_pos_t last = bam_endpos(r);
        bool leaving = false;
        for (std::size_t j = 0; j < open.size(); ++j) {
            LocusRead& locus = loci[open[j]];
            if (locus.begin >= last)
                break;
            if (j > 0 && locus.complete && sharedHeld >= sharedBudget) {
                sharedHeld -= std::min(sharedHeld, locus.stats.total);
                locus.fragments->release();
                locus.complete = false;
                locus.left = true;
                leaving = true;
                continue;
            }
            countFlags(locus.stats, r->core.flag);
            if (!locus.complete)
                continue;
            if (locus.stats.total > locus.recordBudget) {
                locus.fragments->release();
                locus.complete = false;
                continue;
            }
            locus.fragments->add(r, *locus.consumer);
            sharedHeld += j > 0 ? 1 : 0;
        }
        if (leaving)
            closeBefore(pos);
        return !open.empty();
    });
    for (std::size_t i : open)
        close(i);
}

bool BamIO::readBam(std::string region, FragmentMap& fragments)
{
    LocusFragments locus;
    FragmentMapBuilder builder(fragments);
    return readBam(std::move(region), locus, builder);
}

bool BamIO::readBam(std::string region, LocusFragments& fragments, LocusFragments::Consumer& consumer,
                    uint64_t expectedFragments)
{
    fragments.clear();
    fragments.expect(expectedFragments);
    int tid = -1;
    hts_pos_t begin = 0;
    hts_pos_t end = 0;
    std::string queried = region;
    if (!parseRegion(queried, tid, begin, end)) {
        bool found = false;
        for (const char* prefix : {"chr", "Chr", "CHR"}) {
            queried = prefix + region;
            if (parseRegion(queried, tid, begin, end)) {
                found = true;
                break;
            }
        }
        if (!found)
            return false;
    }
    queryRegion(queried, tid, begin, end, [&](const bam1_t* r) {
        if (!(r->core.flag & skippedFlags))
            fragments.add(r, consumer);
        return true;
    });
    fragments.finishAdding(consumer);
    return true;
}
