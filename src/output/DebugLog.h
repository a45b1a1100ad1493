#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "annotation/Annotations.h"
#include "annotation/AutoGroups.h"
#include "alignments/BamIO.h"
#include "config/Configuration.h"

class DebugLog {
public:
    void printConfiguration(const t_configuration& conf, std::stringstream& log);
    void printInitialValues(const t_initValues& values, std::stringstream& log);
    int validitiesToFile(FragmentMap& fragments, GeneMap::iterator& gene, std::string path);

    // The gene block of the log: name and id, the region queried, the number of
    // compatible fragments, the isoform ids and their tied groups (counted from 1).
    void printGeneInformation(const Gene& gene, const std::string& region, const t_initValues& values,
                              std::stringstream& log);
    void printFinalWeights(const std::vector<double>& alphas, const std::vector<std::vector<double>>& groupBetas,
                           std::stringstream& log);
    // Writes the log to outputDir/logfiles/<logFileName(gene)>; false, without a
    // message, when it cannot be written.
    bool writeLogFile(const std::string& outputDir, const Gene& gene, const std::string& text);
    // The gene's own log file name, from its id (and reference, for a gene split over several).
    static std::string logFileName(const Gene& gene);
};
