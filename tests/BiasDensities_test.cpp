#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "kestrovemodel.h"

namespace {

using Matrix = std::vector<std::vector<double>>;

struct BiasFixture {
    GeneMap genes;
    GeneMap::iterator gene;
    KestroveModel model;

    explicit BiasFixture(const std::vector<int32_t>& lengths) : model(makeModel(lengths.size()))
    {
        Gene g;
        g.geneId = "G";
        for (int32_t l : lengths) {
            t_transcript t;
            t.length = l;
            g.transcripts.push_back(t);
        }
        gene = genes.emplace("G", g).first;
    }

    static KestroveModel makeModel(size_t T)
    {
        GaussMixture m;
        m.setAllParams({{1.0}}, {{1.0}}, {1.0});
        return KestroveModel(std::vector<double>(T, 1.0 / static_cast<double>(T)), Matrix(T, {0.0}),
                             Matrix(T, {1.0}), std::vector<uint64_t>(T, 0), {m});
    }

    Matrix references(int16_t biasType)
    {
        t_configuration conf;
        conf.biasType = biasType;
        Matrix refs;
        model.calculateArtificalGenePDF(refs, gene, conf);
        return refs;
    }
};

std::vector<double> normalised(std::vector<double> v)
{
    double sum = 0.0;
    for (double x : v)
        sum += x;
    for (double& x : v)
        x /= sum;
    return v;
}

// The uniform-start density through the explicit L x L matrix.
std::vector<double> matrixUniformStart(int L)
{
    Matrix M(L, std::vector<double>(L, 0.0));
    for (int r = 0; r < L; ++r)
        for (int c = 0; c < L - r; ++c)
            M[r][c] = 1.0 / (L - r);
    std::vector<double> S(L, 0.0);
    for (int x = 0; x < L; ++x)
        for (int r = 0; r < L; ++r)
            S[x] += M[r][x] * normpdf(80, r + 1, 200);
    return normalised(S);
}

std::vector<double> naiveStartBias(int L, const std::vector<double>& rawW)
{
    std::vector<double> A;
    for (int x = 0; x < L; ++x)
        A.push_back(double(L - x) * double(L - x));
    A = normalised(A);
    const std::vector<double> W = normalised(rawW);
    const std::vector<double> S = matrixUniformStart(L);
    std::vector<double> ref;
    for (int x = 0; x < L; ++x)
        ref.push_back(A[x] * W[x] * S[x]);
    return normalised(ref);
}

void expectClose(const std::vector<double>& actual, const std::vector<double>& expected, double relative)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i)
        EXPECT_NEAR(actual[i], expected[i], relative * std::fabs(expected[i]) + 1e-300) << "position " << i;
}

TEST(BiasReferences, SinglePositionTranscriptGetsAllTheMassForEveryType)
{
    for (int16_t type = 1; type <= 4; ++type) {
        BiasFixture fixture({1});
        const Matrix refs = fixture.references(type);
        ASSERT_EQ(refs.size(), 1u);
        ASSERT_EQ(refs[0].size(), 1u) << "type " << type;
        EXPECT_DOUBLE_EQ(refs[0][0], 1.0) << "type " << type;
    }
}

TEST(BiasReferences, UniformTypeOnTwoPositions)
{
    BiasFixture fixture({2});
    const Matrix refs = fixture.references(3);
    const double f0 = normpdf(80, 1, 200);
    const double f1 = normpdf(80, 2, 200);
    const double fn0 = f0 / (f0 + f1);
    const double fn1 = f1 / (f0 + f1);
    ASSERT_EQ(refs[0].size(), 2u);
    EXPECT_EQ(refs[0][1], fn0 / 2);
    EXPECT_EQ(refs[0][0], fn0 / 2 + fn1);
}

TEST(BiasReferences, StartTypeRampsUpOverTheFirstTenthOfTheTranscript)
{
    BiasFixture fixture({10, 25});
    const Matrix refs = fixture.references(1);

    std::vector<double> w10(10, 1.0);
    w10[0] = 0.0;
    expectClose(refs[0], naiveStartBias(10, w10), 1e-12);
    EXPECT_EQ(refs[0][0], 0.0);

    std::vector<double> w25(25, 1.0);
    w25[0] = 0.0;
    w25[1] = 0.25;
    w25[2] = 0.75;
    expectClose(refs[1], naiveStartBias(25, w25), 1e-12);
    EXPECT_EQ(refs[1][0], 0.0);
    EXPECT_GT(refs[1][2], refs[1][1]);
}

TEST(BiasReferences, EndTypeWeighsBySquaredPosition)
{
    const int L = 40;
    BiasFixture fixture({L});
    const Matrix refs = fixture.references(2);
    std::vector<double> A;
    for (int x = 0; x < L; ++x)
        A.push_back(double(x + 1) * double(x + 1));
    A = normalised(A);
    const std::vector<double> S = matrixUniformStart(L);
    std::vector<double> expected;
    for (int x = 0; x < L; ++x)
        expected.push_back(A[x] * S[x]);
    expectClose(refs[0], normalised(expected), 1e-12);
}

TEST(BiasReferences, CombinedTypeAddsAUShapedChiSquareBias)
{
    const int L = 30;
    BiasFixture fixture({L});
    const std::vector<double> uniform = fixture.references(3)[0];
    const std::vector<double> combined = fixture.references(4)[0];
    std::vector<double> c;
    for (int x = 0; x < L; ++x) {
        const double v = 20.0 * (x + 1) / L;
        c.push_back(chi2pdf(v, 3.5) + chi2pdf(20.0 - v, 3.5));
    }
    c = normalised(c);
    std::vector<double> expected;
    for (int x = 0; x < L; ++x)
        expected.push_back(uniform[x] * c[x]);
    expectClose(combined, normalised(expected), 1e-12);
}

TEST(BiasReferences, EveryReferenceIsADistributionOverTheTranscript)
{
    BiasFixture fixture({37, 120, 0});
    for (int16_t type = 1; type <= 4; ++type) {
        const Matrix refs = fixture.references(type);
        ASSERT_EQ(refs.size(), 3u);
        EXPECT_TRUE(refs[2].empty());
        for (size_t t = 0; t < 2; ++t) {
            ASSERT_EQ(refs[t].size(), t == 0 ? 37u : 120u);
            double sum = 0.0;
            for (double v : refs[t]) {
                EXPECT_GE(v, 0.0);
                sum += v;
            }
            EXPECT_NEAR(sum, 1.0, 1e-12) << "type " << type;
        }
    }
}

TEST(BiasReferences, TypeZeroComputesNothing)
{
    BiasFixture fixture({10});
    EXPECT_TRUE(fixture.references(0).empty());
}

TEST(BiasReferencesDeathTest, UnknownTypeEndsTheProgramWithStatusZero)
{
    testutil::TempDir dir;
    const std::string out = dir.file("stdout.txt");
    for (int16_t type : {5, -1}) {
        EXPECT_EXIT(
            {
                if (!std::freopen(out.c_str(), "w", stdout))
                    std::_Exit(3);
                BiasFixture fixture({10});
                fixture.references(type);
            },
            ::testing::ExitedWithCode(0), "");
        EXPECT_EQ(testutil::readText(out), "Unknown bias option! Terminating..\n");
    }
}

} // namespace
