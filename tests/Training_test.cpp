#include <cfloat>
#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "kestrovemodel.h"

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
        g.geneId = "GENE1";
        g.geneName = "GENE1";
        for (size_t t = 0; t < lengths.size(); ++t) {
            t_transcript transcript;
            transcript.transcriptId = "TR" + std::to_string(t);
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

    size_t nrTranscripts() const { return gene->second.transcripts.size(); }
};

struct ModelParams {
    std::vector<double> alphas;
    std::vector<uint64_t> groups;
    Matrix betas;  // per group
    std::vector<double> mus;
    std::vector<double> sigmas;
    std::vector<double> lambdas;
    std::vector<double> nus;

    KestroveModel build() const
    {
        Matrix mus1;
        Matrix sigmas1;
        for (size_t k = 0; k < mus.size(); ++k) {
            mus1.push_back({mus[k]});
            sigmas1.push_back({sigmas[k]});
        }
        std::vector<GaussMixture> pdfs(betas.size());
        for (size_t g = 0; g < betas.size(); ++g)
            pdfs[g].setAllParams(mus1, sigmas1, betas[g]);
        Matrix shifts;
        Matrix scales;
        for (size_t t = 0; t < alphas.size(); ++t) {
            shifts.push_back({nus[t]});
            scales.push_back({lambdas[t]});
        }
        return KestroveModel(alphas, shifts, scales, groups, pdfs);
    }
};

// Components laid evenly along the longest transcript, as the initial values do.
ModelParams evenLayout(const std::vector<int32_t>& lengths, int components, std::vector<uint64_t> groups = {})
{
    ModelParams p;
    const size_t T = lengths.size();
    double longest = 0;
    for (int32_t l : lengths)
        longest = std::max(longest, static_cast<double>(l));
    if (groups.empty())
        groups.assign(T, 0);
    uint64_t G = 0;
    for (uint64_t g : groups)
        G = std::max(G, g + 1);
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

int countOccurrences(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

// ---------------------------------------------------------------------------
// A direct implementation of the fragment density and the EM step, with full
// N x T x K tables and every sum formed term by term.

struct NaiveResult {
    std::vector<double> alphas;
    Matrix betas;
    std::vector<double> logLikelihoods;
};

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

    explicit RandomGene(unsigned seed, int components = 3)
    {
        params = evenLayout({300, 520, 811, 1200}, components, {0, 1, 0, 1});
        params.nus = {0.0, 12.5, -7.0, 0.0};
        params.alphas = {0.1, 0.2, 0.3, 0.4};
        if (components == 3)
            params.betas = {{0.2, 0.5, 0.3}, {0.6, 0.1, 0.3}};
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

TEST(TrainingMatchesDirectFormulas, AlphasAndBetasAgreeToTheLastBit)
{
    for (unsigned seed : {1u, 7u, 12345u}) {
        RandomGene random(seed);
        KestroveModel model = random.params.build();
        t_configuration conf = trainingConf(3);
        conf.minParamDiff = 0.0;
        conf.likelihoodThreshold = 0.0;
        conf.nrIterations = 12;
        conf.logFiles = false;
        std::vector<double> alphas = random.params.alphas;
        std::stringstream log;
        model.train(random.locus.fragments, random.locus.gene, alphas, conf, log, "/nonexistent");

        const NaiveResult expected = naiveTrain(random.locus, random.params, 12, true);
        for (size_t t = 0; t < 4; ++t)
            EXPECT_EQ(alphas[t], expected.alphas[t]) << "seed " << seed << " transcript " << t;
        for (size_t g = 0; g < 2; ++g)
            for (size_t k = 0; k < 3; ++k)
                EXPECT_EQ(model._tiedGroupPDFs[g]._weights[k], expected.betas[g][k]) << "seed " << seed;
        EXPECT_TRUE(log.str().empty());
    }
}

TEST(TrainingMatchesDirectFormulas, AgreeForEveryComponentCount)
{
    for (int components : {1, 2, 4, 5, 7}) {
        RandomGene random(21, components);
        KestroveModel model = random.params.build();
        t_configuration conf = trainingConf(components);
        conf.minParamDiff = 0.0;
        conf.nrIterations = 6;
        std::vector<double> alphas = random.params.alphas;
        std::stringstream log;
        model.train(random.locus.fragments, random.locus.gene, alphas, conf, log, "/nonexistent");
        const NaiveResult expected = naiveTrain(random.locus, random.params, 6, true);
        EXPECT_EQ(alphas, expected.alphas) << components << " components";
        EXPECT_EQ(model._tiedGroupPDFs[0]._weights, expected.betas[0]) << components << " components";
        EXPECT_EQ(model._tiedGroupPDFs[1]._weights, expected.betas[1]) << components << " components";
    }
}

TEST(TrainingMatchesDirectFormulas, FixedBetasAgreeToTheLastBit)
{
    RandomGene random(99);
    KestroveModel model = random.params.build();
    t_configuration conf = trainingConf(3);
    conf.minParamDiff = 0.0;
    conf.likelihoodThreshold = 0.0;
    conf.nrIterations = 9;
    conf.trainBetas = false;
    std::vector<double> alphas = random.params.alphas;
    std::stringstream log;
    model.train(random.locus.fragments, random.locus.gene, alphas, conf, log, "/nonexistent");
    const NaiveResult expected = naiveTrain(random.locus, random.params, 9, false);
    EXPECT_EQ(alphas, expected.alphas);
    EXPECT_EQ(model._tiedGroupPDFs[0]._weights, random.params.betas[0]);
    EXPECT_EQ(model._tiedGroupPDFs[1]._weights, random.params.betas[1]);
}

TEST(TrainingMatchesDirectFormulas, LogLikelihoodStopReportsTheIterationsValue)
{
    RandomGene random(3);
    KestroveModel model = random.params.build();
    t_configuration conf = trainingConf(3);
    conf.minParamDiff = 0.0;
    conf.likelihoodThreshold = 1e9;
    std::vector<double> alphas = random.params.alphas;
    std::stringstream log;
    model.train(random.locus.fragments, random.locus.gene, alphas, conf, log, "/nonexistent");

    const NaiveResult expected = naiveTrain(random.locus, random.params, 11, true);
    EXPECT_EQ(alphas, expected.alphas);
    char line[200];
    std::snprintf(line, sizeof line, "\nFinished Initialization in iteration 11 with log likelihood %.5f\n",
                  expected.logLikelihoods[10]);
    EXPECT_NE(log.str().find(line), std::string::npos) << log.str();
}

TEST(TrainingMatchesDirectFormulas, DeferredPassGivesTheSameEstimates)
{
    RandomGene random(5);
    t_configuration conf = trainingConf(3);
    conf.minParamDiff = 0.0;
    conf.nrIterations = 7;
    KestroveModel sequential = random.params.build();
    std::vector<double> alphasSequential = random.params.alphas;
    std::stringstream log1;
    sequential.train(random.locus.fragments, random.locus.gene, alphasSequential, conf, log1, "/nonexistent");

    conf.deferredPass = true;
    KestroveModel deferred = random.params.build();
    std::vector<double> alphasDeferred = random.params.alphas;
    std::stringstream log2;
    deferred.train(random.locus.fragments, random.locus.gene, alphasDeferred, conf, log2, "/nonexistent");
    for (size_t t = 0; t < 4; ++t)
        EXPECT_NEAR(alphasDeferred[t], alphasSequential[t], 1e-12);
    for (size_t g = 0; g < 2; ++g)
        for (size_t k = 0; k < 3; ++k)
            EXPECT_NEAR(deferred._tiedGroupPDFs[g]._weights[k], sequential._tiedGroupPDFs[g]._weights[k], 1e-12);
}

// ---------------------------------------------------------------------------

TEST(TrainingStops, SingleTranscriptConvergesInFirstIteration)
{
    Locus locus({1000});
    for (int32_t start : {10, 200, 480, 700, 999})
        locus.add({start});
    locus.add({350}, {250});
    KestroveModel model = evenLayout({1000}, 1).build();
    std::vector<double> alphas{1.0};
    std::stringstream log;
    model.train(locus.fragments, locus.gene, alphas, trainingConf(1), log, "/nonexistent");

    EXPECT_NEAR(alphas[0], 1.0, 1e-15);
    EXPECT_EQ(log.str(), "Alphas, iteration ( 1 ) : 1.00000\t\n");
    EXPECT_NEAR(model._tiedGroupPDFs[0]._weights[0], 1.0, 1e-15);
}

TEST(TrainingStops, SkippedFragmentsLowerTheAlphaSumAndStopAtSecondIteration)
{
    // One narrow component at position 10: starts at 900 underflow to density 0.
    Locus locus({1000});
    for (int32_t start : {8, 9, 10, 10, 11, 12})
        locus.add({start});
    for (int32_t start : {900, 950, 990})
        locus.add({start});
    locus.add({0});
    ModelParams p = evenLayout({1000}, 1);
    p.mus = {10.0};
    p.sigmas = {1.0};
    KestroveModel model = p.build();
    std::vector<double> alphas{1.0};
    std::stringstream log;
    model.train(locus.fragments, locus.gene, alphas, trainingConf(1), log, "/nonexistent");

    double expected = 0.0;
    for (int i = 0; i < 6; ++i)
        expected += 1.0 / 10.0;
    EXPECT_EQ(alphas[0], expected);
    EXPECT_EQ(countOccurrences(log.str(), "Alphas, iteration"), 2);
    EXPECT_NE(log.str().find("Alphas, iteration ( 2 ) : 0.60000\t\n"), std::string::npos);
    EXPECT_EQ(log.str().find("Finished Initialization"), std::string::npos);
}

TEST(TrainingStops, IdenticalTranscriptsKeepTheirAlphas)
{
    Locus locus({800, 800});
    for (int32_t start : {5, 120, 300, 301, 640, 790})
        locus.add({start, start}, {180, 180});
    ModelParams p = evenLayout({800, 800}, 3);
    p.alphas = {0.3, 0.7};
    KestroveModel model = p.build();
    std::vector<double> alphas = p.alphas;
    std::stringstream log;
    model.train(locus.fragments, locus.gene, alphas, trainingConf(3), log, "/nonexistent");

    EXPECT_NEAR(alphas[0], 0.3, 1e-12);
    EXPECT_NEAR(alphas[1], 0.7, 1e-12);
    EXPECT_EQ(log.str(), "Alphas, iteration ( 1 ) : 0.30000\t0.70000\t\n");
}

TEST(TrainingStops, SettledLogLikelihoodStopsAtFirstIterationFromTen)
{
    // Two overlapping transcripts: the alphas drift slowly while the likelihood settles.
    Locus locus({1000, 900});
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> start(1, 900);
    for (int f = 0; f < 40; ++f) {
        const int s = start(rng);
        locus.add({s, f % 4 == 0 ? 0 : s});
    }
    ModelParams p = evenLayout({1000, 900}, 3);
    KestroveModel model = p.build();
    std::vector<double> alphas = p.alphas;
    t_configuration conf = trainingConf(3);
    conf.minParamDiff = 0.0;
    std::stringstream log;
    model.train(locus.fragments, locus.gene, alphas, conf, log, "/nonexistent");

    const NaiveResult naive = naiveTrain(locus, p, 11, true);
    ASSERT_LT(std::fabs(naive.logLikelihoods[10] - naive.logLikelihoods[9]), 0.5);
    EXPECT_EQ(countOccurrences(log.str(), "Alphas, iteration"), 11);
    EXPECT_NE(log.str().find("Finished Initialization in iteration 11 with log likelihood "), std::string::npos);
    EXPECT_NE(log.str().find("Terminated the EM algorithm because difference in log(likelihood) between this "
                             "iteration and the previous iteration was below 0.50000\n"),
              std::string::npos);
    EXPECT_EQ(log.str().find("change in value of parameters"), std::string::npos);
    EXPECT_EQ(alphas, naive.alphas);
}

TEST(TrainingStops, IterationLimitEndsWithoutMessage)
{
    Locus locus({1000, 900});
    for (int s : {50, 150, 400, 420, 700, 880})
        locus.add({s, s % 100 == 0 ? 0 : s});
    ModelParams p = evenLayout({1000, 900}, 2);
    KestroveModel model = p.build();
    std::vector<double> alphas = p.alphas;
    t_configuration conf = trainingConf(2);
    conf.minParamDiff = 0.0;
    conf.nrIterations = 5;
    std::stringstream log;
    model.train(locus.fragments, locus.gene, alphas, conf, log, "/nonexistent");
    EXPECT_EQ(countOccurrences(log.str(), "Alphas, iteration"), 5);
    EXPECT_NE(log.str().find("Alphas, iteration ( 5 )"), std::string::npos);
    EXPECT_EQ(log.str().find("Finished"), std::string::npos);
    EXPECT_EQ(alphas, naiveTrain(locus, p, 5, true).alphas);
}

TEST(TrainingLog, FixedFiveDecimalsStayOnTheLogStream)
{
    Locus locus({500});
    locus.add({100});
    KestroveModel model = evenLayout({500}, 2).build();
    std::vector<double> alphas{1.0};
    std::stringstream log;
    model.train(locus.fragments, locus.gene, alphas, trainingConf(2), log, "/nonexistent");
    log.str("");
    log << 0.25 << ' ' << 3.0;
    EXPECT_EQ(log.str(), "0.25000 3.00000");
}

TEST(TrainingLog, NothingIsWrittenWithoutLogFiles)
{
    Locus locus({500});
    locus.add({100});
    KestroveModel model = evenLayout({500}, 2).build();
    std::vector<double> alphas{1.0};
    t_configuration conf = trainingConf(2);
    conf.logFiles = false;
    std::stringstream log;
    model.train(locus.fragments, locus.gene, alphas, conf, log, "/nonexistent");
    EXPECT_TRUE(log.str().empty());
}

TEST(TrainingLog, ObservAlphasOffWritesNoAlphasLines)
{
    Locus locus({500});
    locus.add({100});
    KestroveModel model = evenLayout({500}, 2).build();
    std::vector<double> alphas{1.0};
    t_configuration conf = trainingConf(2);
    conf.observAlphas = false;
    std::stringstream log;
    model.train(locus.fragments, locus.gene, alphas, conf, log, "/nonexistent");
    EXPECT_TRUE(log.str().empty());
}

TEST(TrainingLog, NaNAlphasAreReportedAndPropagate)
{
    Locus locus({500, 500});
    locus.add({100, 100});
    locus.add({200, 0});
    KestroveModel model = evenLayout({500, 500}, 2).build();
    std::vector<double> alphas{std::nan(""), 0.5};
    std::stringstream log;
    t_configuration conf = trainingConf(2);
    conf.nrIterations = 5;
    model.train(locus.fragments, locus.gene, alphas, conf, log, "/nonexistent");
    EXPECT_EQ(countOccurrences(log.str(),
                               "At least one element of the alpha parameters turned NaN during the estimation.\n"),
              5);
    EXPECT_TRUE(std::isnan(alphas[0]));
}

// ---------------------------------------------------------------------------

TEST(TrainingGuards, ComponentUnderflowingOnWholeTranscriptLeavesEstimatesFinite)
{
    // Component 1 sits a million positions past the transcripts: its normaliser is 0.
    Locus locus({1000, 700});
    for (int s : {20, 300, 500, 650, 690})
        locus.add({s, s});
    locus.add({900, 0});
    ModelParams p = evenLayout({1000, 700}, 2);
    p.mus = {500.0, 1e6};
    p.sigmas = {250.0, 1.0};
    KestroveModel model = p.build();
    std::vector<double> alphas = p.alphas;
    std::stringstream log;
    model.train(locus.fragments, locus.gene, alphas, trainingConf(2), log, "/nonexistent");

    EXPECT_TRUE(std::isfinite(alphas[0]) && std::isfinite(alphas[1]));
    EXPECT_NEAR(alphas[0] + alphas[1], 1.0, 1e-10);
    EXPECT_GT(alphas[0], alphas[1]);
    EXPECT_NEAR(model._tiedGroupPDFs[0]._weights[0], 1.0, 1e-12);
    EXPECT_EQ(model._tiedGroupPDFs[0]._weights[1], 0.0);
}

TEST(TrainingGuards, GroupWithoutFragmentsGetsZeroBetas)
{
    Locus locus({600, 600});
    for (int s : {10, 250, 590})
        locus.add({s, 0});
    ModelParams p = evenLayout({600, 600}, 2, {0, 1});
    KestroveModel model = p.build();
    std::vector<double> alphas = p.alphas;
    std::stringstream log;
    model.train(locus.fragments, locus.gene, alphas, trainingConf(2), log, "/nonexistent");
    EXPECT_EQ(model._tiedGroupPDFs[1]._weights, (std::vector<double>{0.0, 0.0}));
    EXPECT_NEAR(model._tiedGroupPDFs[0]._weights[0] + model._tiedGroupPDFs[0]._weights[1], 1.0, 1e-12);
    EXPECT_NEAR(alphas[0], 1.0, 1e-5);
}

// ---------------------------------------------------------------------------

TEST(TrainingOutputs, ComponentMeansAreScaledAndShifted)
{
    Locus locus({1000, 400});
    locus.add({100, 100});
    ModelParams p = evenLayout({1000, 400}, 2);
    p.nus = {0.0, 25.0};
    KestroveModel model = p.build();
    std::vector<double> alphas = p.alphas;
    std::stringstream log;
    model.train(locus.fragments, locus.gene, alphas, trainingConf(2), log, "/nonexistent");
    const auto& transcripts = locus.gene->second.transcripts;
    ASSERT_EQ(transcripts[1].componentMeans.size(), 2u);
    EXPECT_EQ(transcripts[0].componentMeans[1][0], 750.0);
    EXPECT_EQ(transcripts[1].componentMeans[0][0], 250.0 * 0.4 + 25.0);
    EXPECT_EQ(transcripts[1].componentMeans[1][0], 750.0 * 0.4 + 25.0);
    EXPECT_EQ(model._transcriptWeights, p.alphas);
}

int naiveEffectiveLength(int L, const ModelParams& p, const std::vector<double>& betas)
{
    std::vector<double> F;
    for (int j = 0; j < 1000; ++j)
        F.push_back(normpdf(40, j + 1, 100));
    std::vector<double> S;
    for (int i = 1; i <= L; ++i) {
        double s = 0.0;
        for (size_t k = 0; k < p.mus.size(); ++k)
            s += normpdf(p.sigmas[k], i, p.mus[k]) * betas[k];
        S.push_back(s);
    }
    double E = 0.0;
    for (int j = 0; j <= std::min(L, 1000) - 1; ++j) {
        double partial = 0.0;
        for (int i = 0; i <= L - j - 1; ++i)
            partial += S[i];
        E += partial * (F[j] / 0.99368021221827);
    }
    return static_cast<int>(E * L);
}

TEST(TrainingOutputs, NormLengthSetsEffectiveLengths)
{
    Locus locus({1500, 300});
    for (int s : {30, 200, 280})
        locus.add({s, s});
    for (int s : {600, 900, 1400})
        locus.add({s, 0});
    ModelParams p = evenLayout({1500, 300}, 3, {0, 1});
    KestroveModel model = p.build();
    std::vector<double> alphas = p.alphas;
    t_configuration conf = trainingConf(3);
    conf.normalizeLengths = true;
    std::stringstream log;
    model.train(locus.fragments, locus.gene, alphas, conf, log, "/nonexistent");

    const auto& transcripts = locus.gene->second.transcripts;
    const int expectedLong = naiveEffectiveLength(1500, p, model._tiedGroupPDFs[0]._weights);
    const int expectedShort = naiveEffectiveLength(300, p, model._tiedGroupPDFs[1]._weights);
    EXPECT_GT(expectedLong, 0);
    EXPECT_LT(expectedLong, 1500);
    EXPECT_EQ(transcripts[0].length, expectedLong);
    EXPECT_EQ(transcripts[0].normLength, expectedLong);
    EXPECT_EQ(transcripts[1].length, expectedShort);
    EXPECT_EQ(transcripts[1].normLength, expectedShort);
}

TEST(TrainingOutputs, LengthsUntouchedWithoutNormLength)
{
    Locus locus({1500, 300});
    locus.add({30, 30});
    ModelParams p = evenLayout({1500, 300}, 3);
    KestroveModel model = p.build();
    std::vector<double> alphas = p.alphas;
    std::stringstream log;
    model.train(locus.fragments, locus.gene, alphas, trainingConf(3), log, "/nonexistent");
    EXPECT_EQ(locus.gene->second.transcripts[0].length, 1500);
    EXPECT_EQ(locus.gene->second.transcripts[1].normLength, 0);
}

TEST(TrainingDeathTest, ComponentCountMustMatchTheBlocksSetting)
{
    Locus locus({500});
    locus.add({100});
    KestroveModel model = evenLayout({500}, 2).build();
    std::vector<double> alphas{1.0};
    std::stringstream log;
    EXPECT_EXIT(model.train(locus.fragments, locus.gene, alphas, trainingConf(3), log, "/nonexistent"),
                ::testing::ExitedWithCode(1), "internal check failed: every tied group's mixture has one component");
}

} // namespace
