#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

// The run's progress on standard error. On a terminal one line redraws itself in place;
// anywhere else (a log file, a pipe, a batch system) whole lines come at most every few
// seconds, so that a log stays readable. Workers of the pool may call it at once.
class ProgressBar {
public:
    // A quiet display (--quiet) never prints.
    explicit ProgressBar(bool quiet = false) : quiet(quiet) {}
    virtual ~ProgressBar() = default;

    void setProgressMax(int max);
    // Value out of the maximum; off a terminal printed only when the last line is old enough.
    void updateProgressBar(const std::string& text, int value);
    // The display's last state, printed whatever the time since the last line.
    void finish(const std::string& text);

private:
    void show(const std::string& text, int value, bool last);

    const bool quiet;
    std::mutex mutex;
    int32_t progressMax = 0;
    int32_t lastValue = 0;
    bool printed = false;
    std::chrono::steady_clock::time_point lastLine;
};
