#pragma once

#include <optional>
#include <string>

#include "cli/Options.h"

// The work of Helper::createClusteringData without ending the process: nothing
// on success, otherwise the one-line reason that createClusteringData prints
// before it exits with status 1. Nothing is written when the summary is refused.
std::optional<std::string> buildClusteringData(const t_configuration& conf);
