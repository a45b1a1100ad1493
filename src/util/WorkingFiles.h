#pragma once

#include <fstream>
#include <string>

// Files that appear under their final name only once complete: written under
// temporaryPath, finished with completeFile, then renamed into place.

// Hidden, suffixed and owned by this process, so a reader looking for a result's
// name never picks up a half-written file, and runs in one directory never write
// to each other's files: the name holds the process id and a random token, since
// runs in other PID namespaces (containers, hosts sharing a folder) may have the
// same id.
std::string workingPrefix(const std::string& finalPath);
std::string workingPath(const std::string& finalPath, const char* suffix);
inline std::string temporaryPath(const std::string& finalPath) { return workingPath(finalPath, ".tmp"); }

// Creates a working file and holds the lock that tells other runs it is in use, for
// the life of the object; removeUnlockedFiles clears what a killed run left.
class WorkingFileLock {
public:
    WorkingFileLock() = default;
    explicit WorkingFileLock(const std::string& path);
    WorkingFileLock(WorkingFileLock&& other) noexcept : fd(other.fd) { other.fd = -1; }
    WorkingFileLock& operator=(WorkingFileLock&& other) noexcept;
    WorkingFileLock(const WorkingFileLock&) = delete;
    WorkingFileLock& operator=(const WorkingFileLock&) = delete;
    ~WorkingFileLock() { release(); }

    bool held() const { return fd >= 0; }
    void release();

private:
    int fd = -1;
};

// Flushes, closes and syncs a finished temporary file; on failure leaves the
// reason in `error` (0 when the stream gave none).
bool completeFile(std::ofstream& stream, const std::string& path, int& error);

// " (reason)" for a non-zero errno, otherwise empty.
std::string describeErrno(int error);
