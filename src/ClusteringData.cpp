#include "Helper.h"

std::vector<double> Helper::renormalizeToPdf(std::vector<double> values)
{
    if (values.size() == 1) {
        values[0] = 1.0;
        return values;
    }
    if (values.empty())
        return values;
    double sum = 0.0;
    for (double v : values) {
        if (v < 0.0)
            return values;
        sum += v;
    }
    if (sum == 0.0)
        return values;
    // A NaN sum fails both comparisons and ends the loop with the values as they are.
    while (sum < 0.9999 || sum > 1.0001) {
        double next = 0.0;
        for (double& v : values) {
            if (v > 0.0)
                v /= sum;
            next += v;
        }
        sum = next;
    }
    return values;
}

void Helper::createClusteringData(const t_configuration&) {}
void Helper::clusterPDFs(std::string, t_configuration) {}
