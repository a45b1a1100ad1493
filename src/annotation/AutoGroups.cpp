#include "annotation/AutoGroups.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>

#include "util/Files.h"

namespace {

// The middle seven edges are a geometric series from 300 to 5000 with ratio
// (5000 / 300)^(1/6), kept exactly as these rounded constants.
constexpr std::array<double, 9> kLengthClassEdges = {
    0.0,
    300.0000000000001,
    479.4714065698457,
    766.309432393553,
    1224.744871391589,
    1957.433820584433,
    3128.445157410015,
    4999.999999999999,
    200000.000000001,
};

constexpr double kMaxMergeDistance = 1000.0;

using Group = std::vector<uint64_t>;

std::vector<Group> groupsByLengthClass(const Gene& gene)
{
    std::vector<Group> classes(kLengthClassEdges.size() - 1);
    for (size_t t = 0; t < gene.transcripts.size(); ++t) {
        auto length = static_cast<double>(gene.transcripts[t].length);
        for (size_t c = 0; c + 1 < kLengthClassEdges.size(); ++c) {
            if (kLengthClassEdges[c] < length && length <= kLengthClassEdges[c + 1]) {
                classes[c].push_back(t);
                break;
            }
        }
    }
    std::vector<Group> groups;
    for (Group& members : classes)
        if (!members.empty())
            groups.push_back(std::move(members));
    return groups;
}

size_t singletonGroups(const std::vector<Group>& groups)
{
    return static_cast<size_t>(std::count_if(groups.begin(), groups.end(),
                                             [](const Group& g) { return g.size() == 1; }));
}

// A transcript whose length is not positive leaves nothing to place mixture
// components on: the gene gets no group and gene processing skips it.
bool hasEstimableLengths(const Gene& gene)
{
    if (gene.transcripts.empty())
        return false;
    return std::all_of(gene.transcripts.begin(), gene.transcripts.end(),
                       [](const t_transcript& t) { return t.length > 0; });
}

} // namespace

double AutoGroups::groupDistance(const Gene& gene, const std::vector<uint64_t>& a, const std::vector<uint64_t>& b)
{
    if (a.empty() || b.empty())
        return std::numeric_limits<double>::infinity();
    auto meanLength = [&](const std::vector<uint64_t>& group) {
        double sum = 0.0;
        for (uint64_t t : group)
            sum += static_cast<double>(gene.transcripts[t].length);
        return sum / static_cast<double>(group.size());
    };
    double meanA = meanLength(a);
    double meanB = meanLength(b);
    double scale = std::fabs(100.0 - std::min(meanA, meanB));
    if (scale == 0.0)
        return std::numeric_limits<double>::infinity();
    return std::fabs(meanA - meanB) / scale;
}

std::vector<uint64_t> AutoGroups::tieTransLengths(const Gene& gene, uint64_t& nrGroups)
{
    std::vector<Group> groups = groupsByLengthClass(gene);
    while (singletonGroups(groups) > 1) {
        size_t bestI = 0;
        size_t bestJ = 0;
        double best = 0.0;
        bool found = false;
        for (size_t i = 0; i < groups.size(); ++i) {
            for (size_t j = i + 1; j < groups.size(); ++j) {
                double d = groupDistance(gene, groups[j], groups[i]);
                if (d != 0.0 && d < kMaxMergeDistance && (!found || d < best)) {
                    best = d;
                    bestI = i;
                    bestJ = j;
                    found = true;
                }
            }
        }
        if (!found)
            break;
        Group& target = groups[bestI];
        target.insert(target.end(), groups[bestJ].begin(), groups[bestJ].end());
        groups.erase(groups.begin() + static_cast<std::ptrdiff_t>(bestJ));
        std::sort(target.begin(), target.end());
    }

    std::vector<uint64_t> trans2group(gene.transcripts.size(), 0);
    for (size_t g = 0; g < groups.size(); ++g)
        for (uint64_t t : groups[g])
            trans2group[t] = g;
    nrGroups = groups.size();
    return trans2group;
}

void AutoGroups::saveTying(const Annotations& annotations)
{
    std::ostringstream groupsText;
    for (const auto& entry : annotations.genes) {
        const Gene& gene = entry.second;
        uint64_t nrGroups = 0;
        const std::vector<uint64_t> trans2group = tieTransLengths(gene, nrGroups);
        groupsText << "#gene_id\n" << gene.geneId << "\n#trans_to_tied_group\n";
        for (size_t t = 0; t < trans2group.size(); ++t)
            groupsText << (t ? " " : "") << trans2group[t];
        groupsText << "\n\n";
    }
    std::ofstream out(groupsFile, std::ios::out | std::ios::trunc);
    out << groupsText.str();
    out.close();
    // The run does not depend on this file, but a user who asked for it must learn it is missing.
    if (!out)
        std::cerr << "[tieTransLengths] fail to open file > " << groupsFile << "\n\n";
}

void saveGroupTying(const Annotations& annotations, const t_configuration& conf, const t_directories& dirs)
{
    if (!conf.autoGroupTying || !conf.saveGroupTying)
        return;
    AutoGroups tying;
    tying.groupsFile = dirs.outputDir + "/" + files::splitFilename(dirs.gtfFile) + ".groups";
    tying.saveTying(annotations);
}

std::vector<uint64_t> transcriptGroups(const Gene& gene, const Tying& tying, uint64_t& nrGroups)
{
    const size_t nrTranscripts = gene.transcripts.size();
    if (!hasEstimableLengths(gene)) {
        nrGroups = 0;
        return std::vector<uint64_t>(nrTranscripts, 0);
    }
    if (tying.automatic)
        return AutoGroups().tieTransLengths(gene, nrGroups);
    if (tying.global) {
        nrGroups = 1;
        return std::vector<uint64_t>(nrTranscripts, 0);
    }
    std::vector<uint64_t> trans2group(nrTranscripts);
    for (size_t t = 0; t < nrTranscripts; ++t)
        trans2group[t] = t;
    nrGroups = nrTranscripts;
    return trans2group;
}

t_initValues initialValues(const Gene& gene, const Tying& tying, int components)
{
    const size_t nrTranscripts = gene.transcripts.size();

    t_initValues record;
    record.trans2group = transcriptGroups(gene, tying, record.nrGroups);

    double maxLength = 0.0;
    for (size_t t = 0; t < nrTranscripts; ++t) {
        double length = static_cast<double>(gene.transcripts[t].length);
        if (t == 0 || length > maxLength)
            maxLength = length;
        record.nus.push_back({0.0});
    }

    record.betas.resize(record.nrGroups);
    for (int k = 0; k < components; ++k)
        for (auto& groupBetas : record.betas)
            groupBetas.push_back(1.0 / components);

    for (int k = 1; k <= components; ++k) {
        record.mus.push_back({k * maxLength / components - maxLength / (2 * components)});
        record.sigmas.push_back({record.mus.front()[0]});
    }

    if (nrTranscripts > 0) {
        for (const t_transcript& t : gene.transcripts)
            record.lambdas.push_back({maxLength > 0.0 ? t.length / maxLength : 0.0});
        record.alphas.assign(nrTranscripts, 1.0 / static_cast<double>(nrTranscripts));
    }
    record.fragLenMean = 200.0;
    record.fragLenSd = 80.0;
    return record;
}
