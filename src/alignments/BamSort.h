#pragma once

#include <cstddef>
#include <string>

#include "util/ScratchFiles.h"

// The memory a sort may take (records, htslib's buffers, the index it writes): a share of
// what the process may still map and of the memory available to it, bounded.
std::size_t defaultSortMemory();

enum class BamSortStatus {
    ok = 0,
    readError,    // the input cannot be opened or read
    writeError,   // the output or a temporary run cannot be written
    memoryError,
};

struct BamSortResult {
    BamSortStatus status = BamSortStatus::ok;
    std::string message;      // one line naming the file at fault; empty on success
    std::size_t spilledRuns = 0;  // 0 when everything was sorted in memory
    std::string indexPath;        // the index written with the output, if asked for
};

// Coordinate sort of inPath into outPath: by reference id (records without a
// reference last, in input order), then position, then strand (forward first);
// records with equal keys keep their input order. What the sort holds stays
// under memoryLimit; sorted runs beyond it go to temporary BAM files beside
// outPath, which are removed whatever the outcome. outPath appears only when
// the sort succeeds. With withIndex, its index is built as it is written and
// appears beside it once it is complete, dated after it.
BamSortResult sortBamByCoordinate(const std::string& inPath, const std::string& outPath,
                                  std::size_t memoryLimit = defaultSortMemory(), bool withIndex = false);
