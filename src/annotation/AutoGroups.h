#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "annotation/Annotations.h"
#include "config/Configuration.h"

struct t_initValues {
    std::vector<double> alphas;
    std::vector<std::vector<double>> betas;
    std::vector<std::vector<double>> mus;
    std::vector<std::vector<double>> sigmas;
    std::vector<std::vector<double>> spareParams;
    std::vector<std::vector<double>> nus;
    std::vector<std::vector<double>> lambdas;
    std::vector<uint64_t> trans2group;
    double fragLenMean = 200.0;
    double fragLenSd = 80.0;
    uint64_t nrGroups = 1;
};

class AutoGroups {
public:
    std::string groupsFile;

    // The gene's transcripts tied by length class; nrGroups is set to the number of groups.
    std::vector<uint64_t> tieTransLengths(const Gene& gene, uint64_t& nrGroups);
    // Every gene's tying, written to groupsFile.
    void saveTying(const Annotations& annotations);
    double groupDistance(const Gene& gene, const std::vector<uint64_t>& a, const std::vector<uint64_t>& b);
};

// How a gene's transcripts are tied into groups: by length class (automatic), all in
// one group (global), or each in its own.
struct Tying {
    bool automatic = false;
    bool global = false;
};

// The tying of a gene's transcripts into groups; a gene with a transcript of no
// positive length gets no group.
std::vector<uint64_t> transcriptGroups(const Gene& gene, const Tying& tying, uint64_t& nrGroups);
// A gene's initial values and tying, made when the gene is estimated: held for every
// gene at once they would take more room than the annotation itself.
t_initValues initialValues(const Gene& gene, const Tying& tying, int components);
// Writes the automatic tying of every gene when the configuration asks for the file.
void saveGroupTying(const Annotations& annotations, const t_configuration& conf, const t_directories& dirs);
