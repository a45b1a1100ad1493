#pragma once

#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "annotation/Annotations.h"
#include "alignments/Compatibility.h"
#include "config/Configuration.h"
#include "model/GaussMixture.h"
#include "util/ThreadPool.h"

// What a training reads of the run's options; trainingOptions fills it.
struct TrainingOptions {
    int16_t nrComponents = 0;
    int16_t nrIterations = 0;
    double minParamDiff = 0.0;
    double likelihoodThreshold = 0.0;
    bool trainBetas = false;
    // A gene of at least this many fragments sums its E-step in blocks, on blockPool's
    // threads when there is one.
    uint64_t blockedFragments = std::numeric_limits<uint64_t>::max();
    ThreadPool* blockPool = nullptr;
    bool logFiles = false;
    bool observAlphas = false;
    bool observBetas = false;
    bool normalizeLengths = false;
    int16_t biasType = 0;
};

// deferredPass: a gene put off for its size, trained with the run's threads.
TrainingOptions trainingOptions(const t_configuration& conf, bool deferredPass = false);

// The fragments of a gene as a mixture of its transcripts (weights alpha), each
// transcript's start density its tied group's Gaussian mixture (weights beta), shifted
// and scaled to the transcript.
class TranscriptMixture {
public:
    // The weights are checked only: training starts from the alphas it is given.
    TranscriptMixture(const std::vector<double>& weights, const std::vector<std::vector<double>>& shifts,
                      const std::vector<std::vector<double>>& scales,
                      const std::vector<uint64_t>& transcript2TiedGroup,
                      const std::vector<GaussMixture>& tiedGroupPDFs);

    // Trains alphas and betas by EM. Consumes the fragments' tables: they are moved into
    // or released by the training.
    void train(CompatibleFragments& fragments, GeneMap::iterator& gene, std::vector<double>& alphas,
               const TrainingOptions& options, std::stringstream& log, const std::string& outputDir);

    uint64_t _nrTranscripts = 0;
    std::vector<std::vector<double>> _transcriptShifts;
    std::vector<std::vector<double>> _transcriptScales;
    std::vector<uint64_t> _transcript2TiedGroup;
    std::vector<GaussMixture> _tiedGroupPDFs;
};
