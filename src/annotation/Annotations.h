#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "annotation/Gene.h"

using GeneMap = std::map<std::string, Gene>;

// Which genes of the GTF a run reads, and whether genes whose exons overlap become one.
struct GeneSelection {
    // Otherwise the genes list chooses: the genes it names, or all others when excludeListed.
    bool allGenes = true;
    bool excludeListed = false;
    bool mergeOverlapping = false;
};

class Annotations {
public:
    GeneMap genes;
    GeneMap genesUnmerged;
    // Transcript (transcriptKey) to the key of the merged gene that holds it.
    std::map<std::string, std::string> transToGene;
    // Length of the alignments' reference that a GTF chromosome name stands for, or
    // -1 when it has none; set before parseGTF, which cuts exons at that length.
    std::function<int64_t(const std::string&)> referenceLength;

    int parseGTF(const char* path, const std::map<std::string, std::string>& genesList,
                 const GeneSelection& selection);

    // Back from the merged genes the run estimated to the genes of the annotation.
    void mergeAnnotations();
    // Genes whose exons overlap those of another gene on their reference: the ones merging joins.
    std::size_t overlappingGenes() const;

private:
    void mergeOverlappingGenes();
    // Joins into the first gene of each overlapping run the genes after it; byStart is
    // one reference's genes in order of start.
    void mergeOnReference(std::vector<Gene>& byStart);
};

// The key transToGene holds a transcript under: on a further reference of its gene id
// the same transcript id is another transcript.
std::string transcriptKey(const Gene& gene, const std::string& transcriptId);
