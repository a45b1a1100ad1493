#pragma once

#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace testutil {

// A fresh directory under the system temp dir, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void writeText(const std::string& path, const std::string& text);
std::string readText(const std::string& path);
bool exists(const std::string& path);
std::set<std::string> filesIn(const std::string& directory);
bool contains(const std::string& text, const std::string& part);
std::size_t occurrences(const std::string& text, const std::string& part);
std::string quoted(const std::string& text);
std::vector<std::string> split(const std::string& text, char separator);
inline std::vector<std::string> lines(const std::string& text) { return split(text, '\n'); }
inline std::vector<std::string> fields(const std::string& line) { return split(line, '\t'); }
inline bool hasTwoHardwareThreads() { return std::thread::hardware_concurrency() >= 2; }

// One GTF exon line.
std::string exon(const std::string& chromosome, int start, int end, const std::string& gene,
                 const std::string& transcript, const std::string& name = "", char strand = '+');

// One SAM record without sequence.
std::string samRecord(const std::string& name, int flag, const std::string& reference, int pos,
                      const std::string& cigar, const std::string& mateReference = "*", int matePos = 0, int templateLength = 0);

// Converts SAM text (header and records) into a BAM file with htslib;
// optionally writes its .bai index (the records must then be sorted).
void samToBam(const std::string& samText, const std::string& bamPath, bool buildIndex);

// The records of a BAM file as SAM lines; its header text into `header` when given.
std::vector<std::string> bamRecords(const std::string& path, std::string* header = nullptr);

// SAM text of proper pairs of 50-base reads, one (reference, left start, right start)
// each, on references chr1 and chr2 and in coordinate order.
using Pair = std::tuple<std::string, int, int>;
std::string pairsSam(const std::vector<Pair>& pairs);

// One column of a summary file, found by its header name: each value followed by a blank.
std::string column(const std::string& path, const std::string& name);

struct CommandResult {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string out;
    std::string err;
};

// Runs a shell command with stdout and stderr captured separately.
CommandResult run(const std::string& command);

// Blocks until `directory` (once it exists) holds a name matching the glob `pattern`,
// woken by the file system rather than by polling; false after `seconds`.
bool awaitFile(const std::string& directory, const std::string& pattern, int seconds = 60);

std::string kestroveExe();
std::string kestroveDevExe();
std::string toolPath(const std::string& name);

// Runs the simulator: <prefix>.gtf, <prefix>.bam (indexed unless unsorted) and <prefix>.truth.tsv.
void simulate(const std::string& prefix, const std::string& options);

// Runs kestrove (or another build of it) in a directory.
CommandResult kestroveIn(const std::string& directory, const std::string& arguments, const std::string& exe = kestroveExe());

} // namespace testutil
