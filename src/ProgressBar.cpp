#include "ProgressBar.h"

#include <iostream>

namespace {
constexpr int kBarWidth = 25;
}

void ProgressBar::setProgressMax(int max) { progressMax = max; }

void ProgressBar::updateProgressBar(std::string text, int value)
{
    // A display without a maximum has nothing to measure: show an empty bar rather than divide by 0.
    const int stars = progressMax > 0 ? value * kBarWidth / progressMax : 0;
    const int percent = progressMax > 0 ? value * 100 / progressMax : 0;

    std::string line = std::move(text);
    line += '[';
    if (stars > 0)
        line.append(static_cast<size_t>(stars), '*');
    if (stars < kBarWidth)
        line.append(static_cast<size_t>(kBarWidth - (stars > 0 ? stars : 0)), ' ');
    line += "]   ";
    line += std::to_string(percent);
    line += "%\r";

    // One write per call, so concurrent displays from workers interleave only by whole lines.
    std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
    std::cout.flush();
}

void ProgressBar::updateSimpleProgressBar(int value, int offset)
{
    if (progressMax <= 0)
        return;
    const int percent = (100 - offset) * value / progressMax + offset;
    if (percent == lastPercent)
        return;
    lastPercent = percent;
    const std::string line = std::to_string(percent) + "%\r";
    std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
    std::cout.flush();
}
