#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "annotation/Gene.h"
#include "cli/Options.h"

using GeneMap = std::map<std::string, Gene>;

class Annotations {
public:
    GeneMap genes;
    GeneMap genesUnmerged;
    std::map<std::string, std::string> transToGene;
    std::map<std::string, std::vector<Gene>> genesByChromosome;
    std::vector<Gene> workList;
    // Length of the alignments' reference that a GTF chromosome name stands for, or
    // -1 when it has none; set before parseGTF, which cuts exons at that length.
    std::function<int64_t(const std::string&)> referenceLength;

    int parseGTF(const char* path, const std::map<std::string, std::string>& genesList,
                 const t_configuration& conf);

    void group_by_reference();
    void sort_chromosomes();
    void merge_genes();
    void restore_genes_map();
    void mergeAnnotations();
    // Genes whose exons overlap those of another gene on their reference: the ones merging joins.
    std::size_t overlappingGenes() const;
    bool checkOverlap(Gene a, Gene b);
    std::string getGIDbyTIDmerged(std::string transcriptId);
    bool dumpAnnotations(std::string path);
};
