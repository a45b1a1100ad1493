// Finding, checking and building the index of a BAM file, and sorting a copy of a file
// that cannot be indexed as it is.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include <htslib/bgzf.h>

#include "alignments/BamIndex.h"
#include "alignments/BamIO.h"
#include "alignments/BamSort.h"
#include "util/Errors.h"
#include "util/Files.h"
#include "util/ScratchFiles.h"

namespace {

// A BAI index cannot address positions from 2^29 on; such references need CSI.
constexpr hts_pos_t kBaiMaxLength = hts_pos_t{1} << 29;
constexpr int kBaiMinShift = 14;
constexpr int kBaiLevels = 5;

bool isRegularFile(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool indexIsOlder(const std::string& path, const std::string& indexName)
{
    struct stat bam;
    struct stat idx;
    if (::stat(path.c_str(), &bam) != 0 || ::stat(indexName.c_str(), &idx) != 0)
        return false;
    return idx.st_mtim.tv_sec < bam.st_mtim.tv_sec
        || (idx.st_mtim.tv_sec == bam.st_mtim.tv_sec && idx.st_mtim.tv_nsec < bam.st_mtim.tv_nsec);
}

// A file cut short at a block boundary reads like a complete one; only the
// missing end-of-file marker tells. Checked before an index is built from the
// file: an existing index gives the record counts the file must still hold.
void requireEndOfFileMarker(const std::string& path, htsFile* file)
{
    if (hts_get_format(file)->compression == bgzf && bgzf_check_EOF(file->fp.bgzf) == 0) {
        std::cerr << path << " is truncated: its end-of-file marker is missing (an interrupted copy or write?)"
                  << std::endl;
        throw KestroveException(ERR_BAM_OPEN);
    }
}

hts_pos_t longestReference(const sam_hdr_t* header)
{
    hts_pos_t longest = 0;
    for (int tid = 0; tid < sam_hdr_nref(header); ++tid)
        longest = std::max(longest, sam_hdr_tid2len(header, tid));
    return longest;
}


enum class IndexOutcome { built, needsSorting, unreadable, notWritten };

struct IndexBuild {
    IndexOutcome outcome;
    int error;  // errno after a failed save, for the message
};

// One pass over the records, as htslib's own index builder does, but telling
// records out of order (sort a copy) from unreadable data (give up) and from
// an index that cannot be saved (say so).
IndexBuild buildIndex(const std::string& path)
{
    // hts_idx_push logs every refusal; the outcome is reported by the caller.
    HtsLogSilencer quiet;
    std::unique_ptr<htsFile, HtsFileCloser> in(hts_open(path.c_str(), "r"));
    if (!in)
        return {IndexOutcome::unreadable, 0};
    // Only BGZF can be indexed; the sorted copy is written as BGZF.
    if (hts_get_format(in.get())->compression != bgzf)
        return {IndexOutcome::needsSorting, 0};
    std::unique_ptr<sam_hdr_t, HtsHeaderFree> header(sam_hdr_read(in.get()));
    if (!header)
        return {IndexOutcome::unreadable, 0};

    int format = HTS_FMT_BAI;
    int minShift = kBaiMinShift;
    int levels = kBaiLevels;
    const hts_pos_t longest = longestReference(header.get());
    if (longest >= kBaiMaxLength) {
        format = HTS_FMT_CSI;
        levels = 0;
        for (int64_t span = int64_t{1} << minShift; longest + 256 > span; span <<= 3)
            ++levels;
    }
    BGZF* bgzfFile = in->fp.bgzf;
    std::unique_ptr<hts_idx_t, HtsIndexFree> index(
        hts_idx_init(sam_hdr_nref(header.get()), format, bgzf_tell(bgzfFile), minShift, levels));
    std::unique_ptr<bam1_t, BamRecordFree> record(bam_init1());
    if (!index || !record)
        throw KestroveException(ERR_MEMORY_ALLOCATION);

    int r;
    while ((r = sam_read1(in.get(), header.get(), record.get())) >= 0) {
        const bam1_core_t& core = record->core;
        if (hts_idx_push(index.get(), core.tid, core.pos, bam_endpos(record.get()), bgzf_tell(bgzfFile),
                         !(core.flag & BAM_FUNMAP))
            < 0)
            return {IndexOutcome::needsSorting, 0};
    }
    if (r < -1 || hts_idx_finish(index.get(), bgzf_tell(bgzfFile)) < 0)
        return {IndexOutcome::unreadable, 0};
    // Written aside and renamed into place: a run killed while writing must not leave a
    // partial index that the next run would load as if it were whole.
    const std::string target = indexPath(path, header.get());
    ScratchFiles scratch(target);
    const std::string written = scratch.create();
    if (written.empty())
        return {IndexOutcome::notWritten, errno};
    errno = 0;
    if (hts_idx_save_as(index.get(), path.c_str(), written.c_str(), format) < 0
        || std::rename(written.c_str(), target.c_str()) != 0)
        return {IndexOutcome::notWritten, errno};
    scratch.forget(written);
    return {IndexOutcome::built, 0};
}

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// An index the run may not read is the user's to deal with: it is left as it is.
void requireReadable(const std::string& indexName)
{
    const int fd = ::open(indexName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::cerr << "Cannot read the index file " << indexName << ": " << std::strerror(errno)
                  << ". Make it readable, or move it away to let kestrove build a new index; it is left as it is."
                  << std::endl;
        throw KestroveException(ERR_BAM_INDEX);
    }
    ::close(fd);
}

// An index older than its BAM file is rebuilt where it can be written. Where it cannot,
// it is used as it is: the run's whole-reference counts check it. Every thread's reader
// comes here, so the user is told once.
bool replaceOlderIndex(const std::string& path, const std::string& indexName, std::atomic<bool>& reported)
{
    const bool writable = ::access(folderOf(path).c_str(), W_OK | X_OK) == 0;
    if (!reported.exchange(true))
        std::cerr << "Warning: the index " << indexName << " is older than " << path
                  << ", which may have changed since it was indexed; "
                  << (writable ? "a new index is built in its place." : "its folder is not writable: it is used as it is.")
                  << std::endl;
    return writable;
}

// The sorted copy goes beside the BAM file, where the next run finds it; a folder the
// user may not write to stops the run before the sort reads the whole file.
void requireWritableFolder(const std::string& path, const std::string& copy)
{
    const std::string folder = folderOf(path);
    if (::access(folder.c_str(), W_OK | X_OK) == 0)
        return;
    std::cerr << path << " is not sorted by coordinate, and its sorted copy " << copy
              << " cannot be written: no write access to the folder " << folder << " (" << std::strerror(errno)
              << "). Sort and index it into a writable folder (samtools sort -o OUT.bam " << path
              << " && samtools index OUT.bam) and give that file with -B." << std::endl;
    throw KestroveException(ERR_BAM_INDEX);
}

[[noreturn]] void failIndexWrite(const std::string& path, const sam_hdr_t* header, int error)
{
    std::cerr << "Cannot write the index file " << indexPath(path, header);
    if (error != 0)
        std::cerr << ": " << std::strerror(error);
    std::cerr << std::endl;
    throw KestroveException(ERR_BAM_INDEX);
}

[[noreturn]] void failUnreadable(const std::string& path)
{
    std::cerr << path << " is truncated or corrupted: its records cannot be read to the end" << std::endl;
    throw KestroveException(ERR_BAM_OPEN);
}

} // namespace

std::string indexPath(const std::string& path, const sam_hdr_t* header)
{
    return path + (longestReference(header) >= kBaiMaxLength ? ".csi" : ".bai");
}

int indexMinShift(const sam_hdr_t* header) { return longestReference(header) >= kBaiMaxLength ? kBaiMinShift : 0; }

// The index kept beside the BAM file, or an empty name when there is none.
// Looked up here rather than by htslib, which logs an error when there is no
// index, so that the checks and messages below name the file actually used.
std::string existingIndex(const std::string& path)
{
    const std::string base = files::withoutExtension(path);
    for (const std::string& candidate : {path + ".bai", path + ".csi", base + ".bai", base + ".csi"})
        if (isRegularFile(candidate))
            return candidate;
    return {};
}

// Said of an index older than its BAM file when the two disagree.
std::string staleIndexNote(const std::string& path, const std::string& indexName)
{
    return indexIsOlder(path, indexName)
        ? ", or is out of date (it is older than the BAM file, which may have changed since it was indexed)"
        : "";
}

// An index that does not describe the file as it is now would make region
// queries read records from the wrong places or miss them without a word. An
// index older than its BAM file is not refused for its age alone (a copy may
// not have kept the file times): the run's whole-reference counts check it.
[[noreturn]] void failIndexMismatch(const std::string& path, const std::string& indexName, const std::string& reason)
{
    std::cerr << path << " and its index " << indexName << " disagree: " << reason
              << ". Either the BAM file is truncated, or the index belongs to another file"
              << staleIndexNote(path, indexName) << ": rebuild the index (samtools index " << path
              << ") or remove it to let kestrove build one." << std::endl;
    throw KestroveException(ERR_BAM_INDEX);
}

std::string sortedCopyName(const std::string& bamPath)
{
    return files::withoutExtension(bamPath) + ".sorted.bam";
}

int BamIO::openBam()
{
    const std::string path(fileName);
    openFile(path);
    const std::string indexName = existingIndex(path);
    // Before the header, whose reading would report the same cut in htslib's words.
    if (indexName.empty())
        requireEndOfFileMarker(path, file.get());
    readHeader(path);
    if (!indexName.empty()) {
        requireReadable(indexName);
        ReaderNotices unshared;
        std::atomic<bool>& reported = (notices ? *notices : unshared).olderIndexReported;
        if (!(indexIsOlder(path, indexName) && replaceOlderIndex(path, indexName, reported))
            && loadIndex(path, indexName))
            return 0;
    }

    requireEndOfFileMarker(path, file.get());
    std::cout << "Creating the index file.\n" << std::flush;
    IndexBuild built = buildIndex(path);
    int result = 0;
    std::string current = path;
    switch (built.outcome) {
    case IndexOutcome::built:
        index.reset(sam_index_load(file.get(), path.c_str()));
        break;
    case IndexOutcome::notWritten:
        failIndexWrite(path, header.get(), built.error);
    case IndexOutcome::unreadable:
        failUnreadable(path);
    case IndexOutcome::needsSorting: {
        current = sortedCopyName(path);
        requireWritableFolder(path, current);
        std::cout << "Sorting the alignments." << std::endl;
        const BamSortResult sorted =
            sortBamByCoordinate(path, current, sortMemory != 0 ? sortMemory : defaultSortMemory(), true);
        if (sorted.status != BamSortStatus::ok) {
            std::cerr << "Sorting failed: " << sorted.message << std::endl;
            throw KestroveException(ERR_BAM_SORT);
        }
        std::cout << "The aligments are sorted." << std::endl;

        const IndexBuild sortedBuilt = sorted.indexPath.empty() ? buildIndex(current) : IndexBuild{IndexOutcome::built, 0};
        file.reset();
        openFile(current);
        // Replacing the header releases the one read from the unsorted file.
        readHeader(current);
        if (sortedBuilt.outcome == IndexOutcome::notWritten)
            failIndexWrite(current, header.get(), sortedBuilt.error);
        if (sortedBuilt.outcome == IndexOutcome::built)
            index.reset(sam_index_load(file.get(), current.c_str()));
        result = 1;
        break;
    }
    }
    if (!index) {
        std::cerr << "Cannot load the index of " << current << std::endl;
        throw KestroveException(ERR_BAM_INDEX);
    }
    std::cout << "The index file is created." << std::endl;
    return result;
}

// One that cannot be read as an index is rebuilt, and the user told.
bool BamIO::loadIndex(const std::string& path, const std::string& indexName)
{
    index.reset(sam_index_load2(file.get(), path.c_str(), indexName.c_str()));
    if (!index) {
        std::cerr << "Warning: " << indexName << " cannot be read as an index of " << path
                  << "; a new index is built in its place." << std::endl;
        return false;
    }
    if (hts_idx_nseq(index.get()) != sam_hdr_nref(header.get()))
        failIndexMismatch(path, indexName,
                          "it describes " + std::to_string(hts_idx_nseq(index.get()))
                              + " reference sequences, the BAM header names "
                              + std::to_string(sam_hdr_nref(header.get())));
    return true;
}
