#include "AutoGroups.h"

void AutoGroups::tieTransLengths(Annotations, InitValuesMap&) {}
double AutoGroups::groupDistance(const Gene&, const std::vector<uint64_t>&, const std::vector<uint64_t>&) { return 0.0; }
double AutoGroups::scaleDist(double, double) { return 0.0; }
void computeInitialValues(const Annotations&, const t_configuration&, const t_directories&, InitValuesMap&) {}
