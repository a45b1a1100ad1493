#include <algorithm>
#include <atomic>
#include <chrono>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "util/Errors.h"
#include "model/LogProduct.h"
#include "TestUtil.h"
#include "model/Densities.h"
#include "model/TranscriptMixture.h"
#include "util/ThreadPool.h"


namespace {

using Matrix = std::vector<std::vector<double>>;

// One gene with its fragment map, built directly in transcript coordinates.
struct Locus {
    GeneMap genes;
    GeneMap::iterator gene;
    FragmentMap fragments;

    explicit Locus(const std::vector<int32_t>& lengths)
    {
        Gene g;
        g.geneId = g.geneName = "GENE1";
        g.transcripts.resize(lengths.size());
        for (size_t t = 0; t < lengths.size(); ++t)
            g.transcripts[t].length = lengths[t];
        gene = genes.emplace(g.geneId, g).first;
    }

    // A start of 0 marks a transcript the fragment is not compatible with; fragment
    // lengths make the fragment paired.
    void add(const std::vector<int32_t>& starts, const std::vector<int32_t>& fragLengths = {})
    {
        char key[16];
        std::snprintf(key, sizeof key, "frag%06zu", fragments.size());
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

    // The fragments in key order, each with its compatible transcripts, as training takes them.
    CompatibleFragments compatible() const
    {
        CompatibleFragments table;
        table.firstEntry.assign(1, 0);
        std::size_t h = 0;
        for (const auto& [key, reads] : fragments) {
            const t_read& read = reads.front();
            for (std::size_t t = 0; t < read.transStarts.size(); ++t) {
                if (!gene->second.validities[h][t])
                    continue;
                table.entryTranscript.push_back(static_cast<uint32_t>(t));
                table.entryStart.push_back(read.transStarts[t]);
                table.entryLength.push_back(read.paired ? read.fragLengths[t] : 0);
            }
            table.firstEntry.push_back(static_cast<uint32_t>(table.entryTranscript.size()));
            table.paired.push_back(read.paired ? 1 : 0);
            ++h;
        }
        return table;
    }
};

struct ModelParams {
    std::vector<double> alphas;
    std::vector<uint64_t> groups;
    Matrix betas;  // per group
    std::vector<double> mus;
    std::vector<double> sigmas;
    std::vector<double> lambdas;
    std::vector<double> nus;

    TranscriptMixture build() const
    {
        const auto column = [](const std::vector<double>& values) {
            Matrix m;
            for (double v : values)
                m.push_back({v});
            return m;
        };
        std::vector<GaussMixture> pdfs(betas.size());
        for (size_t g = 0; g < betas.size(); ++g)
            pdfs[g].setAllParams(column(mus), column(sigmas), betas[g]);
        return TranscriptMixture(alphas, column(nus), column(lambdas), groups, pdfs);
    }
};

// Components laid evenly along the longest transcript, as the initial values do.
ModelParams evenLayout(const std::vector<int32_t>& lengths, int components, std::vector<uint64_t> groups = {})
{
    ModelParams p;
    const size_t T = lengths.size();
    const double longest = *std::max_element(lengths.begin(), lengths.end());
    if (groups.empty())
        groups.assign(T, 0);
    const uint64_t G = *std::max_element(groups.begin(), groups.end()) + 1;
    p.groups = groups;
    p.alphas.assign(T, 1.0 / static_cast<double>(T));
    p.betas.assign(G, std::vector<double>(components, 1.0 / components));
    for (int k = 0; k < components; ++k) {
        p.mus.push_back((2.0 * k + 1.0) * longest / (2.0 * components));
        p.sigmas.push_back(longest / (2.0 * components));
    }
    for (size_t t = 0; t < T; ++t) {
        p.lambdas.push_back(lengths[t] / longest);
        p.nus.push_back(0.0);
    }
    return p;
}

t_configuration trainingConf(int components)
{
    t_configuration conf;
    conf.nrBlocks = static_cast<int16_t>(components);
    conf.logFiles = true;
    return conf;
}

long iterationsLogged(const std::string& log)
{
    const auto logLines = testutil::lines(log);
    return std::count_if(logLines.begin(), logLines.end(), [](const std::string& l) { return l.rfind("Alphas, iteration", 0) == 0; });
}

// ---------------------------------------------------------------------------
// A direct implementation of the fragment density and the EM step, with full
// N x T x K tables and every sum formed term by term.

struct NaiveResult { std::vector<double> alphas; Matrix betas; std::vector<double> logLikelihoods; };

NaiveResult naiveTrain(const Locus& locus, const ModelParams& mp, int iterations, bool trainBetas)
{
    const Gene& gene = locus.gene->second;
    const size_t T = mp.alphas.size();
    const size_t K = mp.mus.size();
    const size_t N = locus.fragments.size();
    const size_t G = mp.betas.size();
    std::vector<std::vector<std::vector<double>>> P(N, Matrix(T, std::vector<double>(K)));

    Matrix mean(T, std::vector<double>(K));
    Matrix dev(T, std::vector<double>(K));
    Matrix Z(T, std::vector<double>(K, 0.0));
    Matrix lengthNorm(T);
    for (size_t t = 0; t < T; ++t) {
        const int L = gene.transcripts[t].length;
        for (size_t k = 0; k < K; ++k) {
            mean[t][k] = mp.mus[k] * mp.lambdas[t] + mp.nus[t];
            dev[t][k] = mp.sigmas[k] * mp.lambdas[t];
            for (int i = 1; i <= L; ++i)
                Z[t][k] += normpdf(dev[t][k], i, mean[t][k]);
        }
        for (int j = 1; j <= L; ++j)
            lengthNorm[t].push_back(normpdf(80, j, 200));
    }

    size_t h = 0;
    for (const auto& entry : locus.fragments) {
        const t_read& read = entry.second.front();
        for (size_t t = 0; t < T; ++t) {
            const bool valid = gene.validities[h][t];
            const double v = valid ? 1.0 : 0.0;
            const int L = gene.transcripts[t].length;
            const int x = read.transStarts[t];
            double lengthDensity = 0.0;
            if (read.paired) {
                lengthDensity = valid ? normpdf(80, read.fragLengths[t], 200) : 0.0;
                if (valid && L - x != 0) {
                    double sum = 0.0;
                    for (int j = 0; j < L - x; ++j)
                        sum += lengthNorm[t][j];
                    if (sum >= DBL_MIN)
                        lengthDensity /= sum;
                }
            }
            for (size_t k = 0; k < K; ++k) {
                const double start = normpdf(dev[t][k], x, mean[t][k]) / Z[t][k];
                P[h][t][k] = read.paired ? start * lengthDensity * v : start * v;
            }
        }
        ++h;
    }

    NaiveResult r{mp.alphas, mp.betas, {}};
    for (int it = 0; it < iterations; ++it) {
        std::vector<double> newAlphas(T, 0.0);
        Matrix betasAccu(G, std::vector<double>(K, 0.0));
        std::vector<double> probGroup(G, 0.0);
        std::vector<double> transProb(T, 0.0);
        std::vector<double> groupProb(G, 0.0);
        Matrix hitBlockProb(G, std::vector<double>(K, 0.0));
        double logLikelihood = 0.0;
        for (size_t f = 0; f < N; ++f) {
            double p = 0.0;
            for (size_t t = 0; t < T; ++t) {
                const size_t g = mp.groups[t];
                for (size_t k = 0; k < K; ++k) {
                    const double a = r.betas[g][k] * P[f][t][k];
                    transProb[t] += a;
                    p += a * r.alphas[t];
                    if (trainBetas) {
                        hitBlockProb[g][k] += P[f][t][k] * r.alphas[t];
                        groupProb[g] += a * r.alphas[t];
                    }
                }
            }
            if (p <= DBL_MIN) {
                std::fill(transProb.begin(), transProb.end(), 0.0);
                std::fill(groupProb.begin(), groupProb.end(), 0.0);
                for (auto& row : hitBlockProb)
                    std::fill(row.begin(), row.end(), 0.0);
                continue;
            }
            logLikelihood += std::log(p);
            for (size_t t = 0; t < T; ++t) {
                newAlphas[t] += ((r.alphas[t] * transProb[t]) / p) / static_cast<double>(N);
                transProb[t] = 0.0;
            }
            if (trainBetas) {
                for (size_t g = 0; g < G; ++g) {
                    if (groupProb[g] > DBL_MIN) {
                        probGroup[g] += groupProb[g] / p;
                        for (size_t k = 0; k < K; ++k)
                            betasAccu[g][k] += r.betas[g][k] * hitBlockProb[g][k] / p;
                    }
                    std::fill(hitBlockProb[g].begin(), hitBlockProb[g].end(), 0.0);
                    groupProb[g] = 0.0;
                }
            }
        }
        if (trainBetas)
            for (size_t g = 0; g < G; ++g)
                for (size_t k = 0; k < K; ++k)
                    r.betas[g][k] = probGroup[g] > DBL_MIN ? betasAccu[g][k] / probGroup[g]
                                                           : betasAccu[g][k] * 4.49423283715579e307;
        r.alphas = newAlphas;
        r.logLikelihoods.push_back(logLikelihood);
    }
    return r;
}

// Four transcripts in two groups, paired and single fragments, mixed compatibility,
// starts at both transcript ends.
struct RandomGene {
    Locus locus{{300, 520, 811, 1200}};
    ModelParams params;

    explicit RandomGene(unsigned seed, int components = 3, std::vector<uint64_t> groups = {0, 1, 0, 1})
    {
        params = evenLayout({300, 520, 811, 1200}, components, groups);
        params.nus = {0.0, 12.5, -7.0, 0.0};
        params.alphas = {0.1, 0.2, 0.3, 0.4};
        if (components == 3) {
            const Matrix betas{{0.2, 0.5, 0.3}, {0.6, 0.1, 0.3}, {0.25, 0.25, 0.5}, {0.7, 0.2, 0.1}};
            params.betas.assign(betas.begin(), betas.begin() + static_cast<std::ptrdiff_t>(params.betas.size()));
        }
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> coin(0, 1);
        std::uniform_int_distribution<int> fragLength(40, 420);
        const std::vector<int32_t> lengths{300, 520, 811, 1200};
        for (int f = 0; f < 80; ++f) {
            const bool paired = f % 3 != 0;
            std::vector<int32_t> starts(4, 0);
            std::vector<int32_t> fragLengths(4, 0);
            bool any = false;
            for (int t = 0; t < 4; ++t) {
                if (coin(rng) == 0 && !(f == 79 && !any && t == 3))
                    continue;
                any = true;
                std::uniform_int_distribution<int> start(1, lengths[t]);
                starts[t] = f % 17 == 5 ? lengths[t] : start(rng);
                fragLengths[t] = fragLength(rng);
            }
            locus.add(starts, paired ? fragLengths : std::vector<int32_t>{});
        }
        locus.add({1, 1, 1, 1}, {200, 200, 200, 200});
        locus.add({300, 0, 0, 1200});
        locus.add({0, 0, 0, 0});  // compatible with nothing: never counts
    }
};


struct Estimates { std::vector<double> alphas; Matrix betas; std::string log; };

// Trains a fresh model of the locus; several threads in the deferred pass take the
// block-parallel E-step.
Estimates train(Locus& locus, const ModelParams& params, t_configuration conf, int16_t nrThreads = 1)
{
    conf.nrThreads = nrThreads;
    TranscriptMixture model = params.build();
    Estimates result{params.alphas, {}, {}};
    std::stringstream log;
    CompatibleFragments fragments = locus.compatible();
    TrainingOptions options = trainingOptions(conf, nrThreads > 1);
    ThreadPool pool(static_cast<unsigned>(nrThreads));
    options.blockPool = &pool;
    model.train(fragments, locus.gene, result.alphas, options, log, "/nonexistent");
    for (const GaussMixture& pdf : model._tiedGroupPDFs)
        result.betas.push_back(pdf._weights);
    result.log = log.str();
    return result;
}

TEST(Training, MatchesTheDirectFormulasToTheLastBit)
{
    // Shared groups, and a group of its own for each transcript (the default tying, whose
    // step is a kernel of its own), in and out of transcript order.
    const std::vector<uint64_t> shared{0, 1, 0, 1};
    const std::vector<uint64_t> own{0, 1, 2, 3};
    const std::vector<uint64_t> ownShuffled{2, 0, 3, 1};
    struct Row { unsigned seed; int components; bool trainBetas; std::vector<uint64_t> groups; };
    for (const Row& row : std::vector<Row>{{1, 3, true, shared}, {7, 3, true, shared}, {12345, 3, true, shared},
                                           {21, 1, true, shared}, {21, 2, true, shared}, {21, 5, true, shared},
                                           {21, 7, true, shared}, {99, 3, false, shared}, {1, 3, true, own},
                                           {7, 3, true, ownShuffled}, {21, 2, true, own}, {21, 5, true, ownShuffled},
                                           {99, 3, false, own}}) {
        RandomGene random(row.seed, row.components, row.groups);
        t_configuration conf = trainingConf(row.components);
        conf.minParamDiff = 0.0;
        conf.likelihoodThreshold = 0.0;
        conf.nrIterations = 9;
        conf.trainBetas = row.trainBetas;
        const Estimates trained = train(random.locus, random.params, conf);
        const NaiveResult expected = naiveTrain(random.locus, random.params, 9, row.trainBetas);
        EXPECT_EQ(trained.alphas, expected.alphas) << "seed " << row.seed << ", " << row.components << " components";
        EXPECT_EQ(trained.betas, expected.betas) << "seed " << row.seed << ", " << row.components << " components";
        EXPECT_EQ(std::count(trained.log.begin(), trained.log.end(), '\n'), 9);
    }
}

// Two overlapping transcripts: the alphas drift slowly while the likelihood settles.
Locus driftingLocus(int fragments)
{
    Locus locus({1000, 900});
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> start(1, 900);
    for (int f = 0; f < fragments; ++f) {
        const int s = start(rng);
        locus.add({s, f % 4 == 0 ? 0 : s});
    }
    return locus;
}

TEST(Training, StopsOnSettledParametersOrLikelihoodOrTheIterationLimit)
{
    Locus locus = driftingLocus(40);
    const ModelParams p = evenLayout({1000, 900}, 3);
    const NaiveResult naive = naiveTrain(locus, p, 12, true);
    ASSERT_LT(std::fabs(naive.logLikelihoods[10] - naive.logLikelihoods[9]), 0.5);
    ASSERT_GT(std::fabs(naive.logLikelihoods[9] - naive.logLikelihoods[8]), 1e-3);
    struct Row { double minParamDiff, likelihood; int16_t iterations; int expectedIterations; std::string message; };
    const std::vector<Row> rows = {
        {0.0, 0.5, 500, 11, "Terminated the EM algorithm because difference in log(likelihood)"}, {0.0, 1e-9, 5, 5, ""},
        {1e-4, 0.0, 500, 0, "Terminated the EM algorithm because the change in value of parameters"}, {0.0, 1e9, 500, 11, "Finished Initialization in iteration 11 with log likelihood"},
    };
    for (Row row : rows) {
        // Parameters settle in the first iteration whose alphas all move less than the limit.
        for (int n = 0; row.expectedIterations == 0 && n < 500; ++n) {
            const auto before = naiveTrain(locus, p, n, true).alphas;
            const auto after = naiveTrain(locus, p, n + 1, true).alphas;
            if (std::fabs(after[0] - before[0]) < row.minParamDiff && std::fabs(after[1] - before[1]) < row.minParamDiff)
                row.expectedIterations = n + 1;
        }
        t_configuration conf = trainingConf(3);
        conf.minParamDiff = row.minParamDiff;
        conf.likelihoodThreshold = row.likelihood;
        conf.nrIterations = row.iterations;
        const Estimates trained = train(locus, p, conf);
        EXPECT_EQ(iterationsLogged(trained.log), row.expectedIterations) << trained.log;
        // An empty message: it ran to the iteration limit, which the log does not announce.
        EXPECT_EQ(testutil::contains(trained.log, row.message.empty() ? "Terminated the EM algorithm" : row.message),
                  !row.message.empty()) << trained.log;
        EXPECT_EQ(trained.alphas, naiveTrain(locus, p, row.expectedIterations, true).alphas);
    }
}

// Without log files the rule reads bounded likelihood sums and takes exact ones when a
// difference lies too close to the threshold to tell: thresholds at the differences.
TEST(Training, BoundedLikelihoodsStopWhereExactOnesDo)
{
    Locus locus = driftingLocus(3000);
    const ModelParams p = evenLayout({1000, 900}, 3);
    const int kIterations = 30;
    const std::vector<double> ll = naiveTrain(locus, p, kIterations, true).logLikelihoods;
    std::vector<double> thresholds = {0.5, 0.0};
    for (int n : {10, 12, 15}) {
        const double d = std::fabs(ll[n] - ll[n - 1]);
        // Sums of this size differ in steps of their last place: thresholds at and
        // around a difference, a step apart.
        const double step = std::fabs(ll[n]) * DBL_EPSILON;
        for (double offset : {-2.0, -1.0, -0.5, 0.0, 0.5, 1.0, 2.0})
            thresholds.push_back(d + offset * step);
    }
    for (double threshold : thresholds) {
        int expected = kIterations;
        for (int n = 10; n < kIterations; ++n)
            if (std::fabs(ll[n] - ll[n - 1]) < threshold) {
                expected = n + 1;
                break;
            }
        t_configuration conf = trainingConf(3);
        conf.logFiles = false;
        conf.minParamDiff = 0.0;
        conf.likelihoodThreshold = threshold;
        conf.nrIterations = kIterations;
        EXPECT_EQ(train(locus, p, conf).alphas, naiveTrain(locus, p, expected, true).alphas) << threshold;
    }
}

TEST(Training, LogProductLiesWithinItsBoundOfTheSumOfLogarithms)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> exponent(-1000.0, 20.0);
    for (int n : {1, 31, 32, 33, 5000}) {
        LogProduct product;
        double exact = 0.0;
        for (int i = 0; i < n; ++i) {
            const double value = i % 7 == 0 ? DBL_MIN * 1.5 : std::exp2(exponent(rng));
            product.add(value);
            exact += std::log(value);
        }
        EXPECT_LE(std::fabs(product.value() - exact), product.bound()) << n;
        EXPECT_LT(product.bound(), 1e-9 * std::fabs(exact) + 1e-12) << n;
    }
    LogProduct overflowing;
    overflowing.add(INFINITY);
    EXPECT_TRUE(std::isnan(overflowing.value()));
}

// Summation order is the only difference between the paths; the blocks are the same
// at any thread count (a threshold of 0 makes one thread sum them too), so the
// estimates are bit for bit the same.
TEST(Training, BlockParallelEStepAgreesWithTheSequentialOne)
{
    for (unsigned seed : {3u, 17u}) {
        RandomGene random(seed);
        t_configuration conf = trainingConf(3);
        conf.nrIterations = 40;
        conf.minParamDiff = 0.0;
        const Estimates sequential = train(random.locus, random.params, conf);
        t_configuration blockedConf = conf;
        blockedConf.fragsThreshold = 0;
        const Estimates blocked = train(random.locus, random.params, blockedConf);
        for (int16_t threads : {2, 3, 4}) {
            const Estimates parallel = train(random.locus, random.params, conf, threads);
            EXPECT_EQ(parallel.alphas, blocked.alphas) << seed << ", " << threads << " threads";
            EXPECT_EQ(parallel.betas, blocked.betas) << seed << ", " << threads << " threads";
            for (size_t t = 0; t < sequential.alphas.size(); ++t)
                EXPECT_NEAR(parallel.alphas[t], sequential.alphas[t], 1e-9 * sequential.alphas[t]) << seed;
            for (size_t g = 0; g < sequential.betas.size(); ++g)
                for (size_t k = 0; k < sequential.betas[g].size(); ++k)
                    EXPECT_NEAR(parallel.betas[g][k], sequential.betas[g][k], 1e-9) << seed;
            EXPECT_EQ(parallel.log, sequential.log) << seed << ", " << threads << " threads";
        }
    }
}

// The run's one pool serves pass after pass: every item once, on a slot of its own
// thread; a failure on a worker is told once, stops the taking and ends in RunAborted.
TEST(ThreadPool, RunsEveryItemOnceAndStopsAtAFailure)
{
    struct Row { unsigned threads; std::size_t items; std::size_t failing; std::size_t ranAtMost; };  // failing == items: none
    for (const Row& row : std::vector<Row>{{1, 0, 0, 0}, {1, 7, 7, 7}, {2, 1, 1, 1}, {3, 500, 500, 500},
                                           {2, 500, 3, 100}, {1, 9, 4, 5}}) {
        ThreadPool pool(row.threads);
        EXPECT_EQ(pool.slots(), row.threads > 1 ? row.threads + 1 : 1u);
        for (int pass = 0; pass < 3; ++pass) {
            std::vector<std::atomic<int>> calls(row.items);
            std::atomic<bool> slotsInRange{true};
            const ThreadPool::Body body = [&](std::size_t item, unsigned slot) {
                calls[item]++;
                slotsInRange = slotsInRange && slot < pool.slots();
                if (item == row.failing)
                    throw std::runtime_error("item failed");
                std::this_thread::sleep_for(std::chrono::microseconds(50));  // work the others take meanwhile
            };
            testing::internal::CaptureStderr();
            if (row.failing == row.items)
                EXPECT_NO_THROW(pool.forEach(row.items, body));
            else if (row.threads > 1)
                EXPECT_THROW(pool.forEach(row.items, body), RunAborted);
            else
                EXPECT_THROW(pool.forEach(row.items, body), std::runtime_error);
            EXPECT_EQ(testing::internal::GetCapturedStderr(),
                      row.failing < row.items && row.threads > 1 ? "Error: item failed\n" : "");
            EXPECT_TRUE(slotsInRange);
            std::size_t ran = 0;
            for (std::size_t i = 0; i < row.items; ++i) {
                EXPECT_EQ(calls[i].load(), i <= row.failing ? 1 : calls[i].load() & 1) << "item " << i;
                ran += static_cast<std::size_t>(calls[i].load());
            }
            EXPECT_LE(ran, row.ranAtMost);
            EXPECT_GE(ran, std::min(row.failing + 1, row.items));
        }
    }
}

// A broken precondition is a programming error, but main still decides how the run
// ends: the training throws rather than ending the process.
TEST(Training, BrokenPreconditionThrows)
{
    RandomGene random(1);
    t_configuration conf = trainingConf(2);  // the model's mixtures have 3 components
    EXPECT_THROW(train(random.locus, random.params, conf), std::logic_error);
}

// The positional-bias references written by the development trace: {1} for a
// transcript of length 1 whatever the bias.
TEST(Training, BiasReferencesOfALengthOneTranscriptAreOne)
{
    for (int16_t biasType : {1, 2, 3, 4}) {
        testutil::TempDir dir;
        Locus locus({1, 2});
        for (int f = 0; f < 6; ++f)
            locus.add({f % 2 == 0 ? 1 : 0, 1 + f % 2});
        ModelParams p = evenLayout({1, 2}, 2);
        t_configuration conf = trainingConf(2);
        conf.biasType = biasType;
        std::stringstream log;
        CompatibleFragments fragments = locus.compatible();
        p.build().train(fragments, locus.gene, p.alphas, trainingOptions(conf), log, dir.path());
        EXPECT_TRUE(testutil::contains(testutil::readText(dir.file("L1_Dist_GENE1")), "# columns: 1\n1 \n")) << biasType;
    }
}

} // namespace
