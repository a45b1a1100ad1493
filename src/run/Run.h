#pragma once

// The steps of a run, from the parsed options to the closing report.

#include <string>

#include "alignments/BamIO.h"
#include "annotation/Annotations.h"
#include "run/RunContext.h"

// Reads the genes list and the annotation, opens (and if need be sorts) the alignments
// and counts the experiment's fragments; false after saying why the run cannot go on.
bool initialize(RunContext& run, Annotations& annotations, BamIO& reader);
// Adds the fragments of one region of the alignments to the experiment's count.
void fragsExperiment(RunContext& run, const std::string& region, unsigned slot = 0);

// The whole run, as main performs it; returns the process exit status. A failure that
// ends the run is thrown for main to report.
int runKestrove(int argc, char** argv, const BuildFeatures& features);
