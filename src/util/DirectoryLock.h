#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

// An exclusive lock on a directory for the lifetime of the object, so that the
// processes that replace files in it do so one at a time; syncs the directory on
// release, so that the renames made under it outlast a crash. A directory that
// cannot be opened is not locked.
class DirectoryLock {
public:
    explicit DirectoryLock(const std::string& directory)
        : fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (fd >= 0)
            ::flock(fd, LOCK_EX);
    }
    ~DirectoryLock()
    {
        if (fd < 0)
            return;
        ::fsync(fd);
        ::close(fd);
    }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

private:
    int fd;
};
