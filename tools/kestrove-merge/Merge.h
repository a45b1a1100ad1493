#pragma once

// The samples of a merge and the steps that check them and write their matrices.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kestrove.h"

namespace merging {

namespace fs = std::filesystem;

struct MergeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws once a stop signal has arrived.
void stopIfSignalled();

struct Sample {
    std::string name;
    std::string directory;
    std::string recordName;  // the run's record, named by the sample of its summaries
    fs::path transcripts;
    fs::path genes;
    std::optional<provenance::Record> record;
    double fpkmChnSum = 0.0;
    std::string fragsExpt = "0";
    std::string compFragsExpt = "0";
    size_t genesOk = 0;
    size_t genesFail = 0;
};

// The annotation's rows as the first sample gives them.
struct Reference {
    std::string sample;
    std::vector<std::string> transcriptKeys;
    std::vector<std::string> geneKeys;
    std::vector<std::string> geneNameLocus;
};

bool parseNumber(std::string_view field, double& value);
std::string wholeFile(const fs::path& path);
// The summaries' transcript precision.
std::string fixed(double value);
// A sample's values for the matrices, one line per row: transcripts first
// (FPKM_THN, FPKM_CHN, count), then genes (FPKM_THN, FPKM_CHN, count, status).
fs::path scratchPath(const fs::path& folder, size_t sample);

// One pass over a sample on its own: validates both summaries, gathers its
// totals and writes its values to `scratch`.
void scanSample(Sample& s, std::string_view transcripts, std::string_view genes, Reference& ref, bool first,
                const fs::path& scratch);
// The summary as read must be the one its run recorded; a summary rewritten by a
// later run, or the survivor of a run killed between its renames, is not.
void checkRecorded(const Sample& s, const fs::path& path, std::string_view content);
// Refuses two samples run with different options.
void compareRecords(const Sample& ref, const Sample& s);
// The folder's provenance record, if it holds one.
void readRecord(Sample& s);

// The samples of the arguments, in their order, each folder and name once.
std::vector<Sample> samplesOf(const std::vector<std::string>& arguments);

void writeMatrices(const fs::path& outDir, const std::vector<Sample>& samples, const Reference& ref);

} // namespace merging
