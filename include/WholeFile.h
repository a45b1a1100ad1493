#pragma once

#include <fstream>
#include <string>

// Files that appear under their final name only once complete: written under
// temporaryPath, finished with completeFile, then renamed into place.

// Hidden and suffixed, so a reader looking for a result's name never picks up
// a half-written file.
std::string temporaryPath(const std::string& finalPath);

// Flushes, closes and syncs a finished temporary file; on failure leaves the
// reason in `error` (0 when the stream gave none).
bool completeFile(std::ofstream& stream, const std::string& path, int& error);

// " (reason)" for a non-zero errno, otherwise empty.
std::string describeErrno(int error);
