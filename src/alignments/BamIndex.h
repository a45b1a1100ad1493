#pragma once

// What region queries say of the index when the records disagree with it.

#include <string>

#include <htslib/sam.h>

// The index a BAM file with this header gets beside it: BAI, or CSI when a reference is
// too long for BAI.
std::string indexPath(const std::string& path, const sam_hdr_t* header);
// The minimum shift for htslib's sam_idx_init: 0 for BAI, the CSI's otherwise.
int indexMinShift(const sam_hdr_t* header);

// The index kept beside the BAM file, or an empty name when there is none.
std::string existingIndex(const std::string& path);

// Said of an index older than its BAM file when the two disagree.
std::string staleIndexNote(const std::string& path, const std::string& indexName);

// An index that does not describe the file as it is now would make region
// queries read records from the wrong places or miss them without a word.
[[noreturn]] void failIndexMismatch(const std::string& path, const std::string& indexName, const std::string& reason);
