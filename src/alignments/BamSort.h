#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Record data held in memory before a sorted run is spilled to disk: a share of what
// the process may still map and of the memory available to it, bounded.
std::size_t defaultSortMemory();

enum class BamSortStatus {
    ok = 0,
    usageError,
    readError,    // the input cannot be opened or read
    writeError,   // the output or a temporary run cannot be written
    memoryError,
};

struct BamSortResult {
    BamSortStatus status = BamSortStatus::ok;
    std::string message;      // one line naming the file at fault; empty on success
    std::size_t spilledRuns = 0;  // 0 when everything was sorted in memory
};

// Coordinate sort of inPath into outPath: by reference id (records without a
// reference last, in input order), then position, then strand (forward first);
// records with equal keys keep their input order. Memory for records stays
// near memoryLimit; sorted runs beyond it go to temporary BAM files beside
// outPath, which are removed whatever the outcome. outPath appears only when
// the sort succeeds.
BamSortResult sortBamByCoordinate(const std::string& inPath, const std::string& outPath,
                                  std::size_t memoryLimit = defaultSortMemory());

// Temporary files "<target>.tmp.<pid>.<random>.<n>" beside a file being written. Each is
// locked while it exists, so that the clean-up every new set does of the unlocked
// temporaries of its target (those of a killed run) never takes the files of a live run,
// whatever its PID namespace or host. Files still held are removed when the set goes.
class ScratchFiles {
public:
    explicit ScratchFiles(const std::string& target);
    ~ScratchFiles();
    ScratchFiles(const ScratchFiles&) = delete;
    ScratchFiles& operator=(const ScratchFiles&) = delete;

    // A new empty file; empty with errno set when none can be created.
    std::string create();
    void remove(const std::string& path);
    // For a file renamed into place: gives up its lock without removing anything.
    void forget(const std::string& path);

private:
    struct Held {
        std::string path;
        int lock;
    };
    std::string prefix;
    std::vector<Held> held;
    unsigned counter = 0;
    bool registered = false;
};

// Removes the files of the set of scratch files in use, if any. Async-signal-safe: an
// interrupted run calls it from its signal handler.
void removeSortTemporaries() noexcept;

// Command form: argv = {"sort", input, outputPrefix}; writes outputPrefix + ".bam".
// Returns 0 on success, otherwise prints the failure on standard error and
// returns the BamSortStatus value.
int bam_sort_reads(int argc, char** argv);
