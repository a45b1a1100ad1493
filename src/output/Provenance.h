#pragma once

// The record a run leaves in its result folder as provenance_<sample>.json: what ran,
// on which inputs, with which option values, and the summaries it wrote, so
// that a later reader can tell whether a folder's summaries belong together.

#include <cstdint>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace provenance {

// Named by sample like the summaries, so that runs of several samples into one
// folder each keep their record.
inline std::string fileName(const std::string& sample) { return "provenance_" + sample + ".json"; }

struct Input {
    std::string role;
    std::string path;  // absolute
    uint64_t size = 0;
    std::string mtime;
};

struct Output {
    std::string file;  // name within the result folder
    uint64_t size = 0;
    std::string md5;
};

struct Statistics {
    uint64_t fragments = 0;
    uint64_t compatibleFragments = 0;
    uint64_t genesOk = 0;
    uint64_t genesFail = 0;
    // genesFail by reason; records of earlier versions lack them and read 0.
    uint64_t genesFailNoFragments = 0;
    uint64_t genesFailTooFew = 0;
    uint64_t genesFailTooMany = 0;
    uint64_t genesFailNotConverged = 0;
};

struct Record {
    std::string program;
    std::string version;
    std::vector<std::string> commandLine;
    std::vector<std::pair<std::string, std::string>> options;  // long name -> value, in option order
    std::string sample;
    std::vector<Input> inputs;
    std::string start;
    std::string end;
    Statistics statistics;
    std::vector<Output> outputs;

    const Input* input(std::string_view role) const;
    const Output* output(std::string_view file) const;
};

struct FormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Where two runs differ in what shapes their summaries: in an option, leaving out
// those that name the sample's own files or change nothing in the summaries, or
// in the GTF or genes list, compared by size and modification time rather than
// by path. None when they agree.
struct Difference {
    std::string option;  // as given on the command line, "--blocks"
    std::string first;
    std::string second;
};
std::optional<Difference> firstDifference(const Record& first, const Record& second);

std::string toJson(const Record& record);
// Throws FormatError naming what is missing or malformed.
Record parse(std::string_view json);

// Lower-case hex MD5 of the bytes.
std::string md5Hex(std::string_view data);
// ISO 8601 in UTC, to the second.
std::string utcTime(std::time_t time);
// The file as found now: absolute path, size and modification time (size 0 and
// no time when it cannot be examined).
Input describeInput(const std::string& role, const std::string& path);

} // namespace provenance
