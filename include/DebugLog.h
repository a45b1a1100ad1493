#pragma once

#include <sstream>
#include <string>

#include "Annotations.h"
#include "AutoGroups.h"
#include "BamIO.h"
#include "ProgramParameters.h"

class DebugLog {
public:
    void printConfiguration(const t_configuration& conf, std::stringstream& log);
    void printInitialValues(const t_initValues& values, std::stringstream& log);
    int validitiesToFile(FragmentMap& fragments, GeneMap::iterator& gene, std::string path);
};
