#pragma once

#include <fstream>
#include <string>

// Files that appear under their final name only once complete: written under
// temporaryPath, finished with completeFile, then renamed into place.

// Hidden, suffixed and owned by this process, so a reader looking for a result's
// name never picks up a half-written file, and runs in one directory never write
// to each other's files.
std::string workingPrefix(const std::string& finalPath);
std::string workingPath(const std::string& finalPath, const char* suffix);
inline std::string temporaryPath(const std::string& finalPath) { return workingPath(finalPath, ".tmp"); }

// Flushes, closes and syncs a finished temporary file; on failure leaves the
// reason in `error` (0 when the stream gave none).
bool completeFile(std::ofstream& stream, const std::string& path, int& error);

// " (reason)" for a non-zero errno, otherwise empty.
std::string describeErrno(int error);
