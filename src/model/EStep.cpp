#include "model/EStep.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>

#include "model/Lanes.h"
#include "model/LogProduct.h"
#include "model/ModelChecks.h"

namespace {

// The fragment step for fragments [begin, end). Only stored cells are visited; the
// skipped ones would add +0.0, so every sum sees the same additions in the same
// order as the sums over all transcripts and components.
// The arrays a fragment step reads and adds to. The helpers below are forced inline:
// called once a fragment, a call would cost about as much as their work.
struct EStepArrays {
    const double* cells;
    const uint32_t* firstEntry;
    const uint32_t* fragmentRow;
    const uint32_t* rowTranscripts;
    const double* alphas;
    const double* betas;
    const uint64_t* group;
    double* newAlphas;
    double* betasAccu;
    double* probGroup;

    EStepArrays(const EStepInput& in, EStepSums& sums)
        : cells(in.table->cells.data()), firstEntry(in.table->firstEntry.data()),
          fragmentRow(in.table->fragmentRow.data()), rowTranscripts(in.table->rowTranscripts.data()),
          alphas(in.alphas), betas(in.betas),
          group(in.transcriptGroup), newAlphas(sums.newAlphas.data()), betasAccu(sums.betasAccu.data()),
          probGroup(sums.probGroup.data())
    {
    }

    // Fragment h's entries: the first, how many, and their transcripts.
    struct Entries {
        uint64_t first;
        uint64_t count;
        const uint32_t* transcripts;
    };
    [[gnu::always_inline]] Entries entriesOf(uint64_t h) const
    {
        return {firstEntry[h], uint64_t{firstEntry[h + 1]} - firstEntry[h], rowTranscripts + fragmentRow[h]};
    }
};

// The likelihood of a block's fragments, in the form the stopping rule reads.
class BlockLikelihood {
public:
    explicit BlockLikelihood(const EStepInput& in)
        : exact(in.needLikelihood && !in.boundedLikelihood), bounded(in.needLikelihood && in.boundedLikelihood)
    {
    }
    [[gnu::always_inline]] void add(double p, EStepSums& sums)
    {
        if (exact)
            sums.logLikelihood += std::log(p);
        else if (bounded)
            product.add(p);
    }
    [[gnu::always_inline]] void finish(EStepSums& sums) const
    {
        if (bounded) {
            sums.logLikelihood += product.value();
            sums.likelihoodBound += product.bound();
        }
    }

private:
    bool exact;
    bool bounded;
    LogProduct product;
};

// Each entry's share of a fragment in the new alphas: (alpha x its probability) / p / N.
[[gnu::always_inline]] inline void addAlphaShares(const EStepArrays& a, const uint32_t* transcripts, uint64_t n,
                                                  const double* entryProb, double p, double nrFragments)
{
    const DoublePair byP = {p, p};
    const DoublePair byN = {nrFragments, nrFragments};
    uint64_t j = 0;
    for (; j + 2 <= n; j += 2) {
        const uint32_t t0 = transcripts[j];
        const uint32_t t1 = transcripts[j + 1];
        const DoublePair dividend = {a.alphas[t0] * entryProb[j], a.alphas[t1] * entryProb[j + 1]};
        const DoublePair quotient = (dividend / byP) / byN;
        a.newAlphas[t0] += quotient[0];
        a.newAlphas[t1] += quotient[1];
    }
    if (j < n) {
        const uint32_t t = transcripts[j];
        a.newAlphas[t] += ((a.alphas[t] * entryProb[j]) / p) / nrFragments;
    }
}

// A fragment's share of group g, whose probability in the fragment is groupP > 0 and
// whose components' sums of P x alpha are hit: the group's and each component's, over p.
template <uint64_t FixedK>
[[gnu::always_inline]] inline void addGroupShares(const EStepArrays& a, uint64_t K, uint64_t g, double groupP,
                                                  const double* hit, double p)
{
    const double* beta = a.betas + g * K;
    double* accu = a.betasAccu + g * K;
    if constexpr (FixedK == 3) {
        // One four-lane division where the code is built for AVX, two two-lane ones otherwise.
        const DoubleQuad byP = {p, p, p, p};
        const DoubleQuad quotient = DoubleQuad{groupP, beta[0] * hit[0], beta[1] * hit[1], beta[2] * hit[2]} / byP;
        a.probGroup[g] += quotient[0];
        accu[0] += quotient[1];
        accu[1] += quotient[2];
        accu[2] += quotient[3];
        return;
    }
    const DoublePair byP = {p, p};
    // The group sum shares its division with component 0, the rest go in pairs.
    const DoublePair first = DoublePair{groupP, beta[0] * hit[0]} / byP;
    a.probGroup[g] += first[0];
    accu[0] += first[1];
    uint64_t k = 1;
    for (; k + 2 <= K; k += 2) {
        const DoublePair quotient = DoublePair{beta[k] * hit[k], beta[k + 1] * hit[k + 1]} / byP;
        accu[k] += quotient[0];
        accu[k + 1] += quotient[1];
    }
    if (k < K)
        accu[k] += beta[k] * hit[k] / p;
}

template <bool TrainBetas, uint64_t FixedK>
void eStepBlock(const EStepInput& in, uint64_t begin, uint64_t end, EStepScratch& scratch, EStepSums& sums)
{
    // A component count known at compile time lets the per-cell loops unroll.
    const uint64_t K = FixedK != 0 ? FixedK : in.table->nrComponents;
    const EStepArrays a(in, sums);
    // By the entry's place in its fragment: a fragment has at most T entries.
    double* entryProb = scratch.transProb.data();
    double* groupProb = scratch.groupProb.data();
    double* hitBlockProb = scratch.hitBlockProb.data();
    uint64_t* touched = scratch.touchedGroups.data();
    char* isTouched = scratch.groupTouched.data();
    BlockLikelihood likelihood(in);

    for (uint64_t h = begin; h < end; ++h) {
        const auto [e0, n, transcripts] = a.entriesOf(h);
        uint64_t nrTouched = 0;
        double p = 0.0;
        for (uint64_t j = 0; j < n; ++j) {
            const uint32_t t = transcripts[j];
            const uint64_t g = a.group[t];
            const double alpha = a.alphas[t];
            const double* P = a.cells + (e0 + j) * K;
            const double* beta = a.betas + g * K;
            double tp = 0.0;
            if constexpr (TrainBetas) {
                double* hit = hitBlockProb + g * K;
                double gp = groupProb[g];
                #pragma GCC unroll 8
                for (uint64_t k = 0; k < K; ++k) {
                    const double x = beta[k] * P[k];
                    tp += x;
                    p += x * alpha;
                    hit[k] += P[k] * alpha;
                    gp += x * alpha;
                }
                groupProb[g] = gp;
                if (!isTouched[g]) {
                    isTouched[g] = 1;
                    touched[nrTouched++] = g;
                }
            } else {
                #pragma GCC unroll 8
                for (uint64_t k = 0; k < K; ++k) {
                    const double x = beta[k] * P[k];
                    tp += x;
                    p += x * alpha;
                }
            }
            entryProb[j] = tp;
        }

        const bool counted = p > DBL_MIN;
        if (counted) {
            likelihood.add(p, sums);
            addAlphaShares(a, transcripts, n, entryProb, p, in.nrFragments);
        }
        if constexpr (TrainBetas) {
            for (uint64_t j = 0; j < nrTouched; ++j) {
                const uint64_t g = touched[j];
                double* hit = hitBlockProb + g * K;
                if (counted && groupProb[g] > DBL_MIN)
                    addGroupShares<FixedK>(a, K, g, groupProb[g], hit, p);
                #pragma GCC unroll 8
                for (uint64_t k = 0; k < K; ++k)
                    hit[k] = 0.0;
                groupProb[g] = 0.0;
                isTouched[g] = 0;
            }
        }
    }
    likelihood.finish(sums);
}

// The first pass over a fragment's entries: its p, and by entry its transcript's sum and
// its group's; with hits, the group's component sums too. Betas are read in rows of
// betaStride values.
template <uint64_t FixedK, bool KeepHits>
[[gnu::always_inline]] inline double sumFragmentEntries(const EStepArrays& a, uint64_t K, uint64_t e0, uint64_t n,
                                                        const uint32_t* transcripts, const double* betas,
                                                        uint64_t betaStride, double* entryProb,
                                                        double* entryGroupProb, double* entryHit)
{
    double p = 0.0;
    for (uint64_t j = 0; j < n; ++j) {
        const uint32_t t = transcripts[j];
        const double alpha = a.alphas[t];
        const double* P = a.cells + (e0 + j) * K;
        const double* beta = betas + a.group[t] * betaStride;
        double tp = 0.0;
        double gp = 0.0;
        #pragma GCC unroll 8
        for (uint64_t k = 0; k < K; ++k) {
            const double x = beta[k] * P[k];
            tp += x;
            p += x * alpha;
            if constexpr (KeepHits)
                entryHit[j * K + k] = 0.0 + P[k] * alpha;
            gp += x * alpha;
        }
        entryGroupProb[j] = gp;
        entryProb[j] = tp;
    }
    return p;
}

// eStepBlock with betas trained when no two transcripts share a group: the entries of a
// fragment then touch distinct groups, so each entry's group sums have a slot of their
// own, by its place in the fragment, and nothing is looked up by group or cleared
// afterwards. Every sum sees the same operations in the same order as in eStepBlock.
template <uint64_t FixedK>
[[gnu::always_inline]] inline void eStepBlockDistinctGroups(const EStepInput& in, uint64_t begin, uint64_t end,
                                                            EStepScratch& scratch, EStepSums& sums)
{
    const uint64_t K = FixedK != 0 ? FixedK : in.table->nrComponents;
    const EStepArrays a(in, sums);
    // A fragment has at most T entries, and here G >= T.
    double* entryProb = scratch.transProb.data();
    double* entryGroupProb = scratch.groupProb.data();
    double* entryHit = scratch.hitBlockProb.data();
    BlockLikelihood likelihood(in);

    for (uint64_t h = begin; h < end; ++h) {
        const auto [e0, n, transcripts] = a.entriesOf(h);
        const double p =
            sumFragmentEntries<FixedK, true>(a, K, e0, n, transcripts, a.betas, K, entryProb, entryGroupProb, entryHit);
        if (p <= DBL_MIN)
            continue;

        likelihood.add(p, sums);
        addAlphaShares(a, transcripts, n, entryProb, p, in.nrFragments);
        for (uint64_t j = 0; j < n; ++j) {
            if (entryGroupProb[j] > DBL_MIN)
                addGroupShares<FixedK>(a, K, a.group[transcripts[j]], entryGroupProb[j], entryHit + j * K, p);
        }
    }
    likelihood.finish(sums);
}

// eStepBlockDistinctGroups for three components, with fewer operations a cell: a
// fragment's group shares are formed from the cells again instead of kept from the first
// pass over them, four lanes at a time (the three components and the group), and the sums
// of a group lie side by side, so that one addition of four lanes takes them all. The
// fourth lane of a cell row is the next row's first value (or the zero past the last);
// its beta is zero and the group's share takes its place. Each lane sees the operations
// of eStepBlockDistinctGroups in the same order.
[[gnu::always_inline]] inline void eStepBlockThreeComponents(const EStepInput& in, uint64_t begin, uint64_t end,
                                                             EStepScratch& scratch, EStepSums& sums)
{
    constexpr uint64_t K = 3;
    check(in.table->cells.size() > uint64_t{in.table->firstEntry.back()} * K, "a value past the last cell row");
    const EStepArrays a(in, sums);
    const uint64_t G = sums.probGroup.size();
    // Per group, four values: the betas and a zero, then the sums of the components and the group's.
    double* betaRows = scratch.groupRows.data();
    double* groupSums = betaRows + 4 * G;
    for (uint64_t g = 0; g < G; ++g) {
        for (uint64_t k = 0; k < K; ++k) {
            betaRows[4 * g + k] = a.betas[g * K + k];
            groupSums[4 * g + k] = a.betasAccu[g * K + k];
        }
        betaRows[4 * g + K] = 0.0;
        groupSums[4 * g + K] = a.probGroup[g];
    }
    double* entryProb = scratch.transProb.data();
    double* entryGroupProb = scratch.groupProb.data();
    BlockLikelihood likelihood(in);

    for (uint64_t h = begin; h < end; ++h) {
        const auto [e0, n, transcripts] = a.entriesOf(h);
        const double p = sumFragmentEntries<K, false>(a, K, e0, n, transcripts, betaRows, 4, entryProb, entryGroupProb,
                                                      nullptr);
        if (p <= DBL_MIN)
            continue;

        likelihood.add(p, sums);
        addAlphaShares(a, transcripts, n, entryProb, p, in.nrFragments);
        const DoubleQuad byP = {p, p, p, p};
        const DoubleQuad zero = {0.0, 0.0, 0.0, 0.0};
        for (uint64_t j = 0; j < n; ++j) {
            const double gp = entryGroupProb[j];
            if (!(gp > DBL_MIN))
                continue;
            const uint32_t t = transcripts[j];
            const uint64_t g = a.group[t];
            const double alpha = a.alphas[t];
            DoubleQuad cells;
            DoubleQuad beta;
            DoubleQuad sum;
            std::memcpy(&cells, a.cells + (e0 + j) * K, sizeof cells);
            std::memcpy(&beta, betaRows + 4 * g, sizeof beta);
            std::memcpy(&sum, groupSums + 4 * g, sizeof sum);
            DoubleQuad dividend = beta * (zero + cells * DoubleQuad{alpha, alpha, alpha, alpha});
            dividend[K] = gp;
            sum += dividend / byP;
            std::memcpy(groupSums + 4 * g, &sum, sizeof sum);
        }
    }
    likelihood.finish(sums);
    for (uint64_t g = 0; g < G; ++g) {
        for (uint64_t k = 0; k < K; ++k)
            a.betasAccu[g * K + k] = groupSums[4 * g + k];
        a.probGroup[g] = groupSums[4 * g + K];
    }
}

// The default model's step built for AVX as well: the divider is what bounds it, and an
// AVX division takes four lanes in about the time of two. Each lane is still one IEEE
// division (and nothing is fused), so every quotient is the same.
__attribute__((target("avx"))) void eStepBlockDistinctGroups3Avx(const EStepInput& in, uint64_t begin, uint64_t end,
                                                                EStepScratch& scratch, EStepSums& sums)
{
    eStepBlockThreeComponents(in, begin, end, scratch, sums);
}

void eStepBlockDistinctGroups3(const EStepInput& in, uint64_t begin, uint64_t end, EStepScratch& scratch,
                               EStepSums& sums)
{
    static const bool avx = __builtin_cpu_supports("avx");
    if (avx)
        eStepBlockDistinctGroups3Avx(in, begin, end, scratch, sums);
    else
        eStepBlockThreeComponents(in, begin, end, scratch, sums);
}

template <bool TrainBetas>
void eStepBlockAnyK(const EStepInput& in, uint64_t begin, uint64_t end, EStepScratch& scratch, EStepSums& sums)
{
    if (TrainBetas && in.distinctGroups) {
        switch (in.table->nrComponents) {
        case 1: eStepBlockDistinctGroups<1>(in, begin, end, scratch, sums); return;
        case 2: eStepBlockDistinctGroups<2>(in, begin, end, scratch, sums); return;
        case 3: eStepBlockDistinctGroups3(in, begin, end, scratch, sums); return;
        case 4: eStepBlockDistinctGroups<4>(in, begin, end, scratch, sums); return;
        case 5: eStepBlockDistinctGroups<5>(in, begin, end, scratch, sums); return;
        default: eStepBlockDistinctGroups<0>(in, begin, end, scratch, sums); return;
        }
    }
    switch (in.table->nrComponents) {
    case 1: eStepBlock<TrainBetas, 1>(in, begin, end, scratch, sums); break;
    case 2: eStepBlock<TrainBetas, 2>(in, begin, end, scratch, sums); break;
    case 3: eStepBlock<TrainBetas, 3>(in, begin, end, scratch, sums); break;
    case 4: eStepBlock<TrainBetas, 4>(in, begin, end, scratch, sums); break;
    case 5: eStepBlock<TrainBetas, 5>(in, begin, end, scratch, sums); break;
    default: eStepBlock<TrainBetas, 0>(in, begin, end, scratch, sums); break;
    }
}

} // namespace

void runEStep(const EStepInput& in, bool trainBetas, uint64_t begin, uint64_t end, EStepScratch& scratch,
              EStepSums& sums)
{
    if (trainBetas)
        eStepBlockAnyK<true>(in, begin, end, scratch, sums);
    else
        eStepBlockAnyK<false>(in, begin, end, scratch, sums);
}

// ---------------------------------------------------------------------------
// Block-parallel E-step of the deferred large genes

// The E-step of a gene at or above the fragments threshold: a fixed number of blocks of
// fragments, each summed on its own, merged in block order. The sums are then the same
// whether one thread computes the blocks or several, whichever finishes first.
class BlockParallelEStep {
public:
    // merged receives every iteration's sums; it is zero before each iteration.
    BlockParallelEStep(const EStepInput& input, bool trainBetas, uint64_t nrFragments, ThreadPool* pool,
                       uint64_t T, uint64_t G, uint64_t K, EStepSums& merged)
        : input(input), trainBetas(trainBetas), merged(merged), pool(pool),
          // Made once: handing it to the pool in every iteration allocates nothing.
          body([this](std::size_t block, unsigned) { computeBlock(block); })
    {
        blocks.reserve(kEStepBlocks);
        for (uint64_t i = 0; i < kEStepBlocks; ++i)
            blocks.emplace_back(fragmentBlock(nrFragments, kEStepBlocks, i), T, G, K);
    }

    // One E-step: every block computed, merged into `merged` before this returns.
    void run()
    {
        if (pool != nullptr && pool->workers() > 0)
            pool->forEach(kEStepBlocks, body);
        else
            for (std::size_t i = 0; i < blocks.size(); ++i)
                computeBlock(i);
        for (Block& block : blocks)
            sumResults(block.sums);
    }

private:
    struct Block {
        FragmentBlock range;
        EStepScratch scratch;
        EStepSums sums;

        Block(FragmentBlock range, uint64_t T, uint64_t G, uint64_t K) : range(range), scratch(T, G, K), sums(T, G, K)
        {
        }
    };

    void computeBlock(std::size_t index)
    {
        Block& block = blocks[index];
        runEStep(input, trainBetas, block.range.begin, block.range.end, block.scratch, block.sums);
    }

    void sumResults(EStepSums& sums)
    {
        for (std::size_t i = 0; i < sums.betasAccu.size(); ++i) {
            merged.betasAccu[i] += sums.betasAccu[i];
            sums.betasAccu[i] = 0.0;
        }
        for (std::size_t g = 0; g < sums.probGroup.size(); ++g) {
            merged.probGroup[g] += sums.probGroup[g];
            sums.probGroup[g] = 0.0;
        }
        for (std::size_t t = 0; t < sums.newAlphas.size(); ++t) {
            merged.newAlphas[t] += sums.newAlphas[t];
            sums.newAlphas[t] = 0.0;
        }
        merged.logLikelihood += sums.logLikelihood;
        sums.logLikelihood = 0.0;
        merged.likelihoodBound += sums.likelihoodBound;
        sums.likelihoodBound = 0.0;
    }

    const EStepInput& input;
    const bool trainBetas;
    EStepSums& merged;
    ThreadPool* pool;
    const ThreadPool::Body body;
    std::vector<Block> blocks;
};

void BlockParallelEStepDeleter::operator()(BlockParallelEStep* eStep) const
{
    delete eStep;
}

BlockParallelEStepPtr startBlockParallelEStep(const EStepInput& input, bool trainBetas, uint64_t nrFragments,
                                              ThreadPool* pool, uint64_t T, uint64_t G, uint64_t K,
                                              EStepSums& merged)
{
    return BlockParallelEStepPtr(new BlockParallelEStep(input, trainBetas, nrFragments, pool, T, G, K, merged));
}

void runBlockParallelEStep(BlockParallelEStep& eStep)
{
    eStep.run();
}

FragmentBlock fragmentBlock(uint64_t nrFragments, uint64_t nrBlocks, uint64_t blockIndex)
{
    const uint64_t blockSize = nrFragments / nrBlocks;
    const uint64_t begin = blockIndex * blockSize;
    const uint64_t extra = blockIndex + 1 == nrBlocks ? nrFragments % nrBlocks : 0;
    return {begin, begin + blockSize + extra};
}
