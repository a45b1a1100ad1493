#pragma once

// Process-wide run state and the run driver's steps. The objects are defined in
// src/run/Run.cpp; nothing else in the program is global.

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <boost/thread/tss.hpp>

#include "annotation/Annotations.h"
#include "annotation/AutoGroups.h"
#include "alignments/BamIO.h"
#include "util/Helper.h"
#include "cli/Options.h"
#include "util/ProgressBar.h"
#include "util/TaskPool.h"
#include "output/WriteResults.h"

extern std::vector<std::string> chrList;
extern boost::thread_specific_ptr<BamIO> threadLocalStorage;
extern ProgressBar progressBar;
extern WriteResults results;
extern Helper helperObject;
extern t_configuration conf;
extern t_directories dirs;

extern std::atomic<uint64_t> fragsExpt;
extern std::atomic<uint64_t> compFragsExpt;
extern std::atomic<uint64_t> nrGenesProcessed;
extern std::atomic<int32_t> quantificationProgress;
// Paired reads of the loci read and those of them left without a mate; a read of
// overlapping loci counts once per locus.
extern std::atomic<uint64_t> pairedReadsExpt;
extern std::atomic<uint64_t> unmatedReadsExpt;
extern std::atomic<bool> unmatedNamesCarryMateSuffix;

bool initialize(Annotations& annotations, BamIO& reader);
void fragsExperiment(std::string region);
void processGene(GeneMap::iterator& gene);
// Genes of one reference whose loci overlap, read in one pass and then estimated one by one.
void processLoci(std::vector<GeneMap::iterator>& genes);
bool calculateCHN(GeneMap::iterator& gene);
// Counts a locus's paired and unmated reads towards the run's warning.
void noteUnmatedReads(const LocusFragments& fragments);
// The one warning about unmated reads when they are most of the paired reads; the text, or empty.
std::string unmatedReadsWarning();

// The whole run, as main performs it; returns the process exit status.
int runKestrove(int argc, char** argv);
