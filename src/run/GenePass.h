#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "alignments/Compatibility.h"
#include "annotation/Annotations.h"
#include "annotation/AutoGroups.h"
#include "run/RunContext.h"

// The genes estimated one group of nearby loci per task of the pool, then the genes put
// off for being too large for one worker, each with every thread.
void runGenePass(RunContext& run, Annotations& annotations);

// One pass over the genes with the options it runs with: the deferred pass gives each
// gene every thread.
class GenePass {
public:
    // deferred: the pass over the genes put off for their size, each with every thread.
    GenePass(RunContext& run, bool deferred) : run(run), conf(run.options), deferred(deferred) {}

    // Genes of one reference whose loci overlap, read in one pass and then estimated one by one.
    // slot: the pool slot of the calling thread, whose reader reads the loci.
    void processLoci(std::vector<GeneMap::iterator>& genes, unsigned slot);
    void processGene(GeneMap::iterator& gene, unsigned slot = 0);

private:
    struct LocusTask;
    void completeGene(LocusTask& task, BamIO& reader, uint64_t count, bool fragmentsRead);
    void estimateGene(GeneMap::iterator& gene, CompatibleFragments& fragments, const t_initValues& values,
                      const std::string& region, const std::string& startTime, std::time_t startClock);
    void writeValidities(GeneMap::iterator& gene, BamIO& reader, const std::string& region);
    uint64_t recordBudget() const;

    RunContext& run;
    const t_configuration& conf;
    const bool deferred;
};

// Fragments of a count of records: pairs and singletons when the reads are paired.
uint64_t fragmentCount(const t_flagStats& stats);

// Counts a locus's paired and unmated reads towards the run's warning.
void noteUnmatedReads(RunCounters& counters, const LocusFragments& fragments);
// The one warning about unmated reads when they are most of the paired reads; the text, or empty.
std::string unmatedReadsWarning(const RunCounters& counters);
