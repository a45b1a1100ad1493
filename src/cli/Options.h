#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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
    bool deferredPass = false;
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

// What the build adds to the command line.
struct BuildFeatures {
    bool developmentPhase = false;
    // Cluster the start-site profiles after every quantification.
    bool clusterPdfs = false;
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

// The options of one run as parsed and checked; nobody changes them afterwards.
struct ParsedOptions {
    t_configuration conf;
    t_directories dirs;
};

class ProgramParameters {
public:
    virtual ~ProgramParameters() = default;

    // The options of the command line for this build; nothing when the caller must
    // stop with exitStatus().
    std::optional<ParsedOptions> parse(int argc, char** argv, const BuildFeatures& features);

    // True when the run may start; false when the caller must stop with exitStatus().
    bool validateParameters(int argc, char** argv, t_directories& dirs, t_configuration& conf);
    // 0 after a request that was answered in full (the version), 1 otherwise.
    int exitStatus() const { return answered ? 0 : 1; }

    // Every option of this build by long name, with the value the run uses
    // (defaults included), in the order the options are declared.
    const std::vector<std::pair<std::string, std::string>>& optionValues() const { return values; }

private:
    bool answered = false;
    std::vector<std::pair<std::string, std::string>> values;
};
