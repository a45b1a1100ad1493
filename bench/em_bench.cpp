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
#include <random>
#include <sstream>
#include <string>

#include <benchmark/benchmark.h>
#include <malloc.h>

#include "kestrovemodel.h"

namespace {

constexpr int kFragments = 200000;
constexpr int kTranscripts = 10;
constexpr int kComponents = 3;
constexpr int kTimedIterations = 20;

// CPU time of this thread: the figures stay meaningful on a loaded machine.
double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

struct BigGene {
    GeneMap genes;
    GeneMap::iterator gene;
    CompatibleFragments compatible;
    uint64_t cells = 0;
    std::vector<int32_t> lengths;

    BigGene()
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
        compatible.firstEntry.push_back(0);
        for (int f = 0; f < kFragments; ++f) {
            std::vector<bool> row(kTranscripts, false);
            for (int n = compatibleCount(rng); n > 0;) {
                const int t = transcript(rng);
                if (!row[t]) {
                    row[t] = true;
                    --n;
                }
            }
            for (int t = 0; t < kTranscripts; ++t) {
                if (!row[t])
                    continue;
                std::uniform_int_distribution<int> start(1, lengths[t]);
                compatible.entryTranscript.push_back(static_cast<uint32_t>(t));
                compatible.entryStart.push_back(start(rng));
                compatible.entryLength.push_back(fragLength(rng));
                cells += kComponents;
            }
            compatible.firstEntry.push_back(compatible.entryTranscript.size());
            compatible.paired.push_back(1);
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
        // Without tying options every transcript is a group of its own.
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

    // Seconds of one train call running exactly `iterations` EM iterations.
    double train(int iterations)
    {
        KestroveModel m = model();
        t_configuration conf;
        conf.nrBlocks = kComponents;
        conf.nrIterations = static_cast<int16_t>(iterations);
        conf.minParamDiff = 0.0;
        conf.likelihoodThreshold = 0.0;
        std::vector<double> alphas(kTranscripts, 1.0 / kTranscripts);
        std::stringstream log;
        // Training consumes its tables, as a locus's are once estimated.
        CompatibleFragments fragments = compatible;
        const double begin = threadSeconds();
        m.train(fragments, gene, alphas, conf, log, "/nonexistent");
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
