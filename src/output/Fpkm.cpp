#include "output/Fpkm.h"

#include <cmath>

namespace {

// 1e9 x / (length x count), the product formed in 64 bits; a non-positive
// product (empty experiment, malformed transcript) gives 0 rather than inf or NaN.
double fpkm(double fragments, int32_t length, uint64_t count)
{
    const int64_t denominator = static_cast<int64_t>(length) * static_cast<int64_t>(count);
    if (denominator <= 0)
        return 0.0;
    return 1e9 * fragments / static_cast<double>(denominator);
}

} // namespace

bool countWithinLimits(uint64_t count, const t_configuration& conf)
{
    const auto c = static_cast<int64_t>(count);
    return c >= conf.minCompFrags && c <= conf.maxCompFrags;
}

double valueAt(const std::vector<double>& values, size_t i)
{
    return i < values.size() ? values[i] : 0.0;
}

bool alphasSumToOne(const std::vector<double>& alphas)
{
    if (alphas.empty())
        return false;
    double sum = 0.0;
    for (double a : alphas)
        sum += a;
    return std::fabs(sum - 1.0) < 1e-10;
}

void setTotalHitsFpkm(Gene& gene, const t_configuration& conf, uint64_t fragsExperiment)
{
    double geneFpkm = 0.0;
    for (size_t t = 0; t < gene.transcripts.size(); ++t) {
        t_transcript& transcript = gene.transcripts[t];
        double x = static_cast<double>(gene.fragsLocus) * gene.alphas[t];
        if (conf.roundCounts)
            x = std::round(x);
        const bool normalized = x >= conf.normLengthMinCount && conf.normalizeLengths;
        transcript.fpkmTHN = fpkm(x, normalized ? transcript.normLength : transcript.length, fragsExperiment);
        geneFpkm += transcript.fpkmTHN;
    }
    gene.fpkmTHN = geneFpkm;
}

bool calculateCHN(Gene& gene, const t_configuration& conf, uint64_t fragsExperiment, uint64_t compFragsExperiment)
{
    if (!countWithinLimits(gene.compFragsLocus, conf))
        return true;
    double thnSum = 0.0;
    double chnSum = 0.0;
    double x = 0.0;
    for (size_t t = 0; t < gene.transcripts.size(); ++t) {
        t_transcript& tr = gene.transcripts[t];
        x = static_cast<double>(gene.compFragsLocus) * valueAt(gene.alphas, t);
        if (conf.roundCounts)
            x = std::round(x);
        if (conf.normalizeLengths) {
            tr.fpkmTHN = fpkm(x, tr.normLength, fragsExperiment);
            thnSum += tr.fpkmTHN;
            tr.fpkmCHN = fpkm(x, tr.normLength, compFragsExperiment);
        } else {
            tr.fpkmCHN = fpkm(x, tr.length, compFragsExperiment);
        }
        chnSum += tr.fpkmCHN;
    }
    if (!gene.transcripts.empty() && conf.normalizeLengths && x >= conf.normLengthMinCount)
        gene.fpkmTHN = thnSum;
    gene.fpkmCHN = chnSum;
    if (alphasSumToOne(gene.alphas))
        gene.status = "OK";
    return true;
}
