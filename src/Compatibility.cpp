#include "Compatibility.h"

bool Kestrove::checkExons(const t_transcript&, const t_read&, const t_configuration&) const { return false; }
void Kestrove::checkFragmentsValidity(GeneMap::iterator&, FragmentMap&, const t_configuration&) {}
void Kestrove::convertCoords(GeneMap::iterator&, FragmentMap&) {}
