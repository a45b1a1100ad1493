#pragma once

#include <cstdint>
#include <string>

class ProgressBar {
public:
    virtual ~ProgressBar() = default;

    void setProgressMax(int max);
    void updateProgressBar(std::string text, int value);
    void updateSimpleProgressBar(int value, int offset);

private:
    int32_t lastPercent = 0;
    int32_t progressMax = 0;
};
