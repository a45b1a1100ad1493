#pragma once

#include <string>
#include <vector>

// Every tied group's betas, component by component, one value per EM iteration.
using BetaHistory = std::vector<std::vector<std::vector<double>>>;

// Writes the history to betas_iterations.dat in outputDir.
void writeBetaHistory(const BetaHistory& history, const std::string& outputDir);
