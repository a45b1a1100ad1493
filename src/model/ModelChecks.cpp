#include "model/ModelChecks.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

void failCheck(const char* condition)
{
    throw std::logic_error(std::string("internal check failed: ") + condition);
}

double sumInOrder(const std::vector<double>& values)
{
    double sum = 0.0;
    for (double v : values)
        sum += v;
    return sum;
}

bool sumsToOne(const std::vector<double>& weights)
{
    return std::fabs(sumInOrder(weights) - 1.0) < 1e-10;
}

bool allPositive(const std::vector<double>& values)
{
    return !values.empty() && std::all_of(values.begin(), values.end(), [](double v) { return v > 0.0; });
}
