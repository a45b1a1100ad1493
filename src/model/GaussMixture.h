#pragma once

#include <cstdint>
#include <vector>

// The start density shared by a tied group of transcripts: K normal components with
// their weights (the betas), before each transcript's shift and scale.
class GaussMixture {
public:
    void setAllParams(const std::vector<std::vector<double>>& means,
                      const std::vector<std::vector<double>>& stdDevs,
                      const std::vector<double>& weights);
    void weights(const std::vector<double>& newWeights);
    uint64_t dimension() const { return _dim; }

    uint64_t _nrMixtures = 0;
    uint64_t _dim = 0;
    std::vector<double> _weights;
    std::vector<std::vector<double>> _means;
    std::vector<std::vector<double>> _stdDevs;
};
