#include "model/Training.h"

#include "util/Files.h"
#include "model/LogProduct.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <numbers>
#include <stdexcept>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/thread/thread.hpp>

#include "util/Errors.h"
#include "util/Prefault.h"

namespace {

// sqrt(2 pi) as one decimal constant so that every normal density of the model agrees bit for bit.
constexpr double kSqrtTwoPi = 2.5066282746310002;
// 1 / DBL_MIN: stands in for a division by the smallest normal double.
constexpr double kInverseSmallestNormal = 4.49423283715579e307;
constexpr double kFragLengthMean = 200.0;
constexpr double kFragLengthSd = 80.0;
constexpr double kNormLengthFragMean = 100.0;
constexpr double kNormLengthFragSd = 40.0;
constexpr int kNormLengthFragCount = 1000;
// Mass of the normal(100, 40) density on the lengths 1 .. 1000.
constexpr double kNormLengthFragMass = 0.99368021221827;
constexpr int kL1Digits = 8;
// The first iteration whose log-likelihood is compared with the one before it.
constexpr int16_t kFirstLikelihoodTest = 10;

// Broken model preconditions are programming errors; release builds keep the check.
[[noreturn]] void failCheck(const char* condition)
{
    std::cout.flush();
    std::fflush(stdout);
    std::fprintf(stderr, "kestrove: internal check failed: %s\n", condition);
    std::fflush(stderr);
    std::_Exit(1);
}

void check(bool holds, const char* condition)
{
    if (!holds)
        failCheck(condition);
}

double sumInOrder(const std::vector<double>& values)
{
    double sum = 0.0;
    for (double v : values)
        sum += v;
    return sum;
}

bool sumsToOne(const std::vector<double>& weights)
{
    return std::fabs(sumInOrder(weights) - 1.0) < 1e-10;
}

bool allPositive(const std::vector<double>& values)
{
    return !values.empty() && std::all_of(values.begin(), values.end(), [](double v) { return v > 0.0; });
}

void divideBySum(std::vector<double>& values)
{
    const double sum = sumInOrder(values);
    for (double& v : values)
        v /= sum;
}

std::mutex betasFileMutex;

// ---------------------------------------------------------------------------
// Training tables

// Densities of the compatible (fragment, transcript) pairs only: an incompatible
// pair has P = 0 for every component and adds exact zeros to every EM sum.
// Entries are stored in fragment order, transcripts ascending within a fragment.
struct FragmentTable {
    uint64_t nrComponents = 0;
    std::vector<uint32_t> firstEntry;       // N + 1 offsets
    std::vector<uint32_t> entryTranscript;  // one per entry
    FlatArray<double> cells;                // P(h, t, k) at entry * K + k
};

// Scaled component means and deviations of dimension 0, row t holds K values.
struct ScaledComponents {
    std::vector<double> means;
    std::vector<double> devs;
};

// The fragments' entry index moves into the table; their coordinates are released once used.
// N(j; 200, 80) and its running sums from j = 0 on, in order.
struct LengthDensities {
    std::vector<double> pdf{0.0};
    std::vector<double> prefix{0.0};

    void extend(int32_t last)
    {
        pdf.reserve(static_cast<std::size_t>(last) + 1);
        prefix.reserve(static_cast<std::size_t>(last) + 1);
        for (auto j = static_cast<int32_t>(pdf.size()); j <= last; ++j) {
            pdf.push_back(normpdf(kFragLengthSd, j, kFragLengthMean));
            prefix.push_back(prefix.back() + pdf.back());
        }
    }
};

constexpr int32_t kSharedLengths = 8192;

const LengthDensities& sharedLengthDensities()
{
    static const LengthDensities shared = [] {
        LengthDensities densities;
        densities.extend(kSharedLengths);
        return densities;
    }();
    return shared;
}

// Divisions dominate the fragment step and the start densities; they go several lanes
// at a time, each lane an IEEE division, so every quotient equals its scalar counterpart.
using DoublePair = double __attribute__((vector_size(16)));
using DoubleQuad = double __attribute__((vector_size(32)));

// N(i; mu, sigma) for i = 1 .. length, kept when kept is given, and their sum in order.
// Four positions share each division, lane by lane the operations of normpdf; the
// exponentials stay scalar, as normpdf's.
double startDensities(double sigma, double mu, int32_t length, double* kept)
{
    const DoubleQuad bySigma = {sigma, sigma, sigma, sigma};
    const double scale = kSqrtTwoPi * sigma;
    const DoubleQuad byScale = {scale, scale, scale, scale};
    double z = 0.0;
    int32_t i = 1;
    for (; i + 3 <= length; i += 4) {
        const auto x = static_cast<double>(i);
        const DoubleQuad w = (DoubleQuad{x, x + 1.0, x + 2.0, x + 3.0} - DoubleQuad{mu, mu, mu, mu}) / bySigma;
        const DoubleQuad d = DoubleQuad{std::exp(-w[0] * w[0] * 0.5), std::exp(-w[1] * w[1] * 0.5),
                                        std::exp(-w[2] * w[2] * 0.5), std::exp(-w[3] * w[3] * 0.5)}
            / byScale;
        for (int lane = 0; lane < 4; ++lane) {
            z += d[lane];
            if (kept != nullptr)
                kept[i - 1 + lane] = d[lane];
        }
    }
    for (; i <= length; ++i) {
        const double d = normpdf(sigma, i, mu);
        z += d;
        if (kept != nullptr)
            kept[i - 1] = d;
    }
    return z;
}

FragmentTable buildFragmentTable(CompatibleFragments& fragments, const Gene& gene, uint64_t nrTranscripts,
                                 uint64_t nrComponents, const ScaledComponents& scaled)
{
    const uint64_t T = nrTranscripts;
    const uint64_t K = nrComponents;
    const uint64_t N = fragments.size();

    int32_t maxLength = 0;
    for (uint64_t t = 0; t < T; ++t)
        maxLength = std::max(maxLength, gene.transcripts[t].length);

    // Running sums of N(j; 200, 80), j = 1 .. m, one for all transcripts, and the
    // densities themselves: a fragment's length is one of these j nearly always. The
    // shorter lengths are the same for every gene; a longer transcript continues them.
    const LengthDensities& shared = sharedLengthDensities();
    LengthDensities longer;
    if (maxLength > kSharedLengths) {
        longer = shared;
        longer.extend(maxLength);
    }
    const double* lengthPdf = maxLength > kSharedLengths ? longer.pdf.data() : shared.pdf.data();
    const double* lengthNormPrefix = maxLength > kSharedLengths ? longer.prefix.data() : shared.prefix.data();

    const uint64_t nrEntries = fragments.firstEntry[N];
    check(T <= std::numeric_limits<uint32_t>::max(), "transcript indices fit in 32 bits");

    FragmentTable table;
    table.nrComponents = K;
    if (nrEntries > std::numeric_limits<uint64_t>::max() / sizeof(double) / K)
        throw std::bad_alloc();
    // Mapped a stretch at a time as it is filled, below.
    table.cells.resize(nrEntries * K);
    double* cells = table.cells.data();

    // The start density of a component is needed at every position of the transcript
    // for its normaliser anyway; kept, it serves every entry at that position without
    // a further exp. Kept for as many transcripts as fit in a quarter of the table's
    // room (at least 64 Ki values), which the table's own peak bounds: a gene of many
    // long isoforms would otherwise hold nearly a second table. The others compute
    // theirs per entry, an exp a cell once per gene.
    const uint64_t keptRoom = std::max<uint64_t>(nrEntries * K / 4, uint64_t{1} << 16);
    std::vector<uint64_t> keptAt(T, std::numeric_limits<uint64_t>::max());
    std::vector<double> startDensity;
    std::vector<double> startNorm(T * K);
    // A transcript without a compatible fragment needs no normaliser.
    std::vector<char> used(T, 0);
    for (uint64_t e = 0; e < nrEntries; ++e)
        used[fragments.entryTranscript[e]] = 1;
    for (uint64_t t = 0; t < T; ++t) {
        if (!used[t])
            continue;
        const int32_t length = gene.transcripts[t].length;
        const uint64_t positions = static_cast<uint64_t>(std::max<int32_t>(length, 0));
        const bool keep = startDensity.size() + positions * K <= keptRoom;
        if (keep) {
            keptAt[t] = startDensity.size();
            startDensity.resize(startDensity.size() + positions * K);
        }
        for (uint64_t k = 0; k < K; ++k)
            startNorm[t * K + k] = startDensities(scaled.devs[t * K + k], scaled.means[t * K + k], length,
                                                  keep ? startDensity.data() + keptAt[t] + k * positions : nullptr);
    }

    // From the last fragment back: the coordinates past a fragment are given back as
    // the cells before it are mapped, so that a large locus never holds both whole.
    constexpr uint64_t kStretch = uint64_t{1} << 14;
    uint64_t mappedFrom = nrEntries;
    for (uint64_t h = N; h-- > 0;) {
        const bool paired = fragments.paired[h] != 0;
        if (fragments.firstEntry[h] < mappedFrom) {
            fragments.entryStart.shrinkTo(fragments.firstEntry[h + 1]);
            fragments.entryLength.shrinkTo(fragments.firstEntry[h + 1]);
            const uint64_t from =
                std::min<uint64_t>(fragments.firstEntry[h], mappedFrom > kStretch ? mappedFrom - kStretch : 0);
            prefaultForWrite(cells + from * K, (mappedFrom - from) * K * sizeof(double));
            mappedFrom = from;
        }
        for (uint64_t e = fragments.firstEntry[h]; e < fragments.firstEntry[h + 1]; ++e) {
            const uint32_t t = fragments.entryTranscript[e];
            const int32_t x = fragments.entryStart[e];
            const int32_t length = gene.transcripts[t].length;
            double lengthDensity = 1.0;
            if (paired) {
                const int32_t fragLength = fragments.entryLength[e];
                lengthDensity = fragLength >= 1 && fragLength <= maxLength
                    ? lengthPdf[fragLength]
                    : normpdf(kFragLengthSd, fragLength, kFragLengthMean);
                const int64_t remaining = static_cast<int64_t>(length) - x;
                if (remaining != 0) {
                    // Only L_t normalisers exist; a start outside the transcript sums fewer.
                    const int64_t count = std::clamp<int64_t>(remaining, 0, std::max<int32_t>(length, 0));
                    const double sum = lengthNormPrefix[count];
                    if (sum >= DBL_MIN)
                        lengthDensity /= sum;
                }
            }
            const bool kept = keptAt[t] != std::numeric_limits<uint64_t>::max() && x >= 1 && x <= length;
            const uint64_t positions = static_cast<uint64_t>(std::max<int32_t>(length, 0));
            for (uint64_t k = 0; k < K; ++k) {
                const double z = startNorm[t * K + k];
                double start = kept ? startDensity[keptAt[t] + k * positions + static_cast<uint64_t>(x - 1)]
                                    : normpdf(scaled.devs[t * K + k], x, scaled.means[t * K + k]);
                // A component that underflows on every position of the transcript has no
                // density there; dividing would turn the whole gene into NaN.
                start = (z > 0.0 && std::isfinite(z)) ? start / z : 0.0;
                cells[e * K + k] = paired ? start * lengthDensity : start;
            }
        }
    }
    table.firstEntry = std::move(fragments.firstEntry);
    table.entryTranscript = std::move(fragments.entryTranscript);
    fragments.entryStart.release();
    fragments.entryLength.release();
    return table;
}

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

    EStepScratch(uint64_t T, uint64_t G, uint64_t K)
        : transProb(T, 0.0), groupProb(G, 0.0), hitBlockProb(G * K, 0.0), touchedGroups(G), groupTouched(G, 0)
    {
    }
};


// The fragment step for fragments [begin, end). Only stored cells are visited; the
// skipped ones would add +0.0, so every sum sees the same additions in the same
// order as the sums over all transcripts and components.
// The arrays a fragment step reads and adds to. The helpers below are forced inline:
// called once a fragment, a call would cost about as much as their work.
struct EStepArrays {
    const double* cells;
    const uint32_t* firstEntry;
    const uint32_t* entryTranscript;
    const double* alphas;
    const double* betas;
    const uint64_t* group;
    double* newAlphas;
    double* betasAccu;
    double* probGroup;

    EStepArrays(const EStepInput& in, EStepSums& sums)
        : cells(in.table->cells.data()), firstEntry(in.table->firstEntry.data()),
          entryTranscript(in.table->entryTranscript.data()), alphas(in.alphas), betas(in.betas),
          group(in.transcriptGroup), newAlphas(sums.newAlphas.data()), betasAccu(sums.betasAccu.data()),
          probGroup(sums.probGroup.data())
    {
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
        const uint64_t e0 = a.firstEntry[h];
        const uint64_t n = a.firstEntry[h + 1] - e0;
        const uint32_t* transcripts = a.entryTranscript + e0;
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
        const uint64_t e0 = a.firstEntry[h];
        const uint64_t n = a.firstEntry[h + 1] - e0;
        const uint32_t* transcripts = a.entryTranscript + e0;
        double p = 0.0;
        for (uint64_t j = 0; j < n; ++j) {
            const uint32_t t = transcripts[j];
            const double alpha = a.alphas[t];
            const double* P = a.cells + (e0 + j) * K;
            const double* beta = a.betas + a.group[t] * K;
            double* hit = entryHit + j * K;
            double tp = 0.0;
            double gp = 0.0;
            #pragma GCC unroll 8
            for (uint64_t k = 0; k < K; ++k) {
                const double x = beta[k] * P[k];
                tp += x;
                p += x * alpha;
                hit[k] = 0.0 + P[k] * alpha;
                gp += x * alpha;
            }
            entryGroupProb[j] = gp;
            entryProb[j] = tp;
        }
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

// The default model's step built for AVX as well: the divider is what bounds it, and an
// AVX division takes four lanes in about the time of two. Each lane is still one IEEE
// division (and nothing is fused), so every quotient is the same.
__attribute__((target("avx"))) void eStepBlockDistinctGroups3Avx(const EStepInput& in, uint64_t begin, uint64_t end,
                                                                EStepScratch& scratch, EStepSums& sums)
{
    eStepBlockDistinctGroups<3>(in, begin, end, scratch, sums);
}

void eStepBlockDistinctGroups3(const EStepInput& in, uint64_t begin, uint64_t end, EStepScratch& scratch,
                               EStepSums& sums)
{
    static const bool avx = __builtin_cpu_supports("avx");
    if (avx)
        eStepBlockDistinctGroups3Avx(in, begin, end, scratch, sums);
    else
        eStepBlockDistinctGroups<3>(in, begin, end, scratch, sums);
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

// Room for the one task a block has queued at a time, so that posting a block's task
// in every iteration allocates nothing.
struct alignas(std::max_align_t) TaskSlot {
    static constexpr std::size_t kBytes = 128;
    unsigned char bytes[kBytes];
};

template <class T>
struct TaskSlotAllocator {
    using value_type = T;

    explicit TaskSlotAllocator(TaskSlot* slot) noexcept : slot(slot) {}
    template <class U>
    TaskSlotAllocator(const TaskSlotAllocator<U>& other) noexcept : slot(other.slot)
    {
    }

    T* allocate(std::size_t n)
    {
        static_assert(sizeof(T) <= TaskSlot::kBytes && alignof(T) <= alignof(TaskSlot), "a queued task fits its slot");
        check(n == 1, "one queued task per block");
        return reinterpret_cast<T*>(slot->bytes);
    }
    // The queue releases a task's storage before running it, so the slot is free again
    // by the time the block's next task is posted.
    void deallocate(T*, std::size_t) noexcept {}

    template <class U>
    bool operator==(const TaskSlotAllocator<U>& other) const noexcept
    {
        return slot == other.slot;
    }

    TaskSlot* slot;
};

// A private pool for the length of one train call: its threads stay in the queue's run
// loop between iterations and are joined when the pool goes away.
class BlockPool {
public:
    explicit BlockPool(unsigned nrThreads) : guard(boost::asio::make_work_guard(service))
    {
        try {
            for (unsigned i = 0; i < nrThreads; ++i)
                threads.create_thread([this] { service.run(); });
        } catch (...) {
            shutDown();
            throw;
        }
    }
    ~BlockPool() { shutDown(); }
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    template <class Task>
    void post(Task task)
    {
        service.post(std::move(task));
    }

private:
    void shutDown()
    {
        guard.reset();
        threads.join_all();
        service.stop();
    }

    boost::asio::io_service service;
    boost::asio::executor_work_guard<boost::asio::io_service::executor_type> guard;
    boost::thread_group threads;
};

// The E-step of a gene at or above the fragments threshold: a fixed number of blocks of
// fragments, each summed on its own, merged in block order. The sums are then the same
// whether one thread computes the blocks or several, whichever finishes first.
constexpr uint64_t kEStepBlocks = 48;

class BlockParallelEStep {
public:
    // merged receives every iteration's sums; it is zero before each iteration.
    BlockParallelEStep(const EStepInput& input, bool trainBetas, uint64_t nrFragments, uint16_t nrThreads,
                       uint64_t T, uint64_t G, uint64_t K, EStepSums& merged)
        : input(input), trainBetas(trainBetas), merged(merged), slots(kEStepBlocks)
    {
        blocks.reserve(kEStepBlocks);
        for (uint64_t i = 0; i < kEStepBlocks; ++i)
            blocks.emplace_back(fragmentBlock(nrFragments, kEStepBlocks, i), T, G, K);
        if (nrThreads > 1)
            pool = std::make_unique<BlockPool>(nrThreads);
    }

    // One E-step: every block computed, merged into `merged` before this returns.
    void run()
    {
        if (pool) {
            {
                std::lock_guard<std::mutex> lock(mutThread);
                pending = kEStepBlocks;
            }
            for (uint64_t i = 0; i < kEStepBlocks; ++i)
                pool->post(BlockTask{this, i});
            std::unique_lock<std::mutex> lock(mutThread);
            condThreads.wait(lock, [this] { return pending == 0; });
        } else {
            for (Block& block : blocks)
                runEStep(input, trainBetas, block.range.begin, block.range.end, block.scratch, block.sums);
        }
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

    struct BlockTask {
        BlockParallelEStep* state;
        uint64_t blockIndex;

        using allocator_type = TaskSlotAllocator<void>;
        allocator_type get_allocator() const noexcept { return allocator_type(&state->slots[blockIndex]); }
        void operator()() const { state->calculatePDF(blockIndex); }
    };

    void calculatePDF(uint64_t blockIndex)
    {
        Block& block = blocks[blockIndex];
        runEStep(input, trainBetas, block.range.begin, block.range.end, block.scratch, block.sums);
        // Cleared under the mutex the training thread tests it with: the wake-up cannot be lost.
        std::lock_guard<std::mutex> done(mutThread);
        if (--pending == 0)
            condThreads.notify_all();
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
    std::vector<Block> blocks;
    std::vector<TaskSlot> slots;

    std::mutex mutThread;
    std::condition_variable condThreads;
    uint64_t pending = 0;

    // Declared last: its threads are joined before the state they work on goes away.
    std::unique_ptr<BlockPool> pool;
};

// ---------------------------------------------------------------------------
// L1 trace against the reference densities

class L1Trace {
public:
    L1Trace(const std::string& path, const std::vector<std::vector<double>>& references, const Gene& gene,
            const std::vector<uint64_t>& transcriptGroup, uint64_t nrGroups, uint64_t nrComponents,
            const ScaledComponents& scaled, int16_t nrIterations)
        : out(path), references(references), transcriptGroup(transcriptGroup), nrGroups(nrGroups),
          nrComponents(nrComponents), scaled(scaled), groupStrings(nrGroups), distances(transcriptGroup.size())
    {
        const uint64_t T = transcriptGroup.size();
        computed.resize(T);
        for (uint64_t t = 0; t < T; ++t) {
            lengths.push_back(std::max<int32_t>(gene.transcripts[t].length, 0));
            computed[t].assign(static_cast<size_t>(lengths[t]), 0.0);
        }
        const size_t expectedLength = (static_cast<size_t>(std::max<int16_t>(nrIterations, 0)) + 1) * (kL1Digits + 8);
        geneString.reserve(expectedLength);
        for (std::string& s : groupStrings)
            s.reserve(expectedLength);

        out << "# name: " << "correct_pdfs\n# type: cell\n# rows: 1" << "\n# columns: " << T;
        for (uint64_t t = 0; t < T; ++t) {
            out << "\n# name: <cell-element>\n# type: matrix\n# rows: 1\n# columns: " << lengths[t] << "\n";
            for (double v : references[t])
                out << v << ' ';
        }
    }

    void record(const std::vector<double>& alphas, const std::vector<double>& betas)
    {
        const uint64_t T = transcriptGroup.size();
        const uint64_t K = nrComponents;
        for (uint64_t t = 0; t < T; ++t) {
            const uint64_t g = transcriptGroup[t];
            std::vector<double>& c = computed[t];
            for (int32_t x = 1; x <= lengths[t]; ++x) {
                double density = 0.0;
                for (uint64_t k = 0; k < K; ++k)
                    density += normpdf(scaled.devs[t * K + k], x, scaled.means[t * K + k]) * betas[g * K + k];
                c[x - 1] = density;
            }
            double dist = 0.0;
            const std::vector<double>& ref = references[t];
            for (int32_t x = 0; x < lengths[t] && x < static_cast<int64_t>(ref.size()); ++x)
                dist += std::fabs(c[x] - ref[x]);
            distances[t] = lengths[t] == 0 ? 0.0 : alphas[t] * dist;
        }
        double geneValue = 0.0;
        for (uint64_t t = 0; t < T; ++t)
            geneValue += distances[t];
        append(geneString, geneValue);
        for (uint64_t g = 0; g < nrGroups; ++g) {
            double groupValue = 0.0;
            for (uint64_t t = 0; t < T; ++t)
                if (transcriptGroup[t] == g)
                    groupValue += distances[t];
            append(groupStrings[g], groupValue);
        }
        ++nrValues;
    }

    void writeFinalDensities()
    {
        const uint64_t T = transcriptGroup.size();
        out << "\n# name: " << "calc_pdfs\n# type: cell\n# rows: 1" << "\n# columns: " << T;
        for (uint64_t t = 0; t < T; ++t) {
            out << "\n# name: <cell-element>\n# type: matrix\n# rows: 1\n# columns: " << lengths[t] << "\n";
            for (double v : computed[t])
                out << v << ' ';
        }
    }

    void close(const std::vector<double>& alphas)
    {
        const uint64_t T = transcriptGroup.size();
        out << "\n# name: L1_dist_groupwise\n# type: cell\n# rows: 1\n# columns: " << nrGroups << "\n";
        for (uint64_t g = 0; g < nrGroups; ++g)
            out << "# name: <cell-element>\n# type: matrix\n# rows: 1\n# columns: " << nrValues << "\n"
                << groupStrings[g] << "\n\n";
        out << "# name: L1_dist_sum_groups\n# type: matrix\n# rows: 1\n# columns: " << nrValues << "\n"
            << geneString << "\n\n";
        out << "# name: sum_alphas_groupwise\n# type: matrix\n# rows: 1\n# columns: " << nrGroups << "\n";
        for (uint64_t g = 0; g < nrGroups; ++g) {
            double sum = 0.0;
            for (uint64_t t = 0; t < T; ++t)
                if (transcriptGroup[t] == g)
                    sum += alphas[t];
            out << ' ' << sum;
        }
        out << "\n\n";
        out << "# name: alphas\n# type: matrix\n# rows: 1\n# columns: " << T << "\n";
        for (uint64_t t = 0; t < T; ++t)
            out << ' ' << alphas[t];
        out << "\n\n";
        out << "# name: group_IDs\n# type: matrix\n# rows: 1\n# columns: " << T << "\n";
        for (uint64_t t = 0; t < T; ++t)
            out << ' ' << transcriptGroup[t];
        out << "\n\n";
        out << "# name: nr_groups\n# type: scalar\n " << nrGroups << "\n" << "\n\n";
        out << "# name: nr_blocks\n# type: scalar\n " << nrComponents << "\n";
        out.close();
    }

private:
    // Eight significant digits, exponent kept, so the value reads back as itself.
    static void append(std::string& text, double value)
    {
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%.*g", kL1Digits, value);
        text += ' ';
        text += buffer;
    }

    std::ofstream out;
    const std::vector<std::vector<double>>& references;
    const std::vector<uint64_t>& transcriptGroup;
    uint64_t nrGroups;
    uint64_t nrComponents;
    const ScaledComponents& scaled;
    std::vector<int32_t> lengths;
    std::vector<std::vector<double>> computed;
    std::string geneString;
    std::vector<std::string> groupStrings;
    std::vector<double> distances;
    uint64_t nrValues = 0;
};

// ---------------------------------------------------------------------------
// Length normalisation

int32_t truncateToLength(double value)
{
    if (!(value >= 0.0))
        return 0;
    if (value >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}

void normaliseLengths(std::vector<t_transcript>& transcripts, const std::vector<uint64_t>& transcriptGroup,
                      const GaussMixture& shape, const std::vector<double>& betas, uint64_t K)
{
    std::vector<double> fragLength(kNormLengthFragCount);
    for (int j = 0; j < kNormLengthFragCount; ++j)
        fragLength[j] = normpdf(kNormLengthFragSd, j + 1, kNormLengthFragMean);

    int32_t maxLength = 0;
    for (const t_transcript& transcript : transcripts)
        maxLength = std::max(maxLength, transcript.length);
    // startPrefix[m] = S[0] + ... + S[m - 1], accumulated in order.
    std::vector<double> startPrefix(static_cast<size_t>(maxLength) + 1);

    for (uint64_t t = 0; t < transcripts.size(); ++t) {
        const int32_t length = transcripts[t].length;
        const uint64_t g = transcriptGroup[t];
        double effective = 0.0;
        if (length > 0) {
            startPrefix[0] = 0.0;
            for (int32_t i = 1; i <= length; ++i) {
                double s = 0.0;
                for (uint64_t k = 0; k < K; ++k)
                    s += normpdf(shape._stdDevs[k][0], i, shape._means[k][0]) * betas[g * K + k];
                startPrefix[i] = startPrefix[i - 1] + s;
            }
            const int32_t terms = std::min(length, kNormLengthFragCount);
            for (int32_t j = 0; j < terms; ++j)
                effective += startPrefix[length - j] * (fragLength[j] / kNormLengthFragMass);
        }
        const int32_t normalised = truncateToLength(effective * length);
        transcripts[t].length = normalised;
        transcripts[t].normLength = normalised;
    }
}

// ---------------------------------------------------------------------------
// Reference densities

std::vector<double> fragmentLengthDensity(int32_t length)
{
    std::vector<double> f(static_cast<size_t>(length));
    for (int32_t r = 0; r < length; ++r)
        f[r] = normpdf(kFragLengthSd, r + 1, kFragLengthMean);
    return f;
}

// S[x] = sum over r of M[r][x] f[r] with M[r][c] = 1 / (L - r) for c < L - r and 0
// otherwise; the zero cells are left out of the sum, which they would not change.
std::vector<double> uniformStartDensity(const std::vector<double>& f)
{
    const int64_t length = static_cast<int64_t>(f.size());
    std::vector<double> s(f.size());
    for (int64_t x = 0; x < length; ++x) {
        double sum = 0.0;
        for (int64_t r = 0; r < length - x; ++r)
            sum += (1.0 / static_cast<double>(length - r)) * f[r];
        s[x] = sum;
    }
    divideBySum(s);
    return s;
}

std::vector<double> startBiasReference(int32_t length)
{
    // One position carries all the mass; the ramp below would give it weight 0.
    if (length == 1)
        return {1.0};
    std::vector<double> a(static_cast<size_t>(length));
    for (int32_t x = 0; x < length; ++x) {
        const double v = length - x;
        a[x] = v * v;
    }
    divideBySum(a);

    std::vector<double> w(static_cast<size_t>(length), 1.0);
    const int32_t ramp = (length + 9) / 10;
    const double step = std::numbers::pi / ramp;
    for (int32_t j = 0; j < ramp; ++j)
        w[ramp - 1 - j] = (std::cos((j + 1) * step) + 1.0) * 0.5;
    divideBySum(w);

    const std::vector<double> s = uniformStartDensity(fragmentLengthDensity(length));
    std::vector<double> reference(static_cast<size_t>(length));
    for (int32_t x = 0; x < length; ++x)
        reference[x] = a[x] * w[x] * s[x];
    divideBySum(reference);
    return reference;
}

std::vector<double> endBiasReference(int32_t length)
{
    std::vector<double> a(static_cast<size_t>(length));
    for (int32_t x = 0; x < length; ++x) {
        const double v = x + 1;
        a[x] = v * v;
    }
    divideBySum(a);
    const std::vector<double> s = uniformStartDensity(fragmentLengthDensity(length));
    std::vector<double> reference(static_cast<size_t>(length));
    for (int32_t x = 0; x < length; ++x)
        reference[x] = a[x] * s[x];
    divideBySum(reference);
    return reference;
}

std::vector<double> uniformReference(int32_t length)
{
    std::vector<double> fn = fragmentLengthDensity(length);
    divideBySum(fn);
    std::vector<double> reference(static_cast<size_t>(length));
    double running = 0.0;
    for (int32_t j = 0; j < length; ++j) {
        running += fn[j] * (1.0 / static_cast<double>(length - j));
        reference[length - 1 - j] = running;
    }
    return reference;
}

std::vector<double> combinedBiasReference(int32_t length)
{
    const std::vector<double> uniform = uniformReference(length);
    std::vector<double> c(static_cast<size_t>(length));
    for (int32_t x = 0; x < length; ++x) {
        const double v = 20.0 * (x + 1) / length;
        c[x] = chi2pdf(v, 3.5) + chi2pdf(20.0 - v, 3.5);
    }
    divideBySum(c);
    std::vector<double> reference(static_cast<size_t>(length));
    for (int32_t x = 0; x < length; ++x)
        reference[x] = uniform[x] * c[x];
    divideBySum(reference);
    return reference;
}

} // namespace

FragmentBlock fragmentBlock(uint64_t nrFragments, uint64_t nrBlocks, uint64_t blockIndex)
{
    const uint64_t blockSize = nrFragments / nrBlocks;
    const uint64_t begin = blockIndex * blockSize;
    const uint64_t extra = blockIndex + 1 == nrBlocks ? nrFragments % nrBlocks : 0;
    return {begin, begin + blockSize + extra};
}

// ---------------------------------------------------------------------------
// Densities and the Gaussian mixture

double normpdf(const double& sigma, const double& x, const double& mu)
{
    const double z = (x - mu) / sigma;
    return std::exp(-z * z * 0.5) / (kSqrtTwoPi * sigma);
}

double chi2pdf(const double& x, const double& k)
{
    return std::pow(x, (k - 2.0) * 0.5) * std::exp(-x * 0.5) / (std::tgamma(0.5 * k) * std::pow(2.0, 0.5 * k));
}

void GaussMixture::setAllParams(const std::vector<std::vector<double>>& means,
                                const std::vector<std::vector<double>>& stdDevs,
                                const std::vector<double>& weights)
{
    _means = means;
    _stdDevs = stdDevs;
    _weights = weights;
    _nrMixtures = _means.size();
    check(_nrMixtures >= 1, "mixture has at least one component");
    check(_stdDevs.size() == _nrMixtures, "one deviation vector per component");
    check(_weights.size() == _nrMixtures, "one weight per component");
    _dim = _means[0].size();
    check(_dim >= 1, "mixture dimension is at least 1");
    check(sumsToOne(_weights), "weights sum to 1 within 1e-10");
    for (uint64_t i = 0; i < _nrMixtures; ++i) {
        check(_means[i].size() == _dim && _stdDevs[i].size() == _dim,
              "every mean and deviation has the mixture's dimension");
        check(allPositive(_stdDevs[i]), "every deviation is greater than 0");
    }
}

void GaussMixture::weights(const std::vector<double>& newWeights)
{
    check(_weights.size() == _nrMixtures, "current weights have one entry per component");
    check(sumsToOne(_weights), "weights sum to 1 within 1e-10");
    _weights = newWeights;
}

double GaussMixture::likelihood(const std::vector<double>& x) const
{
    if (_nrMixtures == 0)
        return 0.0;
    check(x.size() == _dim, "point has the mixture's dimension");
    double sum = 0.0;
    for (uint64_t k = 0; k < _nrMixtures; ++k) {
        for (uint64_t d = 0; d < _dim; ++d) {
            const double diff = _means[k][d] - x[d];
            const double s = _stdDevs[k][d];
            sum += _weights[k] * std::exp(-(diff * diff) / (2.0 * (s * s))) / (kSqrtTwoPi * s);
        }
    }
    return sum;
}

double GaussMixture::likelihood(const std::vector<double>& x, const std::vector<double>& shifts,
                                const std::vector<double>& scales) const
{
    if (_nrMixtures == 0)
        return 0.0;
    check(x.size() == _dim, "point has the mixture's dimension");
    check(shifts.size() == _dim && scales.size() == _dim, "shifts and scales have the mixture's dimension");
    double sum = 0.0;
    for (uint64_t k = 0; k < _nrMixtures; ++k) {
        for (uint64_t d = 0; d < _dim; ++d) {
            const double diff = _means[k][d] * scales[d] + shifts[d] - x[d];
            const double s = scales[d] * _stdDevs[k][d];
            sum += _weights[k] * std::exp(-(diff * diff) / (2.0 * (s * s))) / (kSqrtTwoPi * scales[d] * _stdDevs[k][d]);
        }
    }
    return sum;
}

// ---------------------------------------------------------------------------
// The transcript mixture model

KestroveModel::KestroveModel(const std::vector<double>& weights, const std::vector<std::vector<double>>& shifts,
                             const std::vector<std::vector<double>>& scales,
                             const std::vector<uint64_t>& transcript2TiedGroup,
                             const std::vector<GaussMixture>& tiedGroupPDFs)
    : _nrTranscripts(weights.size()), _nrTiedGroups(tiedGroupPDFs.size()),
      _dim(tiedGroupPDFs.empty() ? 0 : tiedGroupPDFs[0].dimension()), _transcriptWeights(weights),
      _transcriptShifts(shifts), _transcriptScales(scales), _transcript2TiedGroup(transcript2TiedGroup),
      _tiedGroupPDFs(tiedGroupPDFs)
{
    const uint64_t T = _nrTranscripts;
    check(_nrTiedGroups >= 1 && _nrTiedGroups <= T, "1 <= number of tied groups <= number of transcripts");
    check(_dim >= 1, "model dimension is at least 1");
    check(_transcriptShifts.size() == T && _transcriptScales.size() == T && _transcript2TiedGroup.size() == T,
          "shifts, scales and group indices have one entry per transcript");
    check(sumsToOne(_transcriptWeights), "transcript weights sum to 1 within 1e-10");
    for (uint64_t t = 0; t < T; ++t) {
        check(_transcript2TiedGroup[t] < _nrTiedGroups, "every group index is below the number of tied groups");
        check(allPositive(_transcriptScales[t]), "every scale is greater than 0");
    }
    for (const GaussMixture& pdf : _tiedGroupPDFs)
        check(pdf.dimension() == _dim, "every tied group's mixture has the model's dimension");
    for (uint64_t t = 0; t < T; ++t)
        check(_transcriptShifts[t].size() == _dim && _transcriptScales[t].size() == _dim,
              "every shift and scale has the model's dimension");
}

double KestroveModel::likelihood(const std::vector<double>& x, uint64_t t) const
{
    check(t < _nrTranscripts, "transcript index is below the number of transcripts");
    return _tiedGroupPDFs[_transcript2TiedGroup[t]].likelihood(x, _transcriptShifts[t], _transcriptScales[t]);
}

double KestroveModel::likelihood(const std::vector<double>& x) const
{
    double sum = 0.0;
    for (uint64_t t = 0; t < _nrTranscripts; ++t)
        sum += _transcriptWeights[t] * likelihood(x, t);
    return sum;
}

void KestroveModel::train(FragmentMap& fragments, GeneMap::iterator& gene, std::vector<double>& alphas,
                          const t_configuration& conf, std::stringstream& log, const std::string& outputDir)
{
    const uint64_t T = _nrTranscripts;
    const std::vector<std::vector<bool>>& validities = gene->second.validities;
    check(validities.size() == fragments.size(), "one validity row per fragment");
    CompatibleFragments compatible;
    compatible.firstEntry.assign(1, 0);
    uint64_t h = 0;
    for (const auto& entry : fragments) {
        check(!entry.second.empty(), "every fragment holds a read");
        const t_read& read = entry.second.front();
        check(read.transStarts.size() >= T && (!read.paired || read.fragLengths.size() >= T) &&
                  validities[h].size() >= T,
              "every fragment has a start, length and validity per transcript");
        for (uint64_t t = 0; t < T; ++t) {
            if (!validities[h][t])
                continue;
            compatible.entryTranscript.push_back(static_cast<uint32_t>(t));
            compatible.entryStart.push_back(read.transStarts[t]);
            compatible.entryLength.push_back(read.paired ? read.fragLengths[t] : 0);
        }
        check(compatible.entryTranscript.size() <= std::numeric_limits<uint32_t>::max(), "entry offsets fit in 32 bits");
        compatible.firstEntry.push_back(static_cast<uint32_t>(compatible.entryTranscript.size()));
        compatible.paired.push_back(read.paired ? 1 : 0);
        ++h;
    }
    train(compatible, gene, alphas, conf, log, outputDir);
}

void KestroveModel::train(CompatibleFragments& fragments, GeneMap::iterator& gene, std::vector<double>& alphas,
                          const t_configuration& conf, std::stringstream& log, const std::string& outputDir)
{
    std::vector<t_transcript>& transcripts = gene->second.transcripts;
    const uint64_t T = _nrTranscripts;
    const uint64_t N = fragments.size();
    check(conf.nrBlocks >= 1, "number of mixture components is at least 1");
    const uint64_t K = static_cast<uint64_t>(conf.nrBlocks);
    check(transcripts.size() == T && alphas.size() == T, "gene, alphas and model have the same transcripts");
    check(fragments.firstEntry.size() == N + 1 && fragments.entryTranscript.size() == fragments.firstEntry[N]
              && fragments.entryStart.size() == fragments.firstEntry[N]
              && fragments.entryLength.size() == fragments.firstEntry[N],
          "one start and length per compatible transcript of every fragment");
    // The fragment step keeps a fragment's sums by entry, one slot per transcript.
    for (uint64_t h = 0; h < N; ++h) {
        for (uint64_t e = fragments.firstEntry[h]; e < fragments.firstEntry[h + 1]; ++e) {
            const uint32_t t = fragments.entryTranscript[e];
            check(t < T && (e == fragments.firstEntry[h] || fragments.entryTranscript[e - 1] < t),
                  "the compatible transcripts of a fragment are distinct transcripts of the gene, in order");
        }
    }
    uint64_t G = 0;
    for (uint64_t g : _transcript2TiedGroup)
        G = std::max(G, g + 1);
    std::vector<char> groupTaken(G, 0);
    bool distinctGroups = true;
    for (uint64_t g : _transcript2TiedGroup) {
        distinctGroups = distinctGroups && !groupTaken[g];
        groupTaken[g] = 1;
    }
    for (uint64_t g = 0; g < G; ++g)
        check(_tiedGroupPDFs[g]._nrMixtures == K && _tiedGroupPDFs[g]._weights.size() == K,
              "every tied group's mixture has one component per block");

    const GaussMixture& shape = _tiedGroupPDFs[0];
    ScaledComponents scaled;
    scaled.means.resize(T * K);
    scaled.devs.resize(T * K);
    for (uint64_t t = 0; t < T; ++t) {
        transcripts[t].componentMeans.resize(K);
        for (uint64_t k = 0; k < K; ++k) {
            const double mean = shape._means[k][0] * _transcriptScales[t][0] + _transcriptShifts[t][0];
            transcripts[t].componentMeans[k] = mean;
            scaled.means[t * K + k] = mean;
            scaled.devs[t * K + k] = shape._stdDevs[k][0] * _transcriptScales[t][0];
        }
    }

    FragmentTable table;
    try {
        table = buildFragmentTable(fragments, gene->second, T, K, scaled);
    } catch (const std::bad_alloc&) {
        throw KestroveException(ERR_MEMORY_ALLOCATION);
    }

    std::vector<double> betas(G * K);
    for (uint64_t g = 0; g < G; ++g)
        for (uint64_t k = 0; k < K; ++k)
            betas[g * K + k] = _tiedGroupPDFs[g]._weights[k];

    // The deferred pass always trains the betas (fix-betas is a single-thread option).
    const bool trainBetas = conf.trainBetas || conf.deferredPass;
    const int16_t nrIterations = conf.nrIterations;
    const size_t maxIterations = static_cast<size_t>(std::max<int16_t>(nrIterations, 0));

    std::vector<std::vector<double>> references;
    std::unique_ptr<L1Trace> trace;
    if (conf.biasType != 0) {
        calculateArtificalGenePDF(references, gene, conf);
        trace = std::make_unique<L1Trace>(outputDir + "/L1_Dist_" + files::fileSafeName(gene->second.geneName), references, gene->second,
                                          _transcript2TiedGroup, G, K, scaled, nrIterations);
    }

    std::vector<std::vector<std::vector<double>>> history;
    if (conf.observBetas) {
        history.assign(G, std::vector<std::vector<double>>(K));
        for (auto& groupHistory : history)
            for (auto& values : groupHistory)
                values.reserve(maxIterations);
    }

    EStepSums sums(T, G, K);
    EStepScratch scratch(T, G, K);
    std::vector<double> logLikelihoods;
    logLikelihoods.reserve(maxIterations);
    std::vector<double> likelihoodBounds;
    likelihoodBounds.reserve(maxIterations);
    EStepInput input{&table, alphas.data(), betas.data(), _transcript2TiedGroup.data(), static_cast<double>(N)};
    // The log files print the likelihood; otherwise only the stopping rule reads it.
    input.boundedLikelihood = !conf.logFiles;
    input.distinctGroups = distinctGroups;
    // The parameters of this iteration and the one before: a likelihood difference too
    // close to the threshold to decide on bounded sums is decided on exact ones.
    std::vector<double> alphasNow;
    std::vector<double> betasNow;
    std::vector<double> alphasBefore;
    std::vector<double> betasBefore;
    std::unique_ptr<EStepSums> exactSums;
    std::unique_ptr<EStepScratch> exactScratch;

    // A gene at the fragments threshold is summed in blocks at any thread count; deferred
    // (trained alone), its E-step takes every thread of the run.
    std::unique_ptr<BlockParallelEStep> blockParallel;
    if (conf.deferredPass || gene->second.fragsLocus >= static_cast<uint64_t>(std::max<int32_t>(conf.fragsThreshold, 0))) {
        const int16_t nrThreads = conf.deferredPass ? std::max<int16_t>(conf.nrThreads, 1) : 1;
        blockParallel = std::make_unique<BlockParallelEStep>(input, trainBetas, N, static_cast<uint16_t>(nrThreads), T,
                                                             G, K, sums);
    }

    // The sum of log p in fragment order, block by block as the E-step adds it up.
    const auto exactLikelihood = [&](const std::vector<double>& atAlphas, const std::vector<double>& atBetas) {
        if (!exactSums) {
            exactSums = std::make_unique<EStepSums>(T, G, K);
            exactScratch = std::make_unique<EStepScratch>(T, G, K);
        }
        EStepInput exact = input;
        exact.alphas = atAlphas.data();
        exact.betas = atBetas.data();
        exact.needLikelihood = true;
        exact.boundedLikelihood = false;
        const uint64_t nrBlocks = blockParallel ? kEStepBlocks : 1;
        double sum = 0.0;
        for (uint64_t b = 0; b < nrBlocks; ++b) {
            const FragmentBlock range = blockParallel ? fragmentBlock(N, nrBlocks, b) : FragmentBlock{0, N};
            exactSums->logLikelihood = 0.0;
            runEStep(exact, false, range.begin, range.end, *exactScratch, *exactSums);
            sum += exactSums->logLikelihood;
        }
        return sum;
    };

    int16_t i = 0;
    bool stop = false;
    while (i < nrIterations) {
        if (trace)
            trace->record(alphas, betas);
        if (stop) {
            if (trace)
                trace->writeFinalDensities();
            break;
        }

        input.needLikelihood = i + 1 >= kFirstLikelihoodTest;
        if (input.needLikelihood && input.boundedLikelihood) {
            alphasBefore.swap(alphasNow);
            betasBefore.swap(betasNow);
            alphasNow.assign(alphas.begin(), alphas.end());
            betasNow.assign(betas.begin(), betas.end());
        }
        if (blockParallel)
            blockParallel->run();
        else
            runEStep(input, trainBetas, 0, N, scratch, sums);

        if (trainBetas) {
            for (uint64_t g = 0; g < G; ++g) {
                for (uint64_t k = 0; k < K; ++k) {
                    double& accu = sums.betasAccu[g * K + k];
                    betas[g * K + k] = sums.probGroup[g] > DBL_MIN ? accu / sums.probGroup[g]
                                                                    : accu * kInverseSmallestNormal;
                    accu = 0.0;
                }
                sums.probGroup[g] = 0.0;
            }
        }
        if (conf.observBetas)
            for (uint64_t g = 0; g < G; ++g)
                for (uint64_t k = 0; k < K; ++k)
                    history[g][k].push_back(betas[g * K + k]);
        if (conf.logFiles &&
            std::any_of(sums.newAlphas.begin(), sums.newAlphas.end(), [](double a) { return std::isnan(a); }))
            log << "At least one element of the alpha parameters turned NaN during the estimation.\n";

        double logLikelihood = sums.logLikelihood;
        sums.logLikelihood = 0.0;
        logLikelihoods.push_back(logLikelihood);
        likelihoodBounds.push_back(sums.likelihoodBound);
        sums.likelihoodBound = 0.0;

        bool converged = true;
        for (uint64_t t = 0; t < T; ++t) {
            if (!(std::fabs(sums.newAlphas[t] - alphas[t]) < conf.minParamDiff))
                converged = false;
            alphas[t] = sums.newAlphas[t];
            sums.newAlphas[t] = 0.0;
        }
        bool likelihoodSettled = false;
        if (i >= kFirstLikelihoodTest) {
            const double threshold = conf.likelihoodThreshold;
            double before = logLikelihoods[i - 1];
            const double margin = likelihoodBounds[i] + likelihoodBounds[i - 1];
            // No difference is below a threshold of zero or less.
            bool decided = !(threshold > 0.0);
            if (!decided && margin > 0.0) {
                // The difference is rounded as well, bounded or exact.
                constexpr double kEps = std::numeric_limits<double>::epsilon();
                const double slack = margin + 4.0 * kEps * (std::fabs(logLikelihood) + std::fabs(before));
                const double difference = std::fabs(logLikelihood - before);
                if (difference + slack < threshold) {
                    likelihoodSettled = true;
                    decided = true;
                } else if (difference - slack >= threshold) {
                    decided = true;
                } else {
                    logLikelihood = exactLikelihood(alphasNow, betasNow);
                    before = exactLikelihood(alphasBefore, betasBefore);
                    logLikelihoods[i] = logLikelihood;
                    logLikelihoods[i - 1] = before;
                    likelihoodBounds[i] = 0.0;
                    likelihoodBounds[i - 1] = 0.0;
                    // Differences this close to the threshold tend to stay close: the
                    // rest of the training sums exactly rather than twice over.
                    input.boundedLikelihood = false;
                }
            }
            if (!decided)
                likelihoodSettled = std::fabs(logLikelihood - before) < threshold;
        }
        if (converged || likelihoodSettled)
            stop = true;

        if (conf.logFiles) {
            if (conf.observAlphas) {
                log << std::fixed << std::setprecision(5) << "Alphas, iteration ( " << (i + 1) << " ) : ";
                for (double a : alphas)
                    log << a << '\t';
                log << '\n';
            }
            if (converged && i > 9)
                log << "\nFinished Initialization in iteration " << (i + 1) << " with log likelihood "
                    << logLikelihood << "\n"
                    << "Terminated the EM algorithm because the change in value of parameters between two "
                       "iterations was below "
                    << std::fixed << conf.minParamDiff << "\n";
            if (likelihoodSettled)
                log << "\nFinished Initialization in iteration " << (i + 1) << " with log likelihood "
                    << logLikelihood << "\n"
                    << "Terminated the EM algorithm because difference in log(likelihood) between this iteration "
                       "and the previous iteration was below "
                    << conf.likelihoodThreshold << "\n";
        }
        ++i;
    }

    blockParallel.reset();
    if (trace)
        trace->close(alphas);
    if (conf.observBetas)
        betasToFile(history, outputDir);
    for (uint64_t g = 0; g < G; ++g)
        _tiedGroupPDFs[g].weights(std::vector<double>(betas.begin() + g * K, betas.begin() + (g + 1) * K));
    if (conf.normalizeLengths)
        normaliseLengths(transcripts, _transcript2TiedGroup, shape, betas, K);
}

void KestroveModel::betasToFile(const std::vector<std::vector<std::vector<double>>>& history, std::string outputDir)
{
    // One fixed file name for the whole run: concurrent trainings take turns so it holds one history.
    std::lock_guard<std::mutex> lock(betasFileMutex);
    std::ofstream out(outputDir + "/betas_iterations.dat", std::ios::out | std::ios::trunc);
    if (!out)
        return;
    out << "# name: nr_groups\n# type: scalar\n " << history.size() << "\n\n";
    for (size_t g = 0; g < history.size(); ++g) {
        out << "# name: betas_group_" << g << "\n# type: cell\n# rows: 1\n# columns: " << history[g].size();
        for (const std::vector<double>& values : history[g]) {
            out << "\n# name: <cell-element>\n# type: matrix\n# rows: 1\n# columns: " << values.size() << "\n";
            for (double v : values)
                out << v << ' ';
        }
        out << "\n";
    }
}

void KestroveModel::calculateArtificalGenePDF(std::vector<std::vector<double>>& references, GeneMap::iterator& gene,
                                              const t_configuration& conf)
{
    const int16_t biasType = conf.biasType;
    if (biasType == 0)
        return;
    // The options are checked before the run; a failure must not end it as a success.
    if (biasType < 0 || biasType > 4)
        throw std::invalid_argument("unknown bias type " + std::to_string(biasType));
    const std::vector<t_transcript>& transcripts = gene->second.transcripts;
    references.assign(transcripts.size(), std::vector<double>());
    for (size_t t = 0; t < transcripts.size(); ++t) {
        const int32_t length = transcripts[t].length;
        if (length <= 0)
            continue;
        switch (biasType) {
        case 1: references[t] = startBiasReference(length); break;
        case 2: references[t] = endBiasReference(length); break;
        case 3: references[t] = uniformReference(length); break;
        case 4: references[t] = combinedBiasReference(length); break;
        }
    }
}
