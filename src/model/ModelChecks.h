#pragma once

#include <vector>

// Broken model preconditions are programming errors; release builds keep the check.
void check(bool holds, const char* condition);

// Left to right, so that every sum of the same values is the same double.
double sumInOrder(const std::vector<double>& values);
bool sumsToOne(const std::vector<double>& weights);
bool allPositive(const std::vector<double>& values);
