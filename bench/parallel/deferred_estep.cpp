// E-step iteration time of one deferred large gene: the sequential training of the
// main pass against the block-parallel training of the deferred pass.
//
//   deferred_estep [fragments (1000000)] [threads (2)] [repeats (5)]
//
// The gene is bench/SyntheticGene.h's. One iteration's time is (T(22 iterations) - T(2 iterations)) / 20 in wall-clock time, so
// that the set-up common to both paths drops out; the two paths alternate, and the
// fastest repeat of each is the figure least disturbed by other load on the machine.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "../SyntheticGene.h"

namespace {

constexpr int kTranscripts = SyntheticGene::kTranscripts;
constexpr int kComponents = SyntheticGene::kComponents;
constexpr int kShortRun = 2;
constexpr int kLongRun = 22;

struct BigGene : SyntheticGene {
    using SyntheticGene::SyntheticGene;

    // Wall seconds of one train call of exactly `iterations` iterations; alphas receives the estimates.
    double train(int iterations, int threads, std::vector<double>& alphas)
    {
        TranscriptMixture m = model();
        t_configuration conf = trainingConf(iterations);
        conf.nrThreads = static_cast<int16_t>(threads);
        alphas.assign(kTranscripts, 1.0 / kTranscripts);
        std::stringstream log;
        const auto begin = std::chrono::steady_clock::now();
        CompatibleFragments fragments = compatible;
        TrainingOptions options = trainingOptions(conf, threads > 1);
        ThreadPool pool(static_cast<unsigned>(threads));
        options.blockPool = &pool;
        m.train(fragments, gene, alphas, options, log, "/nonexistent");
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
