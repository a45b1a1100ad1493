#include "Gene.h"

void Gene::addExon(std::string, t_exon, bool) {}
void Gene::addTranscript(t_transcript) {}
double Gene::getAlphaValueByTid(std::string) { return 0.0; }
bool wayToSort(Gene a, Gene b) { return a.start < b.start; }
