#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/mman.h>

// Maps the pages of a large fresh buffer that is about to be written whole in one
// call. Page by page, each first write is a fault, and in a virtual machine a fault
// costs several microseconds: a large locus's tables would spend more time faulting
// than being filled. A kernel without the call just leaves the faults to the writes.
inline void prefaultForWrite(void* data, std::size_t bytes)
{
    constexpr std::uintptr_t kPage = 4096;
    constexpr std::size_t kWorthIt = 32 * kPage;
    if (bytes < kWorthIt)
        return;
    const auto from = (reinterpret_cast<std::uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
    const auto to = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kPage - 1);
#ifdef MADV_POPULATE_WRITE
    if (to > from)
        madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#endif
}
