#pragma once

#include <string>
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
// The parts of text between separators; a trailing empty part is dropped.
std::vector<std::string> splitOn(const std::string& text, char separator);

// Converts SAM text (header and records) into a BAM file with htslib;
// optionally writes its .bai index (the records must then be sorted).
void samToBam(const std::string& samText, const std::string& bamPath, bool buildIndex);

struct CommandResult {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string out;
    std::string err;
};

// Runs a shell command with stdout and stderr captured separately.
CommandResult run(const std::string& command);

std::string kestroveExe();
std::string kestroveDevExe();
std::string toolPath(const std::string& name);

} // namespace testutil
