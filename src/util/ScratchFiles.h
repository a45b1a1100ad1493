#pragma once

#include <string>
#include <vector>

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
