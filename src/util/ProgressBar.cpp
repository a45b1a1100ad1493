#include "util/ProgressBar.h"

#include <unistd.h>

#include <iostream>

#include "util/Units.h"

namespace {

constexpr int kBarWidth = 25;
constexpr size_t kMessageWidth = 50;
constexpr auto kLineInterval = std::chrono::seconds(5);

const std::chrono::steady_clock::time_point processStart = std::chrono::steady_clock::now();

// Carriage returns make a log file one unreadable line.
bool onTerminal()
{
    static const bool terminal = ::isatty(STDERR_FILENO) == 1;
    return terminal;
}

// One write per line, so that lines of several threads do not mix.
void writeLine(const std::string& text)
{
    std::cerr.write(text.data(), static_cast<std::streamsize>(text.size()));
    std::cerr.flush();
}

// A display without a maximum has nothing to measure: 0 rather than a division by 0.
int share(int value, int max, int whole)
{
    return max > 0 ? static_cast<int>(int64_t{value} * whole / max) : 0;
}

std::string barLine(std::string text, int value, int max)
{
    const int stars = share(value, max, kBarWidth);
    const int percent = share(value, max, 100);
    if (text.size() < kMessageWidth)
        text.resize(kMessageWidth, ' ');
    text += '[';
    if (stars > 0)
        text.append(static_cast<size_t>(stars), '*');
    if (stars < kBarWidth)
        text.append(static_cast<size_t>(kBarWidth - (stars > 0 ? stars : 0)), ' ');
    return text + "]   " + std::to_string(percent) + "%\r";
}

std::string logLine(std::string text, int value, int max)
{
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    const int percent = share(value, max, 100);
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - processStart);
    return text + " " + std::to_string(percent) + "% (elapsed "
        + units::secondsToTime(static_cast<unsigned long>(elapsed.count())) + ")\n";
}

} // namespace

void ProgressBar::setProgressMax(int max)
{
    std::lock_guard<std::mutex> lock(mutex);
    progressMax = max;
    lastValue = 0;
}

void ProgressBar::updateProgressBar(const std::string& text, int value) { show(text, value, false); }

void ProgressBar::finish(const std::string& text) { show(text, 0, true); }

void ProgressBar::show(const std::string& text, int value, bool last)
{
    if (quiet)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    if (last)
        value = progressMax;
    // Workers take their values before they get here, not always in order.
    if (value < lastValue)
        return;
    lastValue = value;
    if (onTerminal()) {
        writeLine(barLine(text, value, progressMax) + (last ? "\n" : ""));
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (printed && !last && now - lastLine < kLineInterval)
        return;
    printed = true;
    lastLine = now;
    writeLine(logLine(text, value, progressMax));
}
