#pragma once

#include <cstddef>
#include <cstdint>

#include <atomic>

#include <malloc.h>
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

// The heap keeps the free room that mid-sized loci leave, for the next ones to use
// without faulting it in again. A large locus's buffers are mapped on their own and
// cannot use that room, so it would sit idle at the run's peak: the heap gives its
// free pages back whenever a locus's index outgrows every one before it. That happens
// a few times a run; the pages fault in again later, a few milliseconds each time.
inline void releaseFreeHeapForLargestLocus(std::size_t indexSlots)
{
    constexpr std::size_t kFirstRelease = std::size_t{1} << 16;
    // Process-wide, as the heap it trims is.
    static std::atomic<std::size_t> largest{kFirstRelease - 1};
    std::size_t seen = largest.load(std::memory_order_relaxed);
    while (indexSlots > seen)
        if (largest.compare_exchange_weak(seen, indexSlots, std::memory_order_relaxed)) {
            malloc_trim(0);
            return;
        }
}
