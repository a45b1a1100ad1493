#include "util/WorkingFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "util/Files.h"

namespace {

std::string fileNameOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string directoryOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

const std::string& runToken()
{
    static const std::string token = [] {
        char text[9];
        std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(std::random_device{}()));
        return std::string(text);
    }();
    return token;
}

} // namespace

std::string workingPrefix(const std::string& finalPath)
{
    return "." + fileNameOf(finalPath) + ".";
}

std::string workingPath(const std::string& finalPath, const char* suffix)
{
    return directoryOf(finalPath) + "/" + workingPrefix(finalPath) + std::to_string(::getpid()) + "." + runToken()
        + suffix;
}

WorkingFileLock::WorkingFileLock(const std::string& path) : fd(files::createLockedFile(path)) {}

WorkingFileLock& WorkingFileLock::operator=(WorkingFileLock&& other) noexcept
{
    if (this != &other) {
        release();
        fd = other.fd;
        other.fd = -1;
    }
    return *this;
}

void WorkingFileLock::release()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

std::string describeErrno(int error)
{
    return error == 0 ? std::string() : std::string(" (") + std::strerror(error) + ")";
}

bool completeFile(std::ofstream& stream, const std::string& path, int& error)
{
    stream.flush();
    bool ok = stream.good();
    error = ok ? 0 : errno;
    stream.close();
    if (ok && stream.fail()) {
        ok = false;
        error = errno;
    }
    if (!ok)
        return false;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0 || ::fsync(fd) != 0) {
        error = errno;
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}
