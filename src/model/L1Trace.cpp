#include "model/L1Trace.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "model/Densities.h"

namespace {

constexpr int kL1Digits = 8;

} // namespace

L1Trace::L1Trace(const std::string& path, const std::vector<std::vector<double>>& references, const Gene& gene,
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

void L1Trace::record(const std::vector<double>& alphas, const std::vector<double>& betas)
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

void L1Trace::writeFinalDensities()
{
    const uint64_t T = transcriptGroup.size();
    out << "\n# name: " << "calc_pdfs\n# type: cell\n# rows: 1" << "\n# columns: " << T;
    for (uint64_t t = 0; t < T; ++t) {
        out << "\n# name: <cell-element>\n# type: matrix\n# rows: 1\n# columns: " << lengths[t] << "\n";
        for (double v : computed[t])
            out << v << ' ';
    }
}

void L1Trace::close(const std::vector<double>& alphas)
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

// Eight significant digits, exponent kept, so the value reads back as itself.
void L1Trace::append(std::string& text, double value)
{
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.*g", kL1Digits, value);
    text += ' ';
    text += buffer;
}
