#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "kestrovemodel.h"

namespace {

using ::testing::ExitedWithCode;
using Matrix = std::vector<std::vector<double>>;

GaussMixture evenMixture(int components, double longest)
{
    Matrix mus;
    Matrix sigmas;
    std::vector<double> betas;
    for (int k = 0; k < components; ++k) {
        mus.push_back({(2.0 * k + 1.0) * longest / (2.0 * components)});
        sigmas.push_back({longest / (2.0 * components)});
        betas.push_back(1.0 / components);
    }
    GaussMixture m;
    m.setAllParams(mus, sigmas, betas);
    return m;
}

KestroveModel threeTranscripts(const std::vector<uint64_t>& groups, int nrGroups = 1)
{
    std::vector<GaussMixture> pdfs(static_cast<size_t>(nrGroups), evenMixture(3, 900.0));
    return KestroveModel({0.2, 0.3, 0.5}, {{0.0}, {0.0}, {10.0}}, {{1.0}, {0.5}, {0.8}}, groups, pdfs);
}

TEST(KestroveModelConstruction, OneSharedGroupForThreeTranscripts)
{
    const KestroveModel model = threeTranscripts({0, 0, 0});
    EXPECT_EQ(model._nrTranscripts, 3u);
    EXPECT_EQ(model._nrTiedGroups, 1u);
    EXPECT_EQ(model._dim, 1u);
    EXPECT_EQ(model._transcript2TiedGroup, (std::vector<uint64_t>{0, 0, 0}));
}

TEST(KestroveModelConstruction, KeepsItsOwnCopies)
{
    std::vector<double> alphas{0.5, 0.5};
    Matrix shifts{{0.0}, {1.0}};
    Matrix scales{{1.0}, {2.0}};
    std::vector<uint64_t> groups{0, 1};
    std::vector<GaussMixture> pdfs{evenMixture(2, 100.0), evenMixture(2, 100.0)};
    const KestroveModel model(alphas, shifts, scales, groups, pdfs);
    alphas[0] = 0.9;
    scales[1][0] = 7.0;
    groups[1] = 0;
    pdfs[0]._weights[0] = 0.0;
    EXPECT_EQ(model._transcriptWeights[0], 0.5);
    EXPECT_EQ(model._transcriptScales[1][0], 2.0);
    EXPECT_EQ(model._transcript2TiedGroup[1], 1u);
    EXPECT_EQ(model._tiedGroupPDFs[0]._weights[0], 0.5);
}

TEST(KestroveModelConstructionDeathTest, InvariantsNameTheBrokenCondition)
{
    EXPECT_EXIT(threeTranscripts({0, 1, 0}), ExitedWithCode(1),
                "internal check failed: every group index is below the number of tied groups");
    EXPECT_EXIT(KestroveModel({0.5, 0.4}, {{0.0}, {0.0}}, {{1.0}, {1.0}}, {0, 0}, {evenMixture(2, 10)}),
                ExitedWithCode(1), "internal check failed: transcript weights sum to 1 within 1e-10");
    EXPECT_EXIT(KestroveModel({0.5, 0.5}, {{0.0}, {0.0}}, {{1.0}, {0.0}}, {0, 0}, {evenMixture(2, 10)}),
                ExitedWithCode(1), "internal check failed: every scale is greater than 0");
    EXPECT_EXIT(KestroveModel({1.0}, {{0.0}}, {{1.0}}, {0}, {evenMixture(2, 10), evenMixture(2, 10)}),
                ExitedWithCode(1), "internal check failed: 1 <= number of tied groups <= number of transcripts");
    EXPECT_EXIT(KestroveModel({1.0}, {{0.0}}, {{1.0}}, {0}, {}), ExitedWithCode(1),
                "internal check failed: 1 <= number of tied groups");
    EXPECT_EXIT(KestroveModel({0.5, 0.5}, {{0.0}}, {{1.0}, {1.0}}, {0, 0}, {evenMixture(2, 10)}),
                ExitedWithCode(1), "internal check failed: shifts, scales and group indices have one entry");
    EXPECT_EXIT(KestroveModel({0.5, 0.5}, {{0.0}, {0.0}}, {{1.0}, {1.0}}, {0}, {evenMixture(2, 10)}),
                ExitedWithCode(1), "internal check failed: shifts, scales and group indices have one entry");
    EXPECT_EXIT(
        {
            GaussMixture twoDims;
            twoDims.setAllParams({{1.0, 1.0}}, {{1.0, 1.0}}, {1.0});
            KestroveModel({0.5, 0.5}, {{0.0}, {0.0}}, {{1.0}, {1.0}}, {0, 1}, {evenMixture(1, 10), twoDims});
        },
        ExitedWithCode(1), "internal check failed: every tied group's mixture has the model's dimension");
    EXPECT_EXIT(KestroveModel({0.5, 0.5}, {{0.0}, {}}, {{1.0}, {1.0}}, {0, 0}, {evenMixture(2, 10)}),
                ExitedWithCode(1), "internal check failed: every shift and scale has the model's dimension");
}

TEST(KestroveModelConstructionDeathTest, ConditionsAreCheckedInTheirStatedOrder)
{
    // Weights and a scale both broken: the weight sum is checked first.
    EXPECT_EXIT(KestroveModel({0.5, 0.4}, {{0.0}, {0.0}}, {{1.0}, {0.0}}, {0, 0}, {evenMixture(2, 10)}),
                ExitedWithCode(1), "weights sum to 1");
    // Transcript 0 has a zero scale, transcript 1 a bad group: transcript 0 is checked first.
    EXPECT_EXIT(KestroveModel({0.5, 0.5}, {{0.0}, {0.0}}, {{0.0}, {1.0}}, {0, 3}, {evenMixture(2, 10)}),
                ExitedWithCode(1), "every scale is greater than 0");
    EXPECT_EXIT(KestroveModel({0.5, 0.5}, {{0.0}, {0.0}}, {{1.0}, {0.0}}, {3, 0}, {evenMixture(2, 10)}),
                ExitedWithCode(1), "every group index is below");
}

TEST(KestroveModelLikelihood, TranscriptDensityIsItsGroupMixtureShiftedAndScaled)
{
    const KestroveModel model = threeTranscripts({0, 1, 0}, 2);
    for (double x : {0.0, 100.0, 450.0, 812.5}) {
        EXPECT_EQ(model.likelihood({x}, 0), model._tiedGroupPDFs[0].likelihood({x}, {0.0}, {1.0})) << x;
        EXPECT_EQ(model.likelihood({x}, 1), model._tiedGroupPDFs[1].likelihood({x}, {0.0}, {0.5})) << x;
        EXPECT_EQ(model.likelihood({x}, 2), model._tiedGroupPDFs[0].likelihood({x}, {10.0}, {0.8})) << x;
    }
}

TEST(KestroveModelLikelihood, ModelDensityWeighsTranscriptsByAlpha)
{
    const KestroveModel model = threeTranscripts({0, 0, 0});
    const double x = 333.0;
    const double expected =
        0.2 * model.likelihood({x}, 0) + 0.3 * model.likelihood({x}, 1) + 0.5 * model.likelihood({x}, 2);
    EXPECT_EQ(model.likelihood({x}), expected);
    EXPECT_GT(expected, 0.0);
}

TEST(KestroveModelLikelihood, SingleComponentTranscriptIsANormalDensity)
{
    GaussMixture one;
    one.setAllParams({{50.0}}, {{10.0}}, {1.0});
    const KestroveModel model({1.0}, {{5.0}}, {{2.0}}, {0}, {one});
    EXPECT_NEAR(model.likelihood({90.0}), normpdf(20.0, 90.0, 105.0), 1e-17);
}

TEST(KestroveModelLikelihoodDeathTest, TranscriptIndexOutOfRangeIsRefused)
{
    EXPECT_EXIT(threeTranscripts({0, 0, 0}).likelihood({1.0}, 3), ExitedWithCode(1),
                "internal check failed: transcript index is below the number of transcripts");
}

} // namespace
