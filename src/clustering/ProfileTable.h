#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config/Configuration.h"

// The start-site profiles of conf.resultsDir's transcript summary, appended to its
// norm_pdfs: nothing on success, otherwise the one-line reason. Nothing is written
// when the summary is refused.
std::optional<std::string> buildClusteringData(const t_configuration& conf);
// The same, printing the reason on standard error; false when it failed.
bool createClusteringData(const t_configuration& conf);
// Clusters the profiles of the norm_pdfs file at path into path.clusters; false when
// they could not be clustered, the reason printed.
bool clusterPDFs(const std::string& path, const t_configuration& conf);

