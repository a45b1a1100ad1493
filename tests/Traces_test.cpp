#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "kestrovemodel.h"

namespace {

using Matrix = std::vector<std::vector<double>>;

struct Locus {
    GeneMap genes;
    GeneMap::iterator gene;
    FragmentMap fragments;

    explicit Locus(const std::vector<int32_t>& lengths)
    {
        Gene g;
        g.geneId = "ENSG01";
        g.geneName = "GENE1";
        for (int32_t l : lengths) {
            t_transcript t;
            t.length = l;
            g.transcripts.push_back(t);
        }
        gene = genes.emplace(g.geneId, g).first;
    }

    void add(const std::vector<int32_t>& starts)
    {
        char key[16];
        std::snprintf(key, sizeof key, "r%05zu", fragments.size());
        t_read read;
        read.name = key;
        read.transStarts = starts;
        read.fragLengths.assign(starts.size(), 0);
        std::vector<bool> row;
        for (int32_t s : starts)
            row.push_back(s != 0);
        fragments[key] = {read};
        gene->second.validities.push_back(row);
    }
};

// Components laid evenly along the longest transcript; lambda_t = L_t / longest.
struct GeneSetup {
    std::vector<int32_t> lengths;
    std::vector<uint64_t> groups;
    std::vector<double> alphas;
    int K;
    double longest = 0;

    KestroveModel build() const
    {
        Matrix mus;
        Matrix sigmas;
        for (int k = 0; k < K; ++k) {
            mus.push_back({(2.0 * k + 1.0) * longest / (2.0 * K)});
            sigmas.push_back({longest / (2.0 * K)});
        }
        uint64_t G = 0;
        for (uint64_t g : groups)
            G = std::max(G, g + 1);
        std::vector<GaussMixture> pdfs(G);
        for (auto& pdf : pdfs)
            pdf.setAllParams(mus, sigmas, std::vector<double>(K, 1.0 / K));
        Matrix shifts;
        Matrix scales;
        for (int32_t l : lengths) {
            shifts.push_back({0.0});
            scales.push_back({l / longest});
        }
        return KestroveModel(alphas, shifts, scales, groups, pdfs);
    }

    GeneSetup(std::vector<int32_t> l, std::vector<uint64_t> g, std::vector<double> a, int k)
        : lengths(std::move(l)), groups(std::move(g)), alphas(std::move(a)), K(k)
    {
        for (int32_t x : lengths)
            longest = std::max(longest, static_cast<double>(x));
    }
};

t_configuration traceConf(int K)
{
    t_configuration conf;
    conf.nrBlocks = static_cast<int16_t>(K);
    return conf;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

std::vector<std::string> tokens(const std::string& line)
{
    std::vector<std::string> out;
    std::stringstream in(line);
    std::string token;
    while (in >> token)
        out.push_back(token);
    return out;
}

// The line `offset` lines below the first header naming the variable.
std::string lineAfter(const std::string& text, const std::string& name, int offset)
{
    const std::vector<std::string> all = lines(text);
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i] == "# name: " + name && i + offset < all.size())
            return all[i + offset];
    return "<missing " + name + ">";
}

int countOccurrences(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

void train(const GeneSetup& setup, Locus& locus, KestroveModel& model, std::vector<double>& alphas,
           const t_configuration& conf, const std::string& dir)
{
    alphas = setup.alphas;
    std::stringstream log;
    model.train(locus.fragments, locus.gene, alphas, conf, log, dir);
}

// ---------------------------------------------------------------------------
// Betas history

TEST(BetasHistory, ExactLayoutOfOneGroupWithTwoComponents)
{
    testutil::TempDir dir;
    const GeneSetup setup({1000}, {0}, {1.0}, 2);
    Locus locus({1000});
    for (int s : {50, 90, 400, 800, 820, 990})
        locus.add({s});
    KestroveModel model = setup.build();
    t_configuration conf = traceConf(2);
    conf.observBetas = true;
    conf.minParamDiff = 0.0;
    conf.nrIterations = 2;
    std::vector<double> alphas;
    train(setup, locus, model, alphas, conf, dir.path());

    KestroveModel oneIteration = setup.build();
    conf.nrIterations = 1;
    conf.observBetas = false;
    std::vector<double> alphas1;
    train(setup, locus, oneIteration, alphas1, conf, dir.path());

    std::ostringstream expected;
    expected << "# name: nr_groups\n# type: scalar\n 1\n\n"
             << "# name: betas_group_0\n# type: cell\n# rows: 1\n# columns: 2";
    for (int k = 0; k < 2; ++k)
        expected << "\n# name: <cell-element>\n# type: matrix\n# rows: 1\n# columns: 2\n"
                 << oneIteration._tiedGroupPDFs[0]._weights[k] << ' ' << model._tiedGroupPDFs[0]._weights[k] << ' ';
    expected << "\n";
    const std::string text = testutil::readText(dir.file("betas_iterations.dat"));
    EXPECT_EQ(text, expected.str());
    EXPECT_EQ(lines(text).size(), 18u);
    EXPECT_NE(oneIteration._tiedGroupPDFs[0]._weights[0], model._tiedGroupPDFs[0]._weights[0]);
}

TEST(BetasHistory, WrittenDirectlyFromAHistory)
{
    testutil::TempDir dir;
    KestroveModel model = GeneSetup({10}, {0}, {1.0}, 1).build();
    model.betasToFile({{{0.5, 0.25}, {0.5, 0.75}}, {{1.0}, {0.0}}}, dir.path());
    EXPECT_EQ(testutil::readText(dir.file("betas_iterations.dat")),
              "# name: nr_groups\n# type: scalar\n 2\n\n"
              "# name: betas_group_0\n# type: cell\n# rows: 1\n# columns: 2"
              "\n# name: <cell-element>\n# type: matrix\n# rows: 1\n# columns: 2\n0.5 0.25 "
              "\n# name: <cell-element>\n# type: matrix\n# rows: 1\n# columns: 2\n0.5 0.75 \n"
              "# name: betas_group_1\n# type: cell\n# rows: 1\n# columns: 2"
              "\n# name: <cell-element>\n# type: matrix\n# rows: 1\n# columns: 1\n1 "
              "\n# name: <cell-element>\n# type: matrix\n# rows: 1\n# columns: 1\n0 \n");
}

TEST(BetasHistory, OneValuePerIterationUpToTheLimit)
{
    testutil::TempDir dir;
    const GeneSetup setup({900, 600}, {0, 1}, {0.5, 0.5}, 3);
    Locus locus({900, 600});
    for (int s : {20, 200, 450, 590})
        locus.add({s, s});
    locus.add({880, 0});
    KestroveModel model = setup.build();
    t_configuration conf = traceConf(3);
    conf.observBetas = true;
    conf.minParamDiff = 0.0;
    conf.nrIterations = 5;
    std::vector<double> alphas;
    train(setup, locus, model, alphas, conf, dir.path());

    const std::string text = testutil::readText(dir.file("betas_iterations.dat"));
    const std::vector<std::string> all = lines(text);
    EXPECT_EQ(countOccurrences(text, "# name: <cell-element>"), 6);
    EXPECT_EQ(countOccurrences(text, "# columns: 5\n"), 6);
    int valueLines = 0;
    for (size_t i = 0; i + 1 < all.size(); ++i) {
        if (all[i] == "# columns: 5") {
            EXPECT_EQ(tokens(all[i + 1]).size(), 5u);
            ++valueLines;
        }
    }
    EXPECT_EQ(valueLines, 6);
    // The last recorded value of a component is the trained beta.
    std::ostringstream last;
    last << model._tiedGroupPDFs[1]._weights[2] << ' ';
    const std::string lastLine = all.back();
    EXPECT_EQ(lastLine.substr(lastLine.size() - last.str().size()), last.str());
}

TEST(BetasHistory, FixedBetasRepeatTheirInitialValues)
{
    testutil::TempDir dir;
    const GeneSetup setup({900}, {0}, {1.0}, 3);
    Locus locus({900});
    for (int s : {20, 200, 450})
        locus.add({s});
    KestroveModel model = setup.build();
    t_configuration conf = traceConf(3);
    conf.observBetas = true;
    conf.trainBetas = false;
    conf.minParamDiff = 0.0;
    conf.nrIterations = 4;
    std::vector<double> alphas;
    train(setup, locus, model, alphas, conf, dir.path());
    const std::string text = testutil::readText(dir.file("betas_iterations.dat"));
    EXPECT_EQ(countOccurrences(text, "\n0.333333 0.333333 0.333333 0.333333 \n"), 3);
}

TEST(BetasHistory, ConcurrentWritersLeaveOneCompleteHistory)
{
    testutil::TempDir dir;
    KestroveModel model = GeneSetup({10}, {0}, {1.0}, 1).build();
    const std::vector<std::vector<std::vector<double>>> shortHistory{{{0.5}, {0.5}}};
    std::vector<std::vector<std::vector<double>>> longHistory(3, Matrix(4, std::vector<double>(50, 0.123456)));
    auto writeMany = [&](const std::vector<std::vector<std::vector<double>>>& history) {
        for (int i = 0; i < 60; ++i)
            model.betasToFile(history, dir.path());
    };
    testutil::TempDir refs;
    model.betasToFile(shortHistory, refs.path());
    const std::string shortText = testutil::readText(refs.file("betas_iterations.dat"));
    model.betasToFile(longHistory, refs.path());
    const std::string longText = testutil::readText(refs.file("betas_iterations.dat"));

    for (int round = 0; round < 3; ++round) {
        std::thread a(writeMany, std::cref(shortHistory));
        std::thread b(writeMany, std::cref(longHistory));
        a.join();
        b.join();
        const std::string text = testutil::readText(dir.file("betas_iterations.dat"));
        EXPECT_TRUE(text == shortText || text == longText) << "round " << round;
    }
}

TEST(Traces, UnwritableDirectoryIsSilentAndTrainingContinues)
{
    const GeneSetup setup({500, 400}, {0, 0}, {0.5, 0.5}, 2);
    Locus locus({500, 400});
    for (int s : {20, 200, 390})
        locus.add({s, s});
    locus.add({480, 0});
    KestroveModel model = setup.build();
    t_configuration conf = traceConf(2);
    conf.observBetas = true;
    conf.biasType = 3;
    std::vector<double> alphas;
    train(setup, locus, model, alphas, conf, "/nonexistent/kestrove/out");
    EXPECT_NEAR(alphas[0] + alphas[1], 1.0, 1e-10);
    EXPECT_GT(alphas[0], alphas[1]);
}

// ---------------------------------------------------------------------------
// L1 trace

TEST(L1Trace, StopRuleAddsAFinalVisitWithTheComputedDensities)
{
    testutil::TempDir dir;
    const GeneSetup setup({120}, {0}, {1.0}, 1);
    Locus locus({120});
    for (int s : {5, 60, 119})
        locus.add({s});
    KestroveModel model = setup.build();
    t_configuration conf = traceConf(1);
    conf.biasType = 3;
    std::vector<double> alphas;
    train(setup, locus, model, alphas, conf, dir.path());

    const std::string text = testutil::readText(dir.file("L1_Dist_GENE1"));
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.rfind("# name: correct_pdfs\n# type: cell\n# rows: 1\n# columns: 1\n", 0), 0u);
    EXPECT_EQ(lineAfter(text, "correct_pdfs", 7), "# columns: 120");
    EXPECT_EQ(tokens(lineAfter(text, "correct_pdfs", 8)).size(), 120u);
    EXPECT_NE(text.find("\n# name: calc_pdfs\n# type: cell\n# rows: 1\n# columns: 1\n"), std::string::npos);
    EXPECT_EQ(tokens(lineAfter(text, "calc_pdfs", 8)).size(), 120u);

    // Converged in iteration index 0: two visits.
    EXPECT_EQ(lineAfter(text, "L1_dist_sum_groups", 3), "# columns: 2");
    EXPECT_EQ(tokens(lineAfter(text, "L1_dist_sum_groups", 4)).size(), 2u);
    EXPECT_EQ(lineAfter(text, "L1_dist_groupwise", 3), "# columns: 1");
    EXPECT_EQ(lineAfter(text, "L1_dist_groupwise", 7), "# columns: 2");
    // With one group the group's values are the gene's.
    EXPECT_EQ(lineAfter(text, "L1_dist_groupwise", 8), lineAfter(text, "L1_dist_sum_groups", 4));

    std::ostringstream finalAlpha;
    finalAlpha << ' ' << alphas[0];
    EXPECT_EQ(lineAfter(text, "sum_alphas_groupwise", 4), finalAlpha.str());
    EXPECT_EQ(lineAfter(text, "alphas", 4), finalAlpha.str());
    EXPECT_EQ(lineAfter(text, "group_IDs", 4), " 0");
    EXPECT_EQ(lineAfter(text, "nr_groups", 2), " 1");
    EXPECT_EQ(lineAfter(text, "nr_blocks", 2), " 1");
    const std::string tail = " 1\n\n\n# name: nr_blocks\n# type: scalar\n 1\n";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST(L1Trace, IterationLimitWritesNoFinalDensities)
{
    testutil::TempDir dir;
    const GeneSetup setup({300, 250}, {0, 1}, {0.5, 0.5}, 2);
    Locus locus({300, 250});
    for (int s : {5, 60, 119, 240})
        locus.add({s, s % 2 ? s : 0});
    KestroveModel model = setup.build();
    t_configuration conf = traceConf(2);
    conf.biasType = 1;
    conf.minParamDiff = 0.0;
    conf.nrIterations = 3;
    std::vector<double> alphas;
    train(setup, locus, model, alphas, conf, dir.path());

    const std::string text = testutil::readText(dir.file("L1_Dist_GENE1"));
    EXPECT_EQ(text.find("calc_pdfs"), std::string::npos);
    EXPECT_EQ(lineAfter(text, "L1_dist_sum_groups", 3), "# columns: 3");
    EXPECT_EQ(tokens(lineAfter(text, "L1_dist_sum_groups", 4)).size(), 3u);
    EXPECT_EQ(lineAfter(text, "L1_dist_groupwise", 3), "# columns: 2");
    EXPECT_EQ(tokens(lineAfter(text, "L1_dist_groupwise", 8)).size(), 3u);
    EXPECT_EQ(tokens(lineAfter(text, "L1_dist_groupwise", 14)).size(), 3u);
    EXPECT_EQ(lineAfter(text, "group_IDs", 4), " 0 1");
    EXPECT_EQ(lineAfter(text, "nr_groups", 2), " 2");
    EXPECT_EQ(lineAfter(text, "nr_blocks", 2), " 2");
}

TEST(L1Trace, StopInTheLastAllowedIterationWritesNoFinalDensities)
{
    testutil::TempDir dir;
    const GeneSetup setup({120}, {0}, {1.0}, 1);
    Locus locus({120});
    locus.add({60});
    KestroveModel model = setup.build();
    t_configuration conf = traceConf(1);
    conf.biasType = 2;
    conf.nrIterations = 1;
    std::vector<double> alphas;
    train(setup, locus, model, alphas, conf, dir.path());
    const std::string text = testutil::readText(dir.file("L1_Dist_GENE1"));
    EXPECT_EQ(text.find("calc_pdfs"), std::string::npos);
    EXPECT_EQ(lineAfter(text, "L1_dist_sum_groups", 3), "# columns: 1");
}

double parse(const std::string& token)
{
    char* end = nullptr;
    const double v = std::strtod(token.c_str(), &end);
    EXPECT_EQ(*end, '\0') << token;
    return v;
}

TEST(L1Trace, ValuesKeepEightSignificantDigitsAndTheirExponent)
{
    testutil::TempDir dir;
    // Transcript 1 has a tiny alpha and its own group: its distances need an exponent.
    const GeneSetup setup({200, 150}, {0, 1}, {1.0 - 1e-7, 1e-7}, 2);
    Locus locus({200, 150});
    for (int s : {10, 80, 140})
        locus.add({s, s});
    KestroveModel model = setup.build();
    t_configuration conf = traceConf(2);
    conf.biasType = 3;
    conf.minParamDiff = 0.0;
    conf.nrIterations = 2;
    std::vector<double> alphas;
    train(setup, locus, model, alphas, conf, dir.path());

    Matrix refs;
    setup.build().calculateArtificalGenePDF(refs, locus.gene, conf);
    std::vector<double> distance(2);
    for (size_t t = 0; t < 2; ++t) {
        const double lambda = setup.lengths[t] / setup.longest;
        double sum = 0.0;
        for (int x = 1; x <= setup.lengths[t]; ++x) {
            double c = 0.0;
            for (int k = 0; k < 2; ++k) {
                const double mean = (2.0 * k + 1.0) * setup.longest / 4.0 * lambda;
                const double dev = setup.longest / 4.0 * lambda;
                c += normpdf(dev, x, mean) * 0.5;
            }
            sum += std::fabs(c - refs[t][x - 1]);
        }
        distance[t] = setup.alphas[t] * sum;
    }

    const std::string text = testutil::readText(dir.file("L1_Dist_GENE1"));
    const std::vector<std::string> gene = tokens(lineAfter(text, "L1_dist_sum_groups", 4));
    const std::vector<std::string> group1 = tokens(lineAfter(text, "L1_dist_groupwise", 14));
    ASSERT_EQ(gene.size(), 2u);
    ASSERT_EQ(group1.size(), 2u);
    EXPECT_NEAR(parse(gene[0]), distance[0] + distance[1], 5.1e-8 * (distance[0] + distance[1]));
    EXPECT_NE(group1[0].find("e-"), std::string::npos) << group1[0];
    EXPECT_NEAR(parse(group1[0]), distance[1], 5.1e-8 * distance[1]);
    char expected[40];
    std::snprintf(expected, sizeof expected, "%.8g", distance[1]);
    EXPECT_EQ(group1[0].substr(0, 6), std::string(expected).substr(0, 6));
}

} // namespace
