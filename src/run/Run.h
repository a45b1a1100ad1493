#pragma once

// The steps of a run, from the parsed options to the closing report.

#include <string>
#include <utility>
#include <vector>

#include "alignments/BamIO.h"
#include "annotation/Annotations.h"
#include "run/RunContext.h"

// Reads the genes list and the annotation, opens (and if need be sorts) the alignments
// and counts the experiment's fragments; false after saying why the run cannot go on.
bool initialize(RunContext& run, Annotations& annotations, BamIO& reader);

// How the run was asked for, as its record keeps it.
struct RunInvocation {
    int argc = 0;
    char** argv = nullptr;
    // Every option by long name with the value the run uses, defaults included.
    std::vector<std::pair<std::string, std::string>> optionValues;
};

// The whole run on options parsed by main; returns the process exit status. A failure
// that ends the run is thrown for main to report.
int runKestrove(const t_configuration& options, const t_directories& inputs, const RunInvocation& invocation);
