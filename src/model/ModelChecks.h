#pragma once

#include <vector>

[[noreturn]] void failCheck(const char* condition);

// Broken model preconditions are programming errors; release builds keep the check.
// Inline: some run once per fragment table entry.
inline void check(bool holds, const char* condition)
{
    if (!holds) [[unlikely]]
        failCheck(condition);
}

// Left to right, so that every sum of the same values is the same double.
double sumInOrder(const std::vector<double>& values);
bool sumsToOne(const std::vector<double>& weights);
bool allPositive(const std::vector<double>& values);
