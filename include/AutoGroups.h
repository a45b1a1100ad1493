#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Annotations.h"

struct t_initValues {
    std::vector<double> alphas;
    std::vector<std::vector<double>> betas;
    std::vector<std::vector<double>> mus;
    std::vector<std::vector<double>> sigmas;
    std::vector<std::vector<double>> spareParams;
    std::vector<std::vector<double>> nus;
    std::vector<std::vector<double>> lambdas;
    std::vector<uint64_t> trans2group;
    double fragLenMean = 200.0;
    double fragLenSd = 80.0;
    uint64_t nrGroups = 1;
};

using InitValuesMap = std::map<std::string, t_initValues>;

class AutoGroups {
public:
    std::string groupsFile;

    void tieTransLengths(const Annotations& annotations, InitValuesMap& initValues);
    double groupDistance(const Gene& gene, const std::vector<uint64_t>& a, const std::vector<uint64_t>& b);
    double scaleDist(double a, double b);
};

// Initial values and tying of every gene of the annotation into initValues;
// the run driver's calculateInitialValues calls it with the process-wide state.
void computeInitialValues(const Annotations& annotations, const t_configuration& conf,
                          const t_directories& dirs, InitValuesMap& initValues);
