#include "ProgressBar.h"

void ProgressBar::setProgressMax(int max) { progressMax = max; }
void ProgressBar::updateProgressBar(std::string, int) {}
void ProgressBar::updateSimpleProgressBar(int, int) {}
