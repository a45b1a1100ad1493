#include "util/ScratchFiles.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "util/Files.h"

namespace {

// The scratch files in use, where the signal handler of an interrupted run reaches them
// (removeSortTemporaries): the prefix and every number below the count. Namespace scope
// and fixed storage for that reason; one set at a time is registered.
constexpr std::size_t kPrefixCapacity = 4096;
char activePrefix[kPrefixCapacity];
std::atomic<bool> slotTaken{false};
volatile std::sig_atomic_t activeSet = 0;
volatile std::sig_atomic_t activeCount = 0;

// Appends the decimal digits of value at out; returns the new end.
char* appendDecimal(char* out, unsigned long value)
{
    char digits[24];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        *out++ = digits[--n];
    return out;
}

// Two runs in different PID namespaces may have the same process id.
std::string randomToken()
{
    std::random_device device;
    const uint64_t value = (uint64_t{device()} << 32) ^ device();
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

ScratchFiles::ScratchFiles(const std::string& target)
{
    // A killed run's sort files are tens of MB each; nothing else would ever remove them.
    const std::size_t slash = target.find_last_of('/');
    files::removeUnlockedFiles(slash == std::string::npos ? "." : target.substr(0, slash + 1),
                                target.substr(slash == std::string::npos ? 0 : slash + 1) + ".tmp.");
    prefix = target + ".tmp." + std::to_string(::getpid()) + "." + randomToken() + ".";
    // Room is left for a number and the terminator.
    if (prefix.size() + 24 < kPrefixCapacity && !slotTaken.exchange(true)) {
        std::memcpy(activePrefix, prefix.c_str(), prefix.size() + 1);
        activeCount = 0;
        activeSet = 1;
        registered = true;
    }
}

ScratchFiles::~ScratchFiles()
{
    if (registered) {
        activeSet = 0;
        slotTaken = false;
    }
    for (const Held& file : held) {
        ::unlink(file.path.c_str());
        ::close(file.lock);
    }
}

std::string ScratchFiles::create()
{
    for (;;) {
        if (registered)
            activeCount = static_cast<std::sig_atomic_t>(counter + 1);
        std::string path = prefix + std::to_string(counter++);
        const int lock = files::createLockedFile(path);
        if (lock >= 0) {
            held.push_back({path, lock});
            return path;
        }
        if (errno != EEXIST)
            return {};
    }
}

void ScratchFiles::remove(const std::string& path)
{
    ::unlink(path.c_str());
    forget(path);
}

void ScratchFiles::forget(const std::string& path)
{
    std::erase_if(held, [&path](const Held& file) {
        if (file.path != path)
            return false;
        ::close(file.lock);
        return true;
    });
}

void removeSortTemporaries() noexcept
{
    if (!activeSet)
        return;
    activeSet = 0;
    char path[kPrefixCapacity];
    const std::size_t prefixLength = std::strlen(activePrefix);
    std::memcpy(path, activePrefix, prefixLength);
    for (long n = 0; n < activeCount; ++n) {
        *appendDecimal(path + prefixLength, static_cast<unsigned long>(n)) = '\0';
        ::unlink(path);
    }
}
