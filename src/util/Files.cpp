#include "util/Files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <boost/filesystem.hpp>

namespace fs = boost::filesystem;

namespace files {

namespace {

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

std::string withoutExtension(const std::string& path)
{
    const size_t nameStart = path.find_last_of('/') + 1;
    const size_t dot = path.rfind('.');
    return dot == std::string::npos || dot <= nameStart ? path : path.substr(0, dot);
}

std::string splitFilename(const std::string& path)
{
    const std::string stem = withoutExtension(path);
    return stem.substr(stem.find_last_of('/') + 1);
}

std::string inputFileProblem(const std::string& path)
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

int createLockedFile(const std::string& path)
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

void removeUnlockedFiles(const std::string& directory, const std::string& prefix)
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

std::string fileSafeName(const std::string& name)
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

} // namespace files
