#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "annotation/Gene.h"
#include "config/Configuration.h"

// Whether a gene with this many compatible fragments is estimated at all.
bool countWithinLimits(uint64_t count, const t_configuration& conf);
// A gene that never reached estimation has no alphas or per-transcript counts;
// their values then read 0 instead of indexing past the end.
double valueAt(const std::vector<double>& values, std::size_t i);
// The estimate is usable only when the abundances form a distribution.
bool alphasSumToOne(const std::vector<double>& alphas);

// Total-hits FPKM of a gene's transcripts and of the gene from its locus's fragments.
void setTotalHitsFpkm(Gene& gene, const t_configuration& conf, uint64_t fragsExperiment);
// Compatible-hits FPKM of one gene from the experiment's totals.
bool calculateCHN(Gene& gene, const t_configuration& conf, uint64_t fragsExperiment,
                  uint64_t compFragsExperiment);
