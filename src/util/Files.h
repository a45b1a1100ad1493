#pragma once

#include <cstddef>
#include <string>

// File names and the files the program creates and cleans up beside its inputs and outputs.
namespace files {

// The file name of path without its directory and its last extension: the sample
// name of a BAM file ("exp.2024/ctrl" -> "ctrl", "reads.bam" -> "reads").
std::string splitFilename(const std::string& path);
// path without the last extension of its file name; a dot in a directory name or
// leading a file name starts no extension.
std::string withoutExtension(const std::string& path);
// Why path cannot be read as an input file, as words to follow its name; empty
// when it can or does not exist (opening it then says why). A FIFO is refused
// because opening one with no writer waits forever.
std::string inputFileProblem(const std::string& path);
// A gene name or id as one file-name component: path separators and a leading
// dot are replaced, so an annotation cannot make the program write outside the
// output directory or to a hidden file; a name longer than kMaxFileSafeName bytes
// is cut to that length, ending in a hash of the whole name.
constexpr std::size_t kMaxFileSafeName = 200;
std::string fileSafeName(const std::string& name);
// Creates path exclusively and locks it for as long as the returned descriptor stays
// open; -1 with errno set when it cannot, EEXIST when path exists or is being
// cleaned up. Unlike a process id, the lock is seen from other PID namespaces and,
// through the file system's lock service, from other hosts.
int createLockedFile(const std::string& path);
// Removes the files of `directory` whose name starts with prefix and on which no
// process holds the lock of createLockedFile.
void removeUnlockedFiles(const std::string& directory, const std::string& prefix);

} // namespace files
