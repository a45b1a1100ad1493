#include "DebugLog.h"

void DebugLog::printConfiguration(const t_configuration&, std::stringstream&) {}
void DebugLog::printInitialValues(const t_initValues&, std::stringstream&) {}
int DebugLog::validitiesToFile(FragmentMap&, GeneMap::iterator&, std::string) { return 0; }
