#pragma once

#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include "annotation/Annotations.h"
#include "annotation/AutoGroups.h"
#include "config/Configuration.h"
#include "output/Provenance.h"
#include "util/WorkingFiles.h"

class WriteResults {
public:
    WriteResults() = default;

    void setConfigurations(const t_directories& dirs, const t_configuration& conf, const std::string& sampleName);
    void setExperimentCounts(uint64_t fragsExperiment, uint64_t compFragsExperiment);
    // Starts the run's provenance record: command line, option values, inputs and start time.
    void startRecord(int argc, char** argv, const std::vector<std::pair<std::string, std::string>>& options,
                     const t_directories& inputs);
    void openFilesForIntermediateResults();
    void writeIntermediateResults(GeneMap::iterator& gene);
    void logTrans(std::stringstream& text);
    void closeFilesForIntermediateResults();
    bool writeFinalResults(Annotations& annotations);

private:
    std::string summaryPath(const std::string& prefix) const;
    bool withinLimits(const Gene& gene) const;
    void writeFinalTranscriptRows(const Gene& gene);
    void writeFinalGeneRow(const Gene& gene);
    bool writeRecord(const std::string& temporary, const std::string& transcriptsTemp,
                     const std::string& genesTemp, const std::string& mixturesTemp);
    void reportIntermediateFailure();

    // The final files under their names and the temporary names they are written to.
    struct FinalFiles {
        std::string transcripts, genes, mixtures, record;
        std::string transcriptsTemp, genesTemp, mixturesTemp, recordTemp;
    };
    FinalFiles finalFiles() const;
    bool openFinalFiles(const FinalFiles& targets);
    bool completeFinalFiles(const FinalFiles& targets);
    // Renames the complete files into place; false when the summaries could not be
    // placed or no record was written beside them.
    bool placeFinalFiles(const FinalFiles& targets);
    void discardTemporaries(const FinalFiles& targets);

    t_directories dirs;
    t_configuration conf;
    // The name of the BAM file read, which the summaries carry in theirs.
    std::string sampleName;
    uint64_t fragsExpt = 0;
    uint64_t compFragsExpt = 0;
    std::ofstream transcriptsStream;
    std::ofstream genesStream;
    // The mixture columns of every transcript, which the clustering reads when the
    // transcript summary does not carry them.
    std::ofstream mixturesStream;
    std::mutex appendMutex;
    bool busy = false;
    std::condition_variable appendCondition;
    std::string intermediatePath;
    WorkingFileLock intermediateLock;
    bool intermediateFailureReported = false;
    provenance::Record record;
};

// Moves the transcript summary appended to during the run aside, to its name
// followed by ".partial", and removes unfinished final summaries, so that no
// incomplete file is left under a summary's final name. Returns the new name,
// or nullptr when nothing was moved. Async-signal-safe: the run's interruption
// handler calls it.
const char* setAsideUnfinishedSummaries() noexcept;
