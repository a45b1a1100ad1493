#include "model/PositionalBias.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <string>

#include "model/Densities.h"
#include "model/ModelChecks.h"

namespace {

constexpr double kNormLengthFragMean = 100.0;
constexpr double kNormLengthFragSd = 40.0;
constexpr int kNormLengthFragCount = 1000;
// Mass of the normal(100, 40) density on the lengths 1 .. 1000.
constexpr double kNormLengthFragMass = 0.99368021221827;

int32_t truncateToLength(double value)
{
    if (!(value >= 0.0))
        return 0;
    if (value >= static_cast<double>(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}

void divideBySum(std::vector<double>& values)
{
    const double sum = sumInOrder(values);
    for (double& v : values)
        v /= sum;
}

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

std::vector<std::vector<double>> biasReferenceDensities(const std::vector<t_transcript>& transcripts,
                                                        int16_t biasType)
{
    if (biasType == 0)
        return {};
    // The options are checked before the run; a failure must not end it as a success.
    if (biasType < 0 || biasType > 4)
        throw std::invalid_argument("unknown bias type " + std::to_string(biasType));
    std::vector<std::vector<double>> references(transcripts.size());
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
    return references;
}
