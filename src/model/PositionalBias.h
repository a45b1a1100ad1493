#pragma once

#include <cstdint>
#include <vector>

#include "annotation/Annotations.h"
#include "model/GaussMixture.h"

// Each transcript's length times the mass its trained start density leaves for
// fragments of length N(100, 40) to fit on it; length and normLength both take it.
void normaliseLengths(std::vector<t_transcript>& transcripts, const std::vector<uint64_t>& transcriptGroup,
                      const GaussMixture& shape, const std::vector<double>& betas, uint64_t K);

// The start density each transcript would show under the given positional bias (1 to
// the 5' end, 2 to the 3' end, 3 none, 4 both ends), for the L1 trace to compare the
// trained ones with; empty for a transcript without length, none for bias 0.
std::vector<std::vector<double>> biasReferenceDensities(const std::vector<t_transcript>& transcripts,
                                                        int16_t biasType);
