#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "annotation/Annotations.h"
#include "model/EStep.h"

// The development trace of a training: per iteration, the L1 distance of each
// transcript's trained start density from its bias reference, weighted by its alpha,
// summed over the gene and over each tied group.
class L1Trace {
public:
    L1Trace(const std::string& path, const std::vector<std::vector<double>>& references, const Gene& gene,
            const std::vector<uint64_t>& transcriptGroup, uint64_t nrGroups, uint64_t nrComponents,
            const ScaledComponents& scaled, int16_t nrIterations);

    void record(const std::vector<double>& alphas, const std::vector<double>& betas);
    void writeFinalDensities();
    void close(const std::vector<double>& alphas);

private:
    static void append(std::string& text, double value);

    std::ofstream out;
    const std::vector<std::vector<double>>& references;
    const std::vector<uint64_t>& transcriptGroup;
    uint64_t nrGroups;
    uint64_t nrComponents;
    const ScaledComponents& scaled;
    std::vector<int32_t> lengths;
    std::vector<std::vector<double>> computed;
    std::string geneString;
    std::vector<std::string> groupStrings;
    std::vector<double> distances;
    uint64_t nrValues = 0;
};
