#pragma once

// The training table of a gene: the density of every compatible fragment and
// transcript pair under each component.

#include <cstdint>
#include <vector>

#include "alignments/Compatibility.h"
#include "annotation/Annotations.h"
#include "util/FlatArray.h"
#include "util/ThreadPool.h"

// Densities of the compatible (fragment, transcript) pairs only: an incompatible
// pair has P = 0 for every component and adds exact zeros to every EM sum.
// Entries are stored in fragment order, transcripts ascending within a fragment.
struct FragmentTable {
    uint64_t nrComponents = 0;
    std::vector<uint32_t> firstEntry;  // N + 1 offsets
    // A fragment's transcripts, ascending, begin at rowTranscripts[fragmentRow[h]]. The
    // fragments that fit the same transcripts share a row: a large locus has far fewer
    // rows than fragments, and the table keeps no transcript per entry.
    std::vector<uint32_t> fragmentRow;  // N
    std::vector<uint32_t> rowTranscripts;
    // P(h, t, k) at entry * K + k, and a zero past the last, so that the E-step may read
    // a cell row four values at a time.
    FlatArray<double> cells;
};

// Scaled component means and deviations of dimension 0, row t holds K values.
struct ScaledComponents {
    std::vector<double> means;
    std::vector<double> devs;
};

// The fragments' transcripts as the table keeps them: one row per distinct set.
void setTranscriptRows(FragmentTable& table, const std::vector<uint32_t>& firstEntry,
                       const std::vector<uint32_t>& entryTranscript);

// The densities of every compatible pair under the scaled components, computed on the
// pool's threads when there is one. The fragments' entry offsets move into the table;
// their transcripts and coordinates are released once used.
FragmentTable buildFragmentTable(CompatibleFragments& fragments, const Gene& gene, uint64_t nrTranscripts,
                                 uint64_t nrComponents, const ScaledComponents& scaled, ThreadPool* pool = nullptr);
