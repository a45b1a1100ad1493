#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "ProgramParameters.h"

class Helper {
public:
    static std::string secondsToTime(unsigned long seconds);
    static std::string splitFilename(const std::string& path);
    static std::vector<double> renormalizeToPdf(std::vector<double> values);
    // A gene name or id as one file-name component: path separators and a leading
    // dot are replaced, so an annotation cannot make the program write outside the
    // output directory or to a hidden file; a name longer than kMaxFileSafeName bytes
    // is cut to that length, ending in a hash of the whole name.
    static constexpr std::size_t kMaxFileSafeName = 200;
    static std::string fileSafeName(const std::string& name);
    // Removes the files of `directory` named prefix, a process id, then nothing or "."
    // and more, whose process is gone: what a killed run left behind.
    static void removeStaleFiles(const std::string& directory, const std::string& prefix);

    // Sets the default output directory when none was given and reports on standard
    // error why results could not be written there (or, with log files, to its
    // logfiles directory); leaves nothing behind.
    static bool checkOutputDirectory(const t_configuration& conf, t_directories& dirs);
    bool createDirectories(t_configuration& conf, t_directories& dirs);
    void addToGenesList(std::string geneId);
    std::vector<std::string>& getHighlyAbundantGenes();

    void createClusteringData(const t_configuration& conf);
    // False when the profiles could not be clustered; the reason has been printed.
    bool clusterPDFs(std::string path, t_configuration conf);

private:
    bool busy = false;
    std::vector<std::string> highlyAbundantGenes;
    std::mutex mutex;
    std::condition_variable condition;
};
