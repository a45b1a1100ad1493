// EM training of one large gene: 200,000 paired fragments, 10 transcripts,
// K = 3, each fragment compatible with 3 transcripts on average.
//
//   build/bench/em_bench --benchmark_counters_tabular=true
//
// Reported per benchmark iteration (manual time = one EM iteration):
//   ns_per_cell   CPU time of one EM iteration / stored (fragment, transcript, component) cells
//   setup_ms      CPU time of the set-up (tables, normalisers) of one train call
//   peak_bytes    resident-memory high-water growth during one train call
//   bytes_per_cell  peak_bytes / stored cells

#include <ctime>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <benchmark/benchmark.h>
#include <malloc.h>

#include "SyntheticGene.h"

namespace {

constexpr int kFragments = 200000;
constexpr int kTimedIterations = 20;

// CPU time of this thread: the figures stay meaningful on a loaded machine.
double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

struct BigGene : SyntheticGene {
    BigGene() : SyntheticGene(kFragments) {}

    // Seconds of one train call running exactly `iterations` EM iterations.
    double train(int iterations)
    {
        TranscriptMixture m = model();
        const t_configuration conf = trainingConf(iterations);
        std::vector<double> alphas(kTranscripts, 1.0 / kTranscripts);
        std::stringstream log;
        const double begin = threadSeconds();
        CompatibleFragments fragments = compatible;
        m.train(fragments, gene, alphas, trainingOptions(conf), log, "/nonexistent");
        const double end = threadSeconds();
        benchmark::DoNotOptimize(alphas.data());
        return end - begin;
    }
};

BigGene& bigGene()
{
    static BigGene gene;
    return gene;
}

long statusKiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(std::string(field).size()));
    return -1;
}

// Resident high-water growth of one train call; -1 when the high-water mark cannot be reset.
double peakBytesOfTrain(BigGene& gene)
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5" << std::flush;
    if (!clear)
        return -1;
    clear.close();
    const long before = statusKiB("VmRSS:");
    gene.train(1);
    const long peak = statusKiB("VmHWM:");
    return 1024.0 * static_cast<double>(peak - before);
}

void BM_EmIteration(benchmark::State& state)
{
    BigGene& gene = bigGene();
    const double peak = peakBytesOfTrain(gene);
    double setupSeconds = 0;
    double iterationSeconds = 0;
    for (auto _ : state) {
        const double setup = gene.train(0);
        const double full = gene.train(kTimedIterations);
        const double iteration = (full - setup) / kTimedIterations;
        setupSeconds += setup;
        iterationSeconds += iteration;
        state.SetIterationTime(iteration);
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["cells"] = static_cast<double>(gene.cells);
    state.counters["ns_per_cell"] = iterationSeconds / runs * 1e9 / static_cast<double>(gene.cells);
    state.counters["setup_ms"] = setupSeconds / runs * 1e3;
    state.counters["peak_bytes"] = peak;
    state.counters["bytes_per_cell"] = peak / static_cast<double>(gene.cells);
}

BENCHMARK(BM_EmIteration)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv)
{
    // A fixed threshold keeps every large table in its own mapping, returned on release,
    // so that the resident high-water mark sees each call's tables afresh.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
