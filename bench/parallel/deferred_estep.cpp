// E-step iteration time of one deferred large gene: the sequential training of the
// main pass against the block-parallel training of the deferred pass.
//
//   deferred_estep [fragments (1000000)] [threads (2)] [repeats (5)]
//
// The gene has 10 transcripts (lengths 1200 .. 3450), K = 3, every transcript its own
// tied group, paired fragments each compatible with 2, 3 or 4 transcripts. One
// iteration's time is (T(22 iterations) - T(2 iterations)) / 20 in wall-clock time, so
// that the set-up common to both paths drops out; the two paths alternate, and the
// fastest repeat of each is the figure least disturbed by other load on the machine.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kestrovemodel.h"

namespace {

constexpr int kTranscripts = 10;
constexpr int kComponents = 3;
constexpr int kShortRun = 2;
constexpr int kLongRun = 22;

struct BigGene {
    GeneMap genes;
    GeneMap::iterator gene;
    FragmentMap fragments;
    uint64_t cells = 0;
    std::vector<int32_t> lengths;

    explicit BigGene(int nrFragments)
    {
        std::mt19937 rng(2024);
        Gene g;
        g.geneId = "BENCH";
        g.geneName = "BENCH";
        for (int t = 0; t < kTranscripts; ++t) {
            t_transcript transcript;
            transcript.length = 1200 + 250 * t;
            lengths.push_back(transcript.length);
            g.transcripts.push_back(transcript);
        }
        gene = genes.emplace(g.geneId, g).first;

        std::uniform_int_distribution<int> compatibleCount(2, 4);
        std::uniform_int_distribution<int> transcript(0, kTranscripts - 1);
        std::uniform_int_distribution<int> fragLength(100, 400);
        for (int f = 0; f < nrFragments; ++f) {
            std::vector<bool> row(kTranscripts, false);
            for (int n = compatibleCount(rng); n > 0;) {
                const int t = transcript(rng);
                if (!row[t]) {
                    row[t] = true;
                    --n;
                }
            }
            t_read read;
            char key[16];
            std::snprintf(key, sizeof key, "frag%08d", f);
            read.paired = true;
            read.transStarts.assign(kTranscripts, 0);
            read.fragLengths.assign(kTranscripts, 0);
            for (int t = 0; t < kTranscripts; ++t) {
                if (!row[t])
                    continue;
                std::uniform_int_distribution<int> start(1, lengths[t]);
                read.transStarts[t] = start(rng);
                read.fragLengths[t] = fragLength(rng);
                cells += kComponents;
            }
            fragments.emplace_hint(fragments.end(), key, std::vector<t_read>{std::move(read)});
            gene->second.validities.push_back(std::move(row));
        }
    }

    KestroveModel model() const
    {
        const double longest = lengths.back();
        std::vector<std::vector<double>> mus;
        std::vector<std::vector<double>> sigmas;
        for (int k = 0; k < kComponents; ++k) {
            mus.push_back({(2.0 * k + 1.0) * longest / (2.0 * kComponents)});
            sigmas.push_back({longest / (2.0 * kComponents)});
        }
        std::vector<GaussMixture> pdfs(kTranscripts);
        for (auto& pdf : pdfs)
            pdf.setAllParams(mus, sigmas, std::vector<double>(kComponents, 1.0 / kComponents));
        std::vector<std::vector<double>> shifts;
        std::vector<std::vector<double>> scales;
        std::vector<uint64_t> groups;
        for (int t = 0; t < kTranscripts; ++t) {
            shifts.push_back({0.0});
            scales.push_back({lengths[t] / longest});
            groups.push_back(t);
        }
        return KestroveModel(std::vector<double>(kTranscripts, 1.0 / kTranscripts), shifts, scales, groups, pdfs);
    }

    // Wall seconds of one train call of exactly `iterations` iterations; alphas receives the estimates.
    double train(int iterations, int threads, std::vector<double>& alphas)
    {
        KestroveModel m = model();
        t_configuration conf;
        conf.nrBlocks = kComponents;
        conf.nrIterations = static_cast<int16_t>(iterations);
        conf.minParamDiff = 0.0;
        conf.likelihoodThreshold = 0.0;
        conf.nrThreads = static_cast<int16_t>(threads);
        conf.deferredPass = threads > 1;
        alphas.assign(kTranscripts, 1.0 / kTranscripts);
        std::stringstream log;
        const auto begin = std::chrono::steady_clock::now();
        m.train(fragments, gene, alphas, conf, log, "/nonexistent");
        const auto end = std::chrono::steady_clock::now();
        return std::chrono::duration<double>(end - begin).count();
    }

    double secondsPerIteration(int threads, std::vector<double>& alphas)
    {
        const double shortRun = train(kShortRun, threads, alphas);
        const double longRun = train(kLongRun, threads, alphas);
        return (longRun - shortRun) / (kLongRun - kShortRun);
    }
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const int nrFragments = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const int threads = argc > 2 ? std::atoi(argv[2]) : 2;
    const int repeats = argc > 3 ? std::atoi(argv[3]) : 5;
    if (nrFragments < 1 || threads < 2 || repeats < 1) {
        std::fprintf(stderr, "usage: deferred_estep [fragments >= 1] [threads >= 2] [repeats >= 1]\n");
        return 1;
    }

    BigGene gene(nrFragments);
    std::printf("gene: %d fragments, %d transcripts, K = %d, %llu stored cells\n", nrFragments, kTranscripts,
                kComponents, static_cast<unsigned long long>(gene.cells));

    std::vector<double> sequential;
    std::vector<double> parallel;
    std::vector<double> alphasSequential;
    std::vector<double> alphasParallel;
    for (int r = 0; r < repeats; ++r) {
        sequential.push_back(gene.secondsPerIteration(1, alphasSequential));
        parallel.push_back(gene.secondsPerIteration(threads, alphasParallel));
        std::printf("repeat %d: sequential %.1f ms, %d threads %.1f ms per iteration\n", r + 1,
                    sequential.back() * 1e3, threads, parallel.back() * 1e3);
    }
    double largestDifference = 0.0;
    for (int t = 0; t < kTranscripts; ++t)
        largestDifference = std::max(largestDifference, std::fabs(alphasParallel[t] - alphasSequential[t]) /
                                                            std::fabs(alphasSequential[t]));

    const double bestSequential = *std::min_element(sequential.begin(), sequential.end());
    const double bestParallel = *std::min_element(parallel.begin(), parallel.end());
    std::printf("sequential:  best %.1f ms, median %.1f ms per iteration (%.2f ns per cell)\n", bestSequential * 1e3,
                median(sequential) * 1e3, bestSequential * 1e9 / static_cast<double>(gene.cells));
    std::printf("%d threads:   best %.1f ms, median %.1f ms per iteration\n", threads, bestParallel * 1e3,
                median(parallel) * 1e3);
    std::printf("ratio %d threads / sequential: best %.2f, median %.2f\n", threads, bestParallel / bestSequential,
                median(parallel) / median(sequential));
    std::printf("largest relative difference of the alphas after %d iterations: %.1e\n", kLongRun,
                largestDifference);
    return 0;
}
