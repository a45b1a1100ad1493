#include "Helper.h"

std::string Helper::secondsToTime(unsigned long) { return {}; }
std::string Helper::splitFilename(const std::string&) { return {}; }
bool Helper::createDirectories(t_configuration&, t_directories&) { return false; }
void Helper::addToGenesList(std::string) {}
std::vector<std::string>& Helper::getHighlyAbundantGenes() { return highlyAbundantGenes; }
