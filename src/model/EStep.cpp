#include "model/EStep.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>

#include "model/Densities.h"
#include "model/LogProduct.h"
#include "model/ModelChecks.h"
#include "util/Prefault.h"

namespace {

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

// Running sums of N(j; 200, 80), j = 1 .. m, one for all transcripts, and the
// densities themselves: a fragment's length is one of these j nearly always. The
// shorter lengths are the same for every gene; a longer transcript continues them
// in `longer`.
const LengthDensities& lengthDensitiesUpTo(int32_t maxLength, LengthDensities& longer)
{
    const LengthDensities& shared = sharedLengthDensities();
    if (maxLength <= kSharedLengths)
        return shared;
    longer = shared;
    longer.extend(maxLength);
    return longer;
}

// The start densities of the transcripts' components: the normaliser of each, and,
// for the transcripts that fit, the density at every position.
struct StartDensities {
    static constexpr uint64_t kNotKept = std::numeric_limits<uint64_t>::max();
    std::vector<uint64_t> keptAt;  // a transcript's first kept value, or kNotKept
    std::vector<double> kept;
    std::vector<double> norm;      // T x K
};

// The start density of a component is needed at every position of the transcript
// for its normaliser anyway; kept, it serves every entry at that position without
// a further exp. Kept for as many transcripts as fit in keptRoom values; the others
// compute theirs per entry, an exp a cell once per gene.
StartDensities startDensitiesOf(const CompatibleFragments& fragments, const Gene& gene, uint64_t T, uint64_t K,
                                const ScaledComponents& scaled, uint64_t keptRoom)
{
    StartDensities starts;
    starts.keptAt.assign(T, StartDensities::kNotKept);
    starts.norm.resize(T * K);
    // A transcript without a compatible fragment needs no normaliser.
    std::vector<char> used(T, 0);
    for (uint64_t e = 0; e < fragments.firstEntry[fragments.size()]; ++e)
        used[fragments.entryTranscript[e]] = 1;
    for (uint64_t t = 0; t < T; ++t) {
        if (!used[t])
            continue;
        const int32_t length = gene.transcripts[t].length;
        const uint64_t positions = static_cast<uint64_t>(std::max<int32_t>(length, 0));
        const bool keep = starts.kept.size() + positions * K <= keptRoom;
        if (keep) {
            starts.keptAt[t] = starts.kept.size();
            starts.kept.resize(starts.kept.size() + positions * K);
        }
        for (uint64_t k = 0; k < K; ++k)
            starts.norm[t * K + k] = startDensities(scaled.devs[t * K + k], scaled.means[t * K + k], length,
                                                    keep ? starts.kept.data() + starts.keptAt[t] + k * positions
                                                         : nullptr);
    }
    return starts;
}

// The length density of a pair's fragment starting at x of a transcript of `length`,
// normalised over the lengths that fit from x on.
double pairLengthDensity(int32_t fragLength, int32_t x, int32_t length, int32_t maxLength,
                         const LengthDensities& lengths)
{
    double lengthDensity = fragLength >= 1 && fragLength <= maxLength
        ? lengths.pdf[static_cast<std::size_t>(fragLength)]
        : normpdf(kFragLengthSd, fragLength, kFragLengthMean);
    const int64_t remaining = static_cast<int64_t>(length) - x;
    if (remaining != 0) {
        // Only L_t normalisers exist; a start outside the transcript sums fewer.
        const int64_t count = std::clamp<int64_t>(remaining, 0, std::max<int32_t>(length, 0));
        const double sum = lengths.prefix[static_cast<std::size_t>(count)];
        if (sum >= DBL_MIN)
            lengthDensity /= sum;
    }
    return lengthDensity;
}

// What every entry's cells are computed from.
struct CellInputs {
    const CompatibleFragments& fragments;
    const Gene& gene;
    uint64_t K;
    const ScaledComponents& scaled;
    int32_t maxLength;
    const LengthDensities& lengths;
    const StartDensities& starts;
};

// The K cells of entry e.
void fillEntryCells(const CellInputs& in, uint64_t e, bool paired, double* cells)
{
    const uint64_t K = in.K;
    const uint32_t t = in.fragments.entryTranscript[e];
    const int32_t x = in.fragments.entryStart[e];
    const int32_t length = in.gene.transcripts[t].length;
    double lengthDensity = 1.0;
    if (paired)
        lengthDensity = pairLengthDensity(in.fragments.entryLength[e], x, length, in.maxLength, in.lengths);
    const uint64_t keptAt = in.starts.keptAt[t];
    const bool kept = keptAt != StartDensities::kNotKept && x >= 1 && x <= length;
    const uint64_t positions = static_cast<uint64_t>(std::max<int32_t>(length, 0));
    for (uint64_t k = 0; k < K; ++k) {
        const double z = in.starts.norm[t * K + k];
        double start = kept ? in.starts.kept[keptAt + k * positions + static_cast<uint64_t>(x - 1)]
                            : normpdf(in.scaled.devs[t * K + k], x, in.scaled.means[t * K + k]);
        // A component that underflows on every position of the transcript has no
        // density there; dividing would turn the whole gene into NaN.
        start = (z > 0.0 && std::isfinite(z)) ? start / z : 0.0;
        cells[k] = paired ? start * lengthDensity : start;
    }
}

} // namespace

FragmentTable buildFragmentTable(CompatibleFragments& fragments, const Gene& gene, uint64_t nrTranscripts,
                                 uint64_t nrComponents, const ScaledComponents& scaled)
{
    const uint64_t T = nrTranscripts;
    const uint64_t K = nrComponents;
    const uint64_t N = fragments.size();

    int32_t maxLength = 0;
    for (uint64_t t = 0; t < T; ++t)
        maxLength = std::max(maxLength, gene.transcripts[t].length);
    LengthDensities longer;
    const LengthDensities& lengths = lengthDensitiesUpTo(maxLength, longer);

    const uint64_t nrEntries = fragments.firstEntry[N];
    check(T <= std::numeric_limits<uint32_t>::max(), "transcript indices fit in 32 bits");

    FragmentTable table;
    table.nrComponents = K;
    if (nrEntries > std::numeric_limits<uint64_t>::max() / sizeof(double) / K)
        throw std::bad_alloc();
    // Mapped a stretch at a time as it is filled, below.
    table.cells.resize(nrEntries * K);
    double* cells = table.cells.data();

    // Start densities are kept in a quarter of the table's room (at least 64 Ki values),
    // which the table's own peak bounds: a gene of many long isoforms would otherwise
    // hold nearly a second table.
    const StartDensities starts =
        startDensitiesOf(fragments, gene, T, K, scaled, std::max<uint64_t>(nrEntries * K / 4, uint64_t{1} << 16));
    const CellInputs inputs{fragments, gene, K, scaled, maxLength, lengths, starts};

    // From the last fragment back: the coordinates past a fragment are given back as
    // the cells before it are mapped, so that a large locus never holds both whole.
    constexpr uint64_t kStretch = uint64_t{1} << 14;
    uint64_t mappedFrom = nrEntries;
    for (uint64_t h = N; h-- > 0;) {
        if (fragments.firstEntry[h] < mappedFrom) {
            fragments.entryStart.shrinkTo(fragments.firstEntry[h + 1]);
            fragments.entryLength.shrinkTo(fragments.firstEntry[h + 1]);
            const uint64_t from =
                std::min<uint64_t>(fragments.firstEntry[h], mappedFrom > kStretch ? mappedFrom - kStretch : 0);
            prefaultForWrite(cells + from * K, (mappedFrom - from) * K * sizeof(double));
            mappedFrom = from;
        }
        const bool paired = fragments.paired[h] != 0;
        for (uint64_t e = fragments.firstEntry[h]; e < fragments.firstEntry[h + 1]; ++e)
            fillEntryCells(inputs, e, paired, cells + e * K);
    }
    table.firstEntry = std::move(fragments.firstEntry);
    table.entryTranscript = std::move(fragments.entryTranscript);
    fragments.entryStart.release();
    fragments.entryLength.release();
    return table;
}

namespace {

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
