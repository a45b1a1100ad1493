#include "util/Helper.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>

#include <boost/filesystem.hpp>

namespace fs = boost::filesystem;

namespace {

std::string twoDigits(uint32_t value)
{
    return (value < 10 ? "0" : "") + std::to_string(value);
}

// Optional subdirectories (debug, logfiles) do not stop the run when they cannot be made.
void createOptionalDirectory(const fs::path& directory)
{
    try {
        if (!fs::exists(directory))
            fs::create_directories(directory);
    } catch (const fs::filesystem_error&) {
        std::cerr << "\nError: " << directory << "\n"
                  << "The results will be saved to the current working directory directory!\n";
    }
}

// Boost's create_directories refuses a path ending in "." or "..", as "-o ." is.
fs::path normalDirectory(const std::string& directory)
{
    return fs::absolute(directory).lexically_normal();
}

// Why results cannot go to the directory; empty when they can. A missing directory is
// created and removed again, since only trying tells whether it can be made (a full
// disk, a read-only or special file system).
std::string outputDirectoryProblem(const std::string& directory)
{
    if (directory.empty())
        return "cannot be created: the name is empty";
    boost::system::error_code ec;
    const fs::path path = normalDirectory(directory);
    if (fs::exists(path, ec)) {
        if (!fs::is_directory(path, ec))
            return "exists and is not a directory";
        if (::access(path.c_str(), W_OK | X_OK) != 0)
            return std::string("is not writable: ") + std::strerror(errno);
        return {};
    }
    std::vector<fs::path> missing{path};
    while (missing.back().has_parent_path() && !fs::exists(missing.back().parent_path(), ec))
        missing.push_back(missing.back().parent_path());
    const fs::path ancestor = missing.back().parent_path();
    if (!fs::is_directory(ancestor, ec))
        return "cannot be created: " + ancestor.string() + " is not a directory";
    fs::create_directories(path, ec);
    const std::string problem = ec ? "cannot be created: " + ec.message() : std::string();
    for (const fs::path& created : missing)
        fs::remove(created, ec);
    return problem;
}

template <typename OnFile>
void forEachFileNamed(const std::string& directory, const std::string& prefix, OnFile onFile)
{
    boost::system::error_code ec;
    for (fs::directory_iterator it(directory.empty() ? "." : directory, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) == 0)
            onFile(it->path(), name);
    }
}

} // namespace

std::string Helper::secondsToTime(unsigned long seconds)
{
    const auto total = static_cast<uint32_t>(seconds);
    return twoDigits(total / 3600) + ":" + twoDigits((total % 3600) / 60) + ":" + twoDigits(total % 60);
}

std::string Helper::withoutExtension(const std::string& path)
{
    const size_t nameStart = path.find_last_of('/') + 1;
    const size_t dot = path.rfind('.');
    return dot == std::string::npos || dot <= nameStart ? path : path.substr(0, dot);
}

std::string Helper::splitFilename(const std::string& path)
{
    const std::string stem = withoutExtension(path);
    return stem.substr(stem.find_last_of('/') + 1);
}

std::string Helper::inputFileProblem(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return {};
    if (S_ISDIR(info.st_mode))
        return "is a directory";
    if (S_ISFIFO(info.st_mode))
        return "is a FIFO (named pipe), not a regular file";
    if (S_ISSOCK(info.st_mode))
        return "is a socket, not a regular file";
    return {};
}

bool Helper::parseByteSize(const std::string& text, std::size_t& bytes)
{
    std::size_t digits = 0;
    while (digits < text.size() && digits < 15 && std::isdigit(static_cast<unsigned char>(text[digits])))
        ++digits;
    std::string unit = text.substr(digits);
    if (!unit.empty() && (unit.back() == 'B' || unit.back() == 'b'))
        unit.pop_back();
    const std::string units = "KMGT";
    const size_t power = unit.size() == 1 ? units.find(static_cast<char>(std::toupper(unit[0]))) : std::string::npos;
    if (digits == 0 || power == std::string::npos)
        return false;
    const uint64_t number = std::stoull(text.substr(0, digits));
    const auto shift = static_cast<unsigned>(10 * (power + 1));
    if ((number << shift) >> shift != number || (number << shift) < (uint64_t{1} << 20))
        return false;
    bytes = static_cast<std::size_t>(number << shift);
    return true;
}

bool Helper::checkOutputDirectory(const t_configuration& conf, t_directories& dirs)
{
    if (!conf.outputDirGiven) {
        boost::system::error_code ec;
        const fs::path workingDir = fs::current_path(ec);
        if (ec) {
            std::cerr << "\nError: the working directory is not accessible: " << ec.message() << "\n";
            return false;
        }
        dirs.outputDir = workingDir.string() + "/output";
    } else if (!dirs.outputDir.empty()) {
        // Files are named under it: "out/x/.." must not need a folder x.
        dirs.outputDir = fs::path(dirs.outputDir).lexically_normal().string();
    }
    // Results go where they were asked for or nowhere: another directory could hold an
    // earlier run's results, which this run would overwrite.
    if (const std::string problem = outputDirectoryProblem(dirs.outputDir); !problem.empty()) {
        std::cerr << "\nError: output directory " << dirs.outputDir << " " << problem << "\n";
        return false;
    }
    boost::system::error_code ec;
    const std::string logDirectory = dirs.outputDir + "/logfiles";
    if (conf.logFiles && fs::exists(logDirectory, ec) && !fs::is_directory(logDirectory, ec)) {
        std::cerr << "\nError: " << logDirectory << " exists and is not a directory: the per-gene logs (-l) "
                  << "cannot be written\n";
        return false;
    }
    return true;
}

bool Helper::createDirectories(t_configuration& conf, t_directories& dirs)
{
    if (!checkOutputDirectory(conf, dirs))
        return false;
    boost::system::error_code ec;
    fs::create_directories(normalDirectory(dirs.outputDir), ec);
    if (ec) {
        std::cerr << "\nError: output directory " << dirs.outputDir << " cannot be created: " << ec.message() << "\n";
        return false;
    }

    if (conf.debugMode) {
        createOptionalDirectory(dirs.outputDir + "/debug");
        dirs.debugDir = dirs.outputDir + "/debug";
    }
    // Logs were asked for: a run without them is not the run asked for.
    if (conf.logFiles) {
        fs::create_directories(dirs.outputDir + "/logfiles", ec);
        if (ec) {
            std::cerr << "\nError: " << dirs.outputDir << "/logfiles cannot be created: " << ec.message() << "\n";
            return false;
        }
    }
    return true;
}

int Helper::createLockedFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        // Another run's clean-up holds the file it took for stale, and removes it.
        if (error == EWOULDBLOCK) {
            errno = EEXIST;
        } else {
            ::unlink(path.c_str());
            errno = error;
        }
        return -1;
    }
    // A clean-up may also have taken and removed the name between its creation and the lock.
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd, &opened) != 0 || ::stat(path.c_str(), &named) != 0 || opened.st_ino != named.st_ino
        || opened.st_dev != named.st_dev) {
        ::close(fd);
        errno = EEXIST;
        return -1;
    }
    return fd;
}

void Helper::removeUnlockedFiles(const std::string& directory, const std::string& prefix)
{
    forEachFileNamed(directory, prefix, [](const fs::path& path, const std::string&) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return;
        // A shared lock is enough to tell, and is all that a read-only descriptor gets on NFS.
        struct stat opened {};
        struct stat named {};
        if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && ::flock(fd, LOCK_SH | LOCK_NB) == 0
            && ::lstat(path.c_str(), &named) == 0 && named.st_ino == opened.st_ino && named.st_dev == opened.st_dev)
            ::unlink(path.c_str());
        ::close(fd);
    });
}

void Helper::addToGenesList(std::string geneId)
{
    std::unique_lock<std::mutex> lock(mutex);
    condition.wait(lock, [this] { return !busy; });
    busy = true;
    try {
        highlyAbundantGenes.push_back(std::move(geneId));
    } catch (...) {
        busy = false;
        throw;
    }
    busy = false;
    condition.notify_one();
}

std::vector<std::string>& Helper::getHighlyAbundantGenes() { return highlyAbundantGenes; }

std::string Helper::fileSafeName(const std::string& name)
{
    std::string safe = name;
    for (char& c : safe) {
        if (c == '/' || c == '\\' || c == '\0')
            c = '_';
    }
    if (safe.empty() || safe.front() == '.')
        safe.insert(safe.begin(), '_');
    if (safe.size() <= kMaxFileSafeName)
        return safe;
    // Cut names stay apart by a hash of the whole name (64-bit FNV-1a).
    uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : name)
        hash = (hash ^ c) * 1099511628211ULL;
    char suffix[18];
    std::snprintf(suffix, sizeof suffix, "-%016llx", static_cast<unsigned long long>(hash));
    safe.resize(kMaxFileSafeName - (sizeof suffix - 1));
    return safe + suffix;
}
