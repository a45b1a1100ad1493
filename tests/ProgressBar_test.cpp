#include "ProgressBar.h"

#include <string>

#include <gtest/gtest.h>

namespace {

std::string padded(std::string text)
{
    text.resize(50, ' ');
    return text;
}

std::string fullDisplay(int max, const std::string& text, int value)
{
    ProgressBar bar;
    bar.setProgressMax(max);
    testing::internal::CaptureStdout();
    bar.updateProgressBar(text, value);
    return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(ProgressBar, HalfwayShowsTwelveStarsAndThirteenSpaces)
{
    const std::string text = padded("Loading the annotations");
    EXPECT_EQ(fullDisplay(4, text, 2), text + "[" + std::string(12, '*') + std::string(13, ' ') + "]   50%\r");
}

TEST(ProgressBar, StarsAndPercentTruncateTowardZero)
{
    EXPECT_EQ(fullDisplay(3, "T", 1), "T[" + std::string(8, '*') + std::string(17, ' ') + "]   33%\r");
    EXPECT_EQ(fullDisplay(7, "", 0), "[" + std::string(25, ' ') + "]   0%\r");
    EXPECT_EQ(fullDisplay(4, "", 4), "[" + std::string(25, '*') + "]   100%\r");
}

TEST(ProgressBar, ValueAboveMaximumOverflowsTheBar)
{
    EXPECT_EQ(fullDisplay(4, "Saving results..", 5), "Saving results..[" + std::string(31, '*') + "]   125%\r");
}

TEST(ProgressBar, ZeroMaximumShowsAnEmptyBarInsteadOfDividing)
{
    EXPECT_EQ(fullDisplay(0, "x", 3), "x[" + std::string(25, ' ') + "]   0%\r");
    ProgressBar bar;
    testing::internal::CaptureStdout();
    bar.updateSimpleProgressBar(3, 4);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(ProgressBar, SimpleDisplayPrintsOnlyChangedPercentages)
{
    ProgressBar bar;
    bar.setProgressMax(100);
    testing::internal::CaptureStdout();
    bar.updateSimpleProgressBar(0, 0);
    bar.updateSimpleProgressBar(1, 0);
    bar.updateSimpleProgressBar(1, 0);
    bar.updateSimpleProgressBar(2, 0);
    bar.updateSimpleProgressBar(3, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "1%\r2%\r3%\r");
}

TEST(ProgressBar, SimpleDisplayScalesTheGenePassFromTheOffset)
{
    ProgressBar bar;
    bar.setProgressMax(10);
    testing::internal::CaptureStdout();
    bar.updateSimpleProgressBar(0, 4);
    bar.updateSimpleProgressBar(5, 4);
    bar.updateSimpleProgressBar(10, 4);
    bar.updateSimpleProgressBar(10, 4);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "4%\r52%\r100%\r");
}
