#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/Configuration.h"

// What the build adds to the command line.
struct BuildFeatures {
    bool developmentPhase = false;
    // Cluster the start-site profiles after every quantification.
    bool clusterPdfs = false;
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
