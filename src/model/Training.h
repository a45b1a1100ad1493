#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "annotation/Annotations.h"
#include "alignments/BamIO.h"
#include "alignments/Compatibility.h"
#include "cli/Options.h"

double normpdf(const double& sigma, const double& x, const double& mu);
double chi2pdf(const double& x, const double& k);

// Fragments [begin, end) of one block when the E-step of a large gene is split into
// blocks: N / blocks fragments each, the last block also taking the remainder.
struct FragmentBlock {
    uint64_t begin = 0;
    uint64_t end = 0;
};
FragmentBlock fragmentBlock(uint64_t nrFragments, uint64_t nrBlocks, uint64_t blockIndex);

class GaussMixture {
public:
    void setAllParams(const std::vector<std::vector<double>>& means,
                      const std::vector<std::vector<double>>& stdDevs,
                      const std::vector<double>& weights);
    void weights(const std::vector<double>& newWeights);
    uint64_t dimension() const { return _dim; }
    double likelihood(const std::vector<double>& x) const;
    double likelihood(const std::vector<double>& x, const std::vector<double>& shifts,
                      const std::vector<double>& scales) const;

    uint64_t _nrMixtures = 0;
    uint64_t _dim = 0;
    std::vector<double> _weights;
    std::vector<std::vector<double>> _means;
    std::vector<std::vector<double>> _stdDevs;
};

class KestroveModel {
public:
    KestroveModel(const std::vector<double>& weights, const std::vector<std::vector<double>>& shifts,
                  const std::vector<std::vector<double>>& scales,
                  const std::vector<uint64_t>& transcript2TiedGroup,
                  const std::vector<GaussMixture>& tiedGroupPDFs);

    double likelihood(const std::vector<double>& x) const;
    double likelihood(const std::vector<double>& x, uint64_t t) const;

    // Consumes the fragments' tables: they are moved into or released by the training.
    void train(CompatibleFragments& fragments, GeneMap::iterator& gene, std::vector<double>& alphas,
               const t_configuration& conf, std::stringstream& log, const std::string& outputDir);
    // The same on fragments held by key with the gene's validity rows.
    void train(FragmentMap& fragments, GeneMap::iterator& gene, std::vector<double>& alphas,
               const t_configuration& conf, std::stringstream& log, const std::string& outputDir);
    void betasToFile(const std::vector<std::vector<std::vector<double>>>& history, std::string outputDir);
    void calculateArtificalGenePDF(std::vector<std::vector<double>>& references, GeneMap::iterator& gene,
                                   const t_configuration& conf);

    uint64_t _nrTranscripts = 0;
    uint64_t _nrTiedGroups = 0;
    uint64_t _dim = 0;
    std::vector<double> _transcriptWeights;
    std::vector<std::vector<double>> _transcriptShifts;
    std::vector<std::vector<double>> _transcriptScales;
    std::vector<uint64_t> _transcript2TiedGroup;
    std::vector<GaussMixture> _tiedGroupPDFs;
};
