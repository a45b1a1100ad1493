#include "WriteResults.h"

void WriteResults::setConfigurations(t_directories&, t_configuration&, InitValuesMap&) {}
void WriteResults::setExperimentCounts(uint64_t, uint64_t) {}
void WriteResults::openFilesForIntermediateResults() {}
void WriteResults::writeIntermediateResults(GeneMap::iterator&) {}
void WriteResults::logTrans(std::stringstream&) {}
void WriteResults::closeFilesForIntermediateResults() {}
bool WriteResults::writeFinalResults(Annotations&) { return false; }
bool calculateCHN(Gene&, const t_configuration&, uint64_t, uint64_t) { return true; }
