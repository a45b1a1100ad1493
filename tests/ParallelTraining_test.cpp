// Training of deferred large genes with the E-step split into blocks over a private
// thread pool, checked against the single-thread training of the same gene.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include "TestUtil.h"
#include "kestrovemodel.h"

// Every allocation of the process is counted, so that a test can tell whether the
// iterations of a training allocate. Sanitizer builds bring their own allocator, which
// shared libraries keep using, so the count is left to the plain builds.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define KESTROVE_COUNTS_ALLOCATIONS 1

namespace {
std::atomic<uint64_t> allocations{0};
} // namespace

void* operator new(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

void* operator new(std::size_t size, std::align_val_t alignment)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    const std::size_t a = static_cast<std::size_t>(alignment);
    if (void* p = std::aligned_alloc(a, (std::max<std::size_t>(size, 1) + a - 1) / a * a))
        return p;
    throw std::bad_alloc();
}

// Out of line, so that the compiler does not pair an inlined free() with a new expression.
[[gnu::noinline]] void releaseAllocation(void* p) noexcept { std::free(p); }

void operator delete(void* p) noexcept { releaseAllocation(p); }
void operator delete(void* p, std::size_t) noexcept { releaseAllocation(p); }
void operator delete(void* p, std::align_val_t) noexcept { releaseAllocation(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { releaseAllocation(p); }
#endif

namespace {

using Matrix = std::vector<std::vector<double>>;
using testutil::readText;
using testutil::TempDir;

// One gene with its fragment map, built directly in transcript coordinates.
struct Locus {
    GeneMap genes;
    GeneMap::iterator gene;
    FragmentMap fragments;

    explicit Locus(const std::vector<int32_t>& lengths)
    {
        Gene g;
        g.geneId = "BIG1";
        g.geneName = "BIG1";
        for (size_t t = 0; t < lengths.size(); ++t) {
            t_transcript transcript;
            transcript.transcriptId = "BIG1.T" + std::to_string(t);
            transcript.length = lengths[t];
            g.transcripts.push_back(transcript);
        }
        gene = genes.emplace(g.geneId, g).first;
    }

    // A start of 0 marks a transcript the fragment is not compatible with; fragment
    // lengths make the fragment paired.
    void add(const std::vector<int32_t>& starts, const std::vector<int32_t>& fragLengths = {})
    {
        char key[16];
        std::snprintf(key, sizeof key, "frag%07zu", fragments.size());
        t_read read;
        read.name = key;
        read.paired = !fragLengths.empty();
        read.transStarts = starts;
        read.fragLengths = read.paired ? fragLengths : std::vector<int32_t>(starts.size(), 0);
        read.transEnds.assign(starts.size(), 0);
        std::vector<bool> row;
        for (int32_t s : starts)
            row.push_back(s != 0);
        fragments[key] = {read};
        gene->second.validities.push_back(row);
    }
};

// Initial values as a gene's would be: components laid evenly along the longest
// transcript, uniform betas, the given groups and alphas.
struct Model {
    std::vector<int32_t> lengths;
    std::vector<uint64_t> groups;
    std::vector<double> alphas;
    int components = 3;

    KestroveModel build() const
    {
        const double longest = *std::max_element(lengths.begin(), lengths.end());
        Matrix mus;
        Matrix sigmas;
        for (int k = 0; k < components; ++k) {
            mus.push_back({(2.0 * k + 1.0) * longest / (2.0 * components)});
            sigmas.push_back({longest / (2.0 * components)});
        }
        const uint64_t G = *std::max_element(groups.begin(), groups.end()) + 1;
        std::vector<GaussMixture> pdfs(G);
        for (auto& pdf : pdfs)
            pdf.setAllParams(mus, sigmas, std::vector<double>(components, 1.0 / components));
        Matrix shifts;
        Matrix scales;
        for (int32_t length : lengths) {
            shifts.push_back({0.0});
            scales.push_back({length / longest});
        }
        return KestroveModel(alphas, shifts, scales, groups, pdfs);
    }
};

// A gene of overlapping isoforms: each fragment compatible with a random subset of the
// transcripts, starts drawn towards one end for some isoforms, paired and single reads.
struct RandomGene {
    Model model;
    Locus locus;
    std::vector<double> startAlphas;  // the alphas training starts from, when not the model's

    RandomGene(unsigned seed, size_t nrFragments, std::vector<int32_t> lengths, std::vector<uint64_t> groups,
               int components = 3)
        : model{lengths, groups, std::vector<double>(lengths.size(), 1.0 / lengths.size()), components},
          locus(lengths)
    {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::uniform_int_distribution<int> fragLength(60, 450);
        const size_t T = lengths.size();
        for (size_t f = 0; f < nrFragments; ++f) {
            std::vector<int32_t> starts(T, 0);
            std::vector<int32_t> fragLengths(T, 0);
            // Transcript f % T is always compatible, so no fragment is left without one.
            for (size_t t = 0; t < T; ++t) {
                if (t != f % T && unit(rng) < 0.5)
                    continue;
                const double u = unit(rng);
                const double skewed = t % 2 == 0 ? u * u : u;
                starts[t] = 1 + static_cast<int32_t>(skewed * (lengths[t] - 1));
                fragLengths[t] = fragLength(rng);
            }
            locus.add(starts, f % 4 == 0 ? std::vector<int32_t>{} : fragLengths);
        }
    }
};

t_configuration trainingConf(int components)
{
    t_configuration conf;
    conf.nrBlocks = static_cast<int16_t>(components);
    conf.logFiles = true;
    return conf;
}

struct Estimates {
    std::vector<double> alphas;
    Matrix betas;
    std::string log;
};

// Trains a fresh model of the gene; nrThreads above 1 with deferredPass takes the
// block-parallel path.
Estimates train(RandomGene& gene, t_configuration conf, bool deferred, int16_t nrThreads,
                const std::string& outputDir = "/nonexistent")
{
    conf.deferredPass = deferred;
    conf.nrThreads = nrThreads;
    KestroveModel model = gene.model.build();
    Estimates result;
    result.alphas = gene.startAlphas.empty() ? gene.model.alphas : gene.startAlphas;
    std::stringstream log;
    model.train(gene.locus.fragments, gene.locus.gene, result.alphas, conf, log, outputDir);
    for (const GaussMixture& pdf : model._tiedGroupPDFs)
        result.betas.push_back(pdf._weights);
    result.log = log.str();
    return result;
}

std::string fiveDecimals(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.5f", value);
    return text;
}

bool closeRelative(double a, double b, double tolerance)
{
    return std::fabs(a - b) <= tolerance * std::max(std::fabs(a), std::fabs(b));
}

// Summation order is the only difference between the paths.
void expectSameEstimates(const Estimates& parallel, const Estimates& sequential, const std::string& what)
{
    ASSERT_EQ(parallel.alphas.size(), sequential.alphas.size()) << what;
    for (size_t t = 0; t < sequential.alphas.size(); ++t) {
        EXPECT_TRUE(closeRelative(parallel.alphas[t], sequential.alphas[t], 1e-9))
            << what << " alpha " << t << ": " << parallel.alphas[t] << " vs " << sequential.alphas[t];
        EXPECT_EQ(fiveDecimals(parallel.alphas[t]), fiveDecimals(sequential.alphas[t])) << what << " alpha " << t;
    }
    ASSERT_EQ(parallel.betas.size(), sequential.betas.size()) << what;
    for (size_t g = 0; g < sequential.betas.size(); ++g) {
        ASSERT_EQ(parallel.betas[g].size(), sequential.betas[g].size()) << what;
        for (size_t k = 0; k < sequential.betas[g].size(); ++k) {
            EXPECT_TRUE(closeRelative(parallel.betas[g][k], sequential.betas[g][k], 1e-9))
                << what << " beta " << g << "," << k << ": " << parallel.betas[g][k] << " vs "
                << sequential.betas[g][k];
            EXPECT_EQ(fiveDecimals(parallel.betas[g][k]), fiveDecimals(sequential.betas[g][k])) << what;
        }
    }
}

int countOccurrences(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

// ---------------------------------------------------------------------------

TEST(BlockSplit, LastOfFourBlocksTakesTheRemainderOfTenFragments)
{
    const std::vector<std::pair<uint64_t, uint64_t>> expected{{0, 2}, {2, 4}, {4, 6}, {6, 10}};
    for (uint64_t i = 0; i < 4; ++i) {
        const FragmentBlock block = fragmentBlock(10, 4, i);
        EXPECT_EQ(block.begin, expected[i].first) << "block " << i;
        EXPECT_EQ(block.end, expected[i].second) << "block " << i;
    }
}

TEST(BlockSplit, FewerFragmentsThanThreadsLeaveOnlyTheLastBlockFilled)
{
    for (uint64_t i = 0; i < 3; ++i) {
        const FragmentBlock block = fragmentBlock(3, 4, i);
        EXPECT_EQ(block.begin, block.end) << "block " << i;
    }
    const FragmentBlock last = fragmentBlock(3, 4, 3);
    EXPECT_EQ(last.begin, 0u);
    EXPECT_EQ(last.end, 3u);
}

TEST(BlockSplit, BlocksCoverEveryFragmentOnceInOrder)
{
    for (uint64_t threads = 1; threads <= 9; ++threads) {
        for (uint64_t n = 0; n <= 60; ++n) {
            uint64_t next = 0;
            for (uint64_t i = 0; i < threads; ++i) {
                const FragmentBlock block = fragmentBlock(n, threads, i);
                ASSERT_EQ(block.begin, next) << n << " fragments, " << threads << " threads, block " << i;
                ASSERT_LE(block.begin, block.end);
                if (i + 1 < threads) {
                    ASSERT_EQ(block.end - block.begin, n / threads);
                }
                next = block.end;
            }
            EXPECT_EQ(next, n) << n << " fragments, " << threads << " threads";
        }
    }
}

// ---------------------------------------------------------------------------

TEST(BlockParallelTraining, AgreesWithSequentialTrainingAndWritesTheSameLog)
{
    for (unsigned seed : {3u, 17u, 2024u}) {
        RandomGene gene(seed, 700, {900, 1400, 2100, 2600, 3100}, {0, 1, 0, 2, 1});
        const t_configuration conf = trainingConf(3);
        const Estimates sequential = train(gene, conf, false, 1);
        const int iterations = countOccurrences(sequential.log, "Alphas, iteration");
        // Neither the first iteration nor the limit: a stop rule ended the training.
        ASSERT_GT(iterations, 10) << sequential.log;
        ASSERT_LT(iterations, conf.nrIterations);
        for (int16_t threads : {2, 3, 4}) {
            const std::string what = "seed " + std::to_string(seed) + ", " + std::to_string(threads) + " threads";
            const Estimates parallel = train(gene, conf, true, threads);
            expectSameEstimates(parallel, sequential, what);
            EXPECT_EQ(parallel.log, sequential.log) << what;
        }
    }
}

TEST(BlockParallelTraining, AgreesOverManyIterationsForEveryComponentCount)
{
    for (int components : {1, 2, 5}) {
        RandomGene gene(41, 333, {700, 1000, 1800}, {0, 0, 1}, components);
        t_configuration conf = trainingConf(components);
        conf.minParamDiff = 0.0;
        conf.likelihoodThreshold = 0.0;
        conf.nrIterations = 60;
        const Estimates sequential = train(gene, conf, false, 1);
        for (int16_t threads : {2, 3, 4}) {
            const Estimates parallel = train(gene, conf, true, threads);
            expectSameEstimates(parallel, sequential,
                                std::to_string(components) + " components, " + std::to_string(threads) + " threads");
            EXPECT_EQ(countOccurrences(parallel.log, "Alphas, iteration"), 60);
        }
    }
}

TEST(BlockParallelTraining, FewerFragmentsThanThreadsGiveTheSequentialValuesExactly)
{
    // All fragments fall into the last block; the empty blocks merge zeros, which change nothing.
    for (size_t n : {1u, 3u}) {
        RandomGene gene(5, n, {800, 1200}, {0, 1});
        t_configuration conf = trainingConf(3);
        conf.nrIterations = 20;
        const Estimates sequential = train(gene, conf, false, 1);
        const Estimates parallel = train(gene, conf, true, 4);
        EXPECT_EQ(parallel.alphas, sequential.alphas) << n << " fragments";
        EXPECT_EQ(parallel.betas, sequential.betas) << n << " fragments";
        EXPECT_EQ(parallel.log, sequential.log) << n << " fragments";
    }
}

TEST(BlockParallelTraining, AlwaysTrainsTheBetas)
{
    RandomGene gene(8, 240, {1000, 1500}, {0, 1});
    t_configuration conf = trainingConf(3);
    conf.nrIterations = 25;
    const Estimates trained = train(gene, conf, false, 1);
    conf.trainBetas = false;
    const Estimates parallel = train(gene, conf, true, 2);
    expectSameEstimates(parallel, trained, "fix-betas set on the deferred path");
    EXPECT_NE(parallel.betas[0], std::vector<double>(3, 1.0 / 3.0));
}

TEST(BlockParallelTraining, NaNAlphasAreReportedInEveryIteration)
{
    RandomGene gene(9, 50, {600, 900}, {0, 0});
    gene.startAlphas = {std::nan(""), 0.5};
    t_configuration conf = trainingConf(3);
    conf.nrIterations = 6;
    const Estimates parallel = train(gene, conf, true, 2);
    EXPECT_EQ(countOccurrences(parallel.log,
                               "At least one element of the alpha parameters turned NaN during the estimation.\n"),
              6);
    EXPECT_TRUE(std::isnan(parallel.alphas[0]));
    EXPECT_EQ(parallel.log, train(gene, conf, false, 1).log);
}

TEST(BlockParallelTraining, BetasHistoryIsWrittenAsOnTheSequentialPath)
{
    RandomGene gene(12, 300, {1000, 1300, 1700}, {0, 1, 1});
    t_configuration conf = trainingConf(3);
    conf.observBetas = true;
    conf.nrIterations = 15;
    conf.minParamDiff = 0.0;
    conf.likelihoodThreshold = 0.0;
    TempDir sequentialDir;
    TempDir parallelDir;
    train(gene, conf, false, 1, sequentialDir.path());
    train(gene, conf, true, 3, parallelDir.path());
    const std::string expected = readText(sequentialDir.file("betas_iterations.dat"));
    ASSERT_NE(expected.find("# columns: 15\n"), std::string::npos) << expected;
    EXPECT_EQ(readText(parallelDir.file("betas_iterations.dat")), expected);
}

TEST(BlockParallelTraining, ConsecutiveGenesStartFromCleanSums)
{
    RandomGene first(21, 900, {1200, 2500, 3000, 1900}, {0, 1, 2, 3});
    RandomGene second(22, 150, {700, 800}, {0, 0}, 3);
    t_configuration conf = trainingConf(3);
    train(first, conf, true, 2);
    const Estimates afterFirst = train(second, conf, true, 2);
    expectSameEstimates(afterFirst, train(second, conf, false, 1), "second deferred gene");
}

TEST(BlockParallelTraining, IterationsAllocateNothing)
{
#ifndef KESTROVE_COUNTS_ALLOCATIONS
    GTEST_SKIP() << "allocations are counted in builds without sanitizers";
#else
    RandomGene gene(30, 400, {900, 1400, 2000}, {0, 1, 1});
    t_configuration conf = trainingConf(3);
    conf.logFiles = false;
    conf.minParamDiff = 0.0;
    conf.likelihoodThreshold = 0.0;
    // Set-up allocates the same whatever the iteration count, so any difference comes
    // from the loop. The first training of the process also fills one-time caches.
    train(gene, conf, true, 2);
    auto allocationsOfTraining = [&](int16_t iterations, int16_t threads) {
        conf.nrIterations = iterations;
        const uint64_t before = allocations.load();
        train(gene, conf, true, threads);
        return allocations.load() - before;
    };
    for (int16_t threads : {1, 2, 4}) {
        const uint64_t few = allocationsOfTraining(3, threads);
        const uint64_t many = allocationsOfTraining(40, threads);
        EXPECT_GT(few, 0u);
        EXPECT_EQ(many, few) << threads << " threads";
    }
#endif
}

// ---------------------------------------------------------------------------
// Whole runs of the development build: the same experiment with one thread, and with
// two threads and a threshold that defers the larger genes.

std::string quoted(const std::string& text) { return "'" + text + "'"; }

using testutil::splitOn;

size_t columnOf(const std::vector<std::string>& header, const std::string& name)
{
    const auto at = std::find(header.begin(), header.end(), name);
    if (at == header.end())
        throw std::runtime_error("no column " + name);
    return static_cast<size_t>(at - header.begin());
}

std::vector<std::string> column(const std::string& summary, const std::string& name)
{
    const std::vector<std::string> rows = splitOn(summary, '\n');
    const size_t c = columnOf(splitOn(rows.at(0), '\t'), name);
    std::vector<std::string> values;
    for (size_t i = 1; i < rows.size(); ++i)
        values.push_back(splitOn(rows[i], '\t').at(c));
    return values;
}

// Two printed numbers differ by at most one unit of their last decimal (with a margin
// for the rounding of the subtraction of two large values).
bool withinLastDecimal(const std::string& a, const std::string& b)
{
    const size_t pointA = a.find('.');
    const size_t pointB = b.find('.');
    if (pointA == std::string::npos || pointB == std::string::npos || a.size() - pointA != b.size() - pointB)
        return false;
    char* endA = nullptr;
    char* endB = nullptr;
    const double x = std::strtod(a.c_str(), &endA);
    const double y = std::strtod(b.c_str(), &endB);
    if (*endA != '\0' || *endB != '\0')
        return false;
    const double unit = std::pow(10.0, -static_cast<double>(a.size() - pointA - 1));
    return std::fabs(x - y) <= unit * 1.001;
}

// Texts equal token by token. The deferred genes' sums are merged block by block in
// the order the blocks finish, so a value lying on a rounding boundary may print one
// unit apart in its last decimal; every other token must be identical.
void expectSamePrintedValues(const std::string& actual, const std::string& expected, const std::string& what)
{
    const std::vector<std::string> actualLines = splitOn(actual, '\n');
    const std::vector<std::string> expectedLines = splitOn(expected, '\n');
    ASSERT_EQ(actualLines.size(), expectedLines.size()) << what;
    for (size_t i = 0; i < expectedLines.size(); ++i) {
        if (actualLines[i] == expectedLines[i])
            continue;
        std::vector<std::string> actualTokens;
        std::vector<std::string> expectedTokens;
        std::istringstream a(actualLines[i]);
        std::istringstream e(expectedLines[i]);
        for (std::string token; a >> token;)
            actualTokens.push_back(token);
        for (std::string token; e >> token;)
            expectedTokens.push_back(token);
        ASSERT_EQ(actualTokens.size(), expectedTokens.size()) << what << " line " << i + 1;
        for (size_t j = 0; j < expectedTokens.size(); ++j)
            EXPECT_TRUE(actualTokens[j] == expectedTokens[j] || withinLastDecimal(actualTokens[j], expectedTokens[j]))
                << what << " line " << i + 1 << ": " << actualTokens[j] << " vs " << expectedTokens[j];
    }
}

// The lines training writes into a gene's log.
std::string trainingLines(const std::string& log)
{
    std::string kept;
    for (const std::string& line : splitOn(log, '\n')) {
        for (const char* start : {"Alphas, iteration", "Finished Initialization", "Terminated the EM",
                                  "At least one element", "Final Alphas", "Final Betas"}) {
            if (line.rfind(start, 0) == 0) {
                kept += line + "\n";
                break;
            }
        }
    }
    return kept;
}

TEST(DeferredRun, DeferredGenesAreReportedOnceWithTheSingleThreadValues)
{
    if (boost::thread::hardware_concurrency() < 2)
        GTEST_SKIP() << "needs two hardware threads";
    TempDir dir;
    const auto simulated = testutil::run(quoted(testutil::toolPath("simulate")) +
                                         " --genes 16 --fragments 24000 --seed 77 --out-prefix " +
                                         quoted(dir.file("sim")));
    ASSERT_EQ(simulated.status, 0) << simulated.err;
    auto quantify = [&](const std::string& output, const std::string& options) {
        return testutil::run("cd " + quoted(dir.path()) + " && " + quoted(testutil::kestroveDevExe()) +
                             " -G sim.gtf -B sim.bam --log-files -o " + output + " " + options);
    };
    const int threshold = 1400;
    const auto single = quantify("one", "");
    ASSERT_EQ(single.status, 0) << single.err;
    const auto deferred = quantify("two", "--threads 2 --frags-threshold " + std::to_string(threshold));
    ASSERT_EQ(deferred.status, 0) << deferred.err;
    EXPECT_NE(deferred.out.find("\n> 16 genes processed.\n"), std::string::npos) << deferred.out;

    const std::string expectedGenes = readText(dir.file("one/genes_summary_sim.dat"));
    const std::string actualGenes = readText(dir.file("two/genes_summary_sim.dat"));
    const std::vector<std::string> geneIds = column(expectedGenes, "gene_ID");
    ASSERT_EQ(geneIds.size(), 16u);
    EXPECT_EQ(std::set<std::string>(geneIds.begin(), geneIds.end()).size(), 16u);
    EXPECT_EQ(column(actualGenes, "gene_ID"), geneIds);

    int nrDeferred = 0;
    for (const std::string& count : column(expectedGenes, "frags_locus"))
        nrDeferred += std::stoi(count) >= threshold ? 1 : 0;
    ASSERT_GT(nrDeferred, 2);
    ASSERT_LT(nrDeferred, 14);
    for (const std::string& status : column(actualGenes, "status"))
        EXPECT_EQ(status, "OK");

    const std::string expectedTranscripts = readText(dir.file("one/transcripts_summary_sim.dat"));
    const std::string actualTranscripts = readText(dir.file("two/transcripts_summary_sim.dat"));
    const std::vector<std::string> transcriptIds = column(expectedTranscripts, "tracking_ID");
    EXPECT_EQ(std::set<std::string>(transcriptIds.begin(), transcriptIds.end()).size(), transcriptIds.size());
    EXPECT_EQ(column(actualTranscripts, "tracking_ID"), transcriptIds);

    expectSamePrintedValues(actualGenes, expectedGenes, "genes summary");
    expectSamePrintedValues(actualTranscripts, expectedTranscripts, "transcripts summary");

    int nrLogs = 0;
    for (const auto& entry : boost::filesystem::directory_iterator(dir.file("one/logfiles"))) {
        const std::string name = entry.path().filename().string();
        const std::string expectedLog = trainingLines(readText(entry.path().string()));
        ASSERT_NE(expectedLog.find("Final Alphas"), std::string::npos) << name;
        expectSamePrintedValues(trainingLines(readText(dir.file("two/logfiles/" + name))), expectedLog, name);
        ++nrLogs;
    }
    EXPECT_EQ(nrLogs, 16);
}

} // namespace
