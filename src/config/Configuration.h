#pragma once

// The options of a run as one record: filled once from the command line (cli/Options)
// and read by every stage; nobody changes them afterwards.

#include <cstddef>
#include <cstdint>
#include <string>

struct t_configuration {
    bool outputDirGiven = false;
    bool autoGroupTying = false;
    bool saveGroupTying = false;
    bool genesListGiven = false;
    bool mergeAnnot = false;
    bool quiet = false;
    bool roundCounts = false;
    bool trainAlphas = true;
    bool trainBetas = true;
    bool trainMus = false;
    bool trainSigmas = false;
    bool observAlphas = true;
    bool observBetas = false;
    bool trainNus = false;
    bool trainLambdas = false;
    bool computeChn = true;
    bool normalizeLengths = false;
    bool debugMode = false;
    bool globalTying = false;
    bool excludeGenes = false;
    bool processAllGenes = true;
    bool logFiles = false;
    bool clusterPdfs = false;
    bool developmentPhase = false;
    int32_t maxCompFrags = 5000000;
    int32_t maxTotalFrags = 5000000;
    int32_t fragsThreshold = 1000000;
    int16_t minCompFrags = 1;
    int16_t normLengthMinCount = 500;
    int16_t biasType = 0;
    int16_t minFragsFss = 100;
    int16_t nrClusters = 5;
    int16_t minTransLen = 200;
    int16_t minTransFrags = 100;
    int16_t nrIterations = 500;
    int16_t nrBlocks = 3;
    int16_t nrThreads = 1;
    double likelihoodThreshold = 0.5;
    double minParamDiff = 1e-5;
    std::size_t sortMemory = 0;  // bytes; 0: from what the run may use
    std::string resultsDir;
    char clusterDistance = 'b';
    char clusterMethod = 'a';
    int32_t strandedness = 0;
    // Secondary, QC-failed and supplementary records are left out wherever records are read.
    bool primaryOnly = false;
};

struct t_directories {
    std::string outputDir;
    std::string extraPath1;
    std::string gtfFile;
    std::string bamFile;
    std::string genesListFile;
    std::string debugDir;
    std::string extraPath2;
};
