#pragma once

// The reference names of the BAM header against those of the annotation.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "annotation/Annotations.h"
#include "config/Configuration.h"

// The reference of the BAM header that holds `chromosome`, tried as written and
// under the usual prefixes; empty when there is none.
std::string headerReference(const std::string& chromosome, const std::vector<std::string>& references);

// The references of the BAM header; none when the header cannot be read, which
// opening the alignments then reports.
struct HeaderReferences {
    std::vector<std::string> names;
    std::vector<int64_t> lengths;
};

std::optional<HeaderReferences> bamReferences(const std::string& path);

// A GTF and a BAM from different naming conventions (chr1 against 1) would give every
// gene zero reads and a run that looks successful: false, after saying so, when no gene
// is on a reference of the BAM; a warning when some are not.
bool referencesMatch(const Annotations& annotations, const std::vector<std::string>& references,
                     const t_directories& paths);
