#include "model/FragmentTable.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/Densities.h"
#include "model/Lanes.h"
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
StartDensities startDensitiesOf(const FragmentTable& table, const Gene& gene, uint64_t T, uint64_t K,
                                const ScaledComponents& scaled, uint64_t keptRoom)
{
    StartDensities starts;
    starts.keptAt.assign(T, StartDensities::kNotKept);
    starts.norm.resize(T * K);
    // A transcript without a compatible fragment needs no normaliser.
    std::vector<char> used(T, 0);
    for (const uint32_t t : table.rowTranscripts)
        used[t] = 1;
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

// The K cells of entry e, on transcript t.
void fillEntryCells(const CellInputs& in, uint64_t e, uint32_t t, bool paired, double* cells)
{
    const uint64_t K = in.K;
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

void setTranscriptRows(FragmentTable& table, const std::vector<uint32_t>& firstEntry,
                       const std::vector<uint32_t>& entryTranscript)
{
    const std::size_t N = firstEntry.empty() ? 0 : firstEntry.size() - 1;
    table.fragmentRow.assign(N, 0);
    table.rowTranscripts.clear();
    // A row by its transcripts' bytes; the key is reused, so that only a new row allocates.
    std::unordered_map<std::string, uint32_t> rows;
    std::string key;
    for (std::size_t h = 0; h < N; ++h) {
        const uint32_t* transcripts = entryTranscript.data() + firstEntry[h];
        const std::size_t n = firstEntry[h + 1] - firstEntry[h];
        key.assign(reinterpret_cast<const char*>(transcripts), n * sizeof(uint32_t));
        const auto [row, added] = rows.try_emplace(key, static_cast<uint32_t>(table.rowTranscripts.size()));
        if (added)
            table.rowTranscripts.insert(table.rowTranscripts.end(), transcripts, transcripts + n);
        table.fragmentRow[h] = row->second;
    }
    table.rowTranscripts.shrink_to_fit();
}

FragmentTable buildFragmentTable(CompatibleFragments& fragments, const Gene& gene, uint64_t nrTranscripts,
                                 uint64_t nrComponents, const ScaledComponents& scaled, ThreadPool* pool)
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
    setTranscriptRows(table, fragments.firstEntry, fragments.entryTranscript);
    std::vector<uint32_t>().swap(fragments.entryTranscript);
    if (nrEntries > std::numeric_limits<uint64_t>::max() / sizeof(double) / K)
        throw std::bad_alloc();
    // Mapped a stretch at a time as it is filled, below.
    table.cells.resize(nrEntries * K + 1);
    double* cells = table.cells.data();
    cells[nrEntries * K] = 0.0;

    // Start densities are kept in a quarter of the table's room (at least 64 Ki values),
    // which the table's own peak bounds: a gene of many long isoforms would otherwise
    // hold nearly a second table.
    const StartDensities starts =
        startDensitiesOf(table, gene, T, K, scaled, std::max<uint64_t>(nrEntries * K / 4, uint64_t{1} << 16));
    const CellInputs inputs{fragments, gene, K, scaled, maxLength, lengths, starts};

    // From the last fragment back, a stretch at a time: the coordinates past a stretch
    // are given back before its cells are mapped, so that a large locus never holds both
    // whole. The fragments of a stretch are filled in parts, on the pool's threads.
    constexpr uint64_t kStretch = uint64_t{1} << 14;
    const unsigned parts = partsFor(pool);
    const uint64_t stretch = kStretch * parts;
    const uint32_t* first = fragments.firstEntry.data();
    uint64_t lo = 0;
    uint64_t hi = N;
    const ThreadPool::Body fill = [&](std::size_t part, unsigned) {
        const uint64_t from = lo + (hi - lo) * part / parts;
        const uint64_t to = lo + (hi - lo) * (part + 1) / parts;
        prefaultForWrite(cells + first[from] * K, (first[to] - first[from]) * K * sizeof(double));
        for (uint64_t h = from; h < to; ++h) {
            const bool paired = fragments.paired[h] != 0;
            const uint32_t* transcripts = table.rowTranscripts.data() + table.fragmentRow[h] - first[h];
            for (uint64_t e = first[h]; e < first[h + 1]; ++e)
                fillEntryCells(inputs, e, transcripts[e], paired, cells + e * K);
        }
    };
    for (; hi > 0; hi = lo) {
        const uint64_t end = first[hi];
        fragments.entryStart.shrinkTo(end);
        fragments.entryLength.shrinkTo(end);
        lo = static_cast<uint64_t>(std::lower_bound(first, first + hi, end > stretch ? end - stretch : 0) - first);
        lo = std::min(lo, hi - 1);
        forEachPart(pool, parts, fill);
    }
    table.firstEntry = std::move(fragments.firstEntry);
    fragments.entryStart.release();
    fragments.entryLength.release();
    return table;
}

