#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "ProgramParameters.h"

class Helper {
public:
    static std::string secondsToTime(unsigned long seconds);
    static std::string splitFilename(const std::string& path);
    static std::vector<double> renormalizeToPdf(std::vector<double> values);

    bool createDirectories(t_configuration& conf, t_directories& dirs);
    void addToGenesList(std::string geneId);
    std::vector<std::string>& getHighlyAbundantGenes();

    void createClusteringData(const t_configuration& conf);
    void clusterPDFs(std::string path, t_configuration conf);

private:
    bool busy = false;
    std::vector<std::string> highlyAbundantGenes;
    std::mutex mutex;
    std::condition_variable condition;
};
