#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "kestrovemodel.h"

namespace {

using ::testing::ExitedWithCode;

constexpr double kSqrtTwoPi = 2.5066282746310002;

TEST(NormalDensity, PeakUsesTheFixedSqrtTwoPiConstant)
{
    EXPECT_EQ(normpdf(80, 200, 200), 1.0 / (kSqrtTwoPi * 80.0));
    EXPECT_NEAR(normpdf(80, 200, 200), 0.0049867785, 1e-10);
    EXPECT_EQ(normpdf(2, 3, 1), std::exp(-0.5) / (kSqrtTwoPi * 2.0));
}

TEST(NormalDensity, SymmetricInPointAndMean)
{
    EXPECT_EQ(normpdf(5, 3, 7), normpdf(5, 7, 3));
    EXPECT_EQ(normpdf(0.3, -1.25, 4.5), normpdf(0.3, 4.5, -1.25));
    EXPECT_EQ(normpdf(1, 40, 0), 0.0);  // underflows, as the EM guards expect
}

TEST(ChiSquareDensity, TwoDegreesOfFreedomIsHalfExponential)
{
    for (double x : {0.0, 0.5, 1.0, 3.0, 10.0})
        EXPECT_NEAR(chi2pdf(x, 2), 0.5 * std::exp(-x / 2), 1e-16) << x;
    EXPECT_EQ(chi2pdf(0, 2), 0.5);
}

TEST(ChiSquareDensity, ZeroForMoreThanTwoDegreesAtOrigin)
{
    EXPECT_EQ(chi2pdf(0, 3), 0.0);
    EXPECT_EQ(chi2pdf(0, 3.5), 0.0);
    EXPECT_NEAR(chi2pdf(1, 4), std::exp(-0.5) / 4.0, 1e-16);
    EXPECT_NEAR(chi2pdf(2, 3), std::sqrt(2.0) * std::exp(-1.0) / (std::tgamma(1.5) * std::pow(2.0, 1.5)), 1e-16);
}

GaussMixture threeComponents()
{
    GaussMixture m;
    m.setAllParams({{0.1}, {0.5}, {0.9}}, {{0.1}, {0.1}, {0.1}}, {0.2, 0.3, 0.5});
    return m;
}

TEST(GaussMixtureSetup, ValidParametersSetComponentsAndDimension)
{
    const GaussMixture m = threeComponents();
    EXPECT_EQ(m._nrMixtures, 3u);
    EXPECT_EQ(m.dimension(), 1u);
    EXPECT_EQ(m._weights, (std::vector<double>{0.2, 0.3, 0.5}));
    EXPECT_EQ(m._means[2][0], 0.9);
    EXPECT_EQ(m._stdDevs[1][0], 0.1);
}

TEST(GaussMixtureSetup, WeightsWithinToleranceOfOneAreAccepted)
{
    GaussMixture m;
    m.setAllParams({{1.0}, {2.0}}, {{1.0}, {1.0}}, {0.5 + 4e-11, 0.5});
    EXPECT_EQ(m._nrMixtures, 2u);
}

TEST(GaussMixtureSetupDeathTest, BrokenPreconditionsStopWithTheConditionNamed)
{
    EXPECT_EXIT(
        {
            GaussMixture m;
            m.setAllParams({{0.1}, {0.5}, {0.9}}, {{0.1}, {0.1}, {0.1}}, {0.2, 0.3, 0.4});
        },
        ExitedWithCode(1), "internal check failed: weights sum to 1 within 1e-10");
    EXPECT_EXIT(
        {
            GaussMixture m;
            m.setAllParams({{0.1}, {0.5}, {0.9}}, {{0.1}, {0.0}, {0.1}}, {0.2, 0.3, 0.5});
        },
        ExitedWithCode(1), "internal check failed: every deviation is greater than 0");
    EXPECT_EXIT(
        {
            GaussMixture m;
            m.setAllParams({{0.1}, {0.5}}, {{0.1}, {0.1}}, {0.2, 0.3, 0.5});
        },
        ExitedWithCode(1), "internal check failed: one weight per component");
    EXPECT_EXIT(
        {
            GaussMixture m;
            m.setAllParams({{0.1}, {0.5}}, {{0.1}}, {0.5, 0.5});
        },
        ExitedWithCode(1), "internal check failed: one deviation vector per component");
    EXPECT_EXIT(
        {
            GaussMixture m;
            m.setAllParams({}, {}, {});
        },
        ExitedWithCode(1), "internal check failed: mixture has at least one component");
    EXPECT_EXIT(
        {
            GaussMixture m;
            m.setAllParams({{}}, {{}}, {1.0});
        },
        ExitedWithCode(1), "internal check failed: mixture dimension is at least 1");
    EXPECT_EXIT(
        {
            GaussMixture m;
            m.setAllParams({{0.1}, {0.5, 0.2}}, {{0.1}, {0.1}}, {0.5, 0.5});
        },
        ExitedWithCode(1), "internal check failed: every mean and deviation has the mixture's dimension");
    EXPECT_EXIT(
        {
            GaussMixture m;
            m.setAllParams({{0.1}}, {{std::nan("")}}, {1.0});
        },
        ExitedWithCode(1), "every deviation is greater than 0");
}

TEST(GaussMixtureWeights, NewWeightsAreStoredUnvalidated)
{
    GaussMixture m = threeComponents();
    m.weights({0.6, 0.6, 0.6});
    EXPECT_EQ(m._weights, (std::vector<double>{0.6, 0.6, 0.6}));
}

TEST(GaussMixtureWeightsDeathTest, HeldWeightsMustSumToOne)
{
    EXPECT_EXIT(
        {
            GaussMixture m = threeComponents();
            m.weights({0.6, 0.6, 0.6});
            m.weights({0.2, 0.3, 0.5});
        },
        ExitedWithCode(1), "internal check failed: weights sum to 1 within 1e-10");
    EXPECT_EXIT(
        {
            GaussMixture m;
            m.weights({1.0});
        },
        ExitedWithCode(1), "internal check failed");
}

TEST(GaussMixtureLikelihood, SingleComponentIsTheNormalDensity)
{
    GaussMixture m;
    m.setAllParams({{3.0}}, {{2.0}}, {1.0});
    for (double x : {-4.0, 0.0, 3.0, 5.5})
        EXPECT_DOUBLE_EQ(m.likelihood({x}), normpdf(2.0, x, 3.0)) << x;
}

TEST(GaussMixtureLikelihood, WeightedSumOverComponents)
{
    const GaussMixture m = threeComponents();
    const double x = 0.42;
    const double expected =
        0.2 * normpdf(0.1, x, 0.1) + 0.3 * normpdf(0.1, x, 0.5) + 0.5 * normpdf(0.1, x, 0.9);
    EXPECT_NEAR(m.likelihood({x}), expected, 1e-14 * expected);
}

TEST(GaussMixtureLikelihood, UnitScaleAndZeroShiftEqualThePlainForm)
{
    const GaussMixture m = threeComponents();
    for (double x : {0.0, 0.3, 0.77, 2.0})
        EXPECT_EQ(m.likelihood({x}, {0.0}, {1.0}), m.likelihood({x})) << x;
}

TEST(GaussMixtureLikelihood, ScaleStretchesMeansAndDeviationsBeforeTheShift)
{
    const GaussMixture m = threeComponents();
    const double scale = 2.5;
    const double shift = -0.4;
    const double x = 1.1;
    double expected = 0.0;
    const double means[] = {0.1, 0.5, 0.9};
    const double weights[] = {0.2, 0.3, 0.5};
    for (int k = 0; k < 3; ++k)
        expected += weights[k] * normpdf(0.1 * scale, x, means[k] * scale + shift);
    EXPECT_NEAR(m.likelihood({x}, {shift}, {scale}), expected, 1e-13 * expected);
}

TEST(GaussMixtureLikelihood, DimensionTermsAreAddedNotMultiplied)
{
    GaussMixture m;
    m.setAllParams({{0.0, 10.0}}, {{1.0, 2.0}}, {1.0});
    EXPECT_EQ(m.dimension(), 2u);
    EXPECT_DOUBLE_EQ(m.likelihood({1.0, 9.0}), normpdf(1.0, 1.0, 0.0) + normpdf(2.0, 9.0, 10.0));
}

TEST(GaussMixtureLikelihood, EmptyMixtureIsZero)
{
    const GaussMixture m;
    EXPECT_EQ(m.likelihood({1.0}), 0.0);
    EXPECT_EQ(m.likelihood({1.0}, {0.0}, {1.0}), 0.0);
}

TEST(GaussMixtureLikelihoodDeathTest, PointOfWrongDimensionIsRefused)
{
    EXPECT_EXIT(threeComponents().likelihood({1.0, 2.0}), ExitedWithCode(1),
                "internal check failed: point has the mixture's dimension");
    EXPECT_EXIT(threeComponents().likelihood({1.0}, {0.0, 0.0}, {1.0}), ExitedWithCode(1),
                "internal check failed: shifts and scales have the mixture's dimension");
}

} // namespace
