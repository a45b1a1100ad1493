#pragma once

// The E-step over a gene's fragment table, sequential or in blocks.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "alignments/Compatibility.h"
#include "annotation/Annotations.h"
#include "model/FragmentTable.h"
#include "util/FlatArray.h"
#include "util/ThreadPool.h"

// Fragments [begin, end) of one block when the E-step of a large gene is split into
// blocks: N / blocks fragments each, the last block also taking the remainder.
struct FragmentBlock {
    uint64_t begin = 0;
    uint64_t end = 0;
};
FragmentBlock fragmentBlock(uint64_t nrFragments, uint64_t nrBlocks, uint64_t blockIndex);

// ---------------------------------------------------------------------------
// E-step

struct EStepInput {
    const FragmentTable* table;
    const double* alphas;           // T
    const double* betas;            // G x K, one row per group
    const uint64_t* transcriptGroup;
    double nrFragments;             // N, including fragments skipped in an iteration
    // The log-likelihood is read only by the stopping rule, from the tenth iteration on.
    bool needLikelihood = true;
    // Bounded: the likelihood comes from a running product, with a bound on how far it
    // can lie from the sum of logarithms (see LogProduct).
    bool boundedLikelihood = false;
    // No two transcripts share a tied group (the default tying).
    bool distinctGroups = false;
};

constexpr std::size_t kCacheLine = 64;

// Buffers that own whole cache lines: the sums of blocks computed on different threads
// are written for every fragment and must not share a line.
template <class T>
struct CacheLineAllocator {
    using value_type = T;

    CacheLineAllocator() noexcept = default;
    template <class U>
    CacheLineAllocator(const CacheLineAllocator<U>&) noexcept
    {
    }

    T* allocate(std::size_t n)
    {
        const std::size_t bytes = (n * sizeof(T) + kCacheLine - 1) / kCacheLine * kCacheLine;
        return static_cast<T*>(::operator new(bytes, std::align_val_t(kCacheLine)));
    }
    void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, std::align_val_t(kCacheLine)); }

    template <class U>
    bool operator==(const CacheLineAllocator<U>&) const noexcept
    {
        return true;
    }
};

template <class T>
using LineVector = std::vector<T, CacheLineAllocator<T>>;

// What one block of fragments adds to an iteration; blocks computed apart are merged by adding.
struct alignas(kCacheLine) EStepSums {
    LineVector<double> newAlphas;  // T
    LineVector<double> betasAccu;  // G x K
    LineVector<double> probGroup;  // G
    double logLikelihood = 0.0;
    // With a bounded likelihood: how far logLikelihood may lie from the exact sum.
    double likelihoodBound = 0.0;

    EStepSums(uint64_t T, uint64_t G, uint64_t K) : newAlphas(T, 0.0), betasAccu(G * K, 0.0), probGroup(G, 0.0) {}
};

// Per-fragment sums, kept zero between fragments so that nothing is allocated per fragment.
struct EStepScratch {
    LineVector<double> transProb;     // T
    LineVector<double> groupProb;     // G
    LineVector<double> hitBlockProb;  // G x K
    LineVector<uint64_t> touchedGroups;
    LineVector<char> groupTouched;
    // Per group, two rows of four values, for the three-component step.
    LineVector<double> groupRows;

    EStepScratch(uint64_t T, uint64_t G, uint64_t K)
        : transProb(T, 0.0), groupProb(G, 0.0), hitBlockProb(G * K, 0.0), touchedGroups(G), groupTouched(G, 0),
          groupRows(8 * G, 0.0)
    {
    }
};

// Adds what fragments [begin, end) contribute to an iteration to sums.
void runEStep(const EStepInput& in, bool trainBetas, uint64_t begin, uint64_t end, EStepScratch& scratch,
              EStepSums& sums);

// The number of blocks a large gene's E-step is summed in, at any thread count.
constexpr uint64_t kEStepBlocks = 48;

class BlockParallelEStep;
struct BlockParallelEStepDeleter {
    void operator()(BlockParallelEStep* eStep) const;
};
using BlockParallelEStepPtr = std::unique_ptr<BlockParallelEStep, BlockParallelEStepDeleter>;

// merged receives every iteration's sums; it is zero before each iteration.
// pool: the threads that compute the blocks; none, or one without workers: the caller.
BlockParallelEStepPtr startBlockParallelEStep(const EStepInput& input, bool trainBetas, uint64_t nrFragments,
                                              ThreadPool* pool, uint64_t T, uint64_t G, uint64_t K,
                                              EStepSums& merged);
// One E-step: every block computed, merged before this returns.
void runBlockParallelEStep(BlockParallelEStep& eStep);
