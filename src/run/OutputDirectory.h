#pragma once

#include <optional>
#include <string>

#include "config/Configuration.h"

// The directory the results go to: the one given (normalised) or output/ in the working
// directory; nothing, after saying why on standard error, when results could not be
// written there (or, with log files, to its logfiles directory). Leaves nothing behind.
std::optional<std::string> resolveOutputDirectory(const t_configuration& conf, const t_directories& given);

// Creates the resolved output directory and the subdirectories the options ask for;
// false after saying why on standard error.
bool createOutputDirectories(const t_configuration& conf, const std::string& outputDir);
