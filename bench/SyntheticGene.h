#pragma once

// The one large gene both EM benchmarks train: 10 transcripts (lengths 1200 .. 3450),
// K = 3, every transcript its own tied group, paired fragments each compatible with
// 2, 3 or 4 transcripts, components laid evenly along the longest transcript.

#include <cstdint>
#include <random>
#include <vector>

#include "model/TranscriptMixture.h"

struct SyntheticGene {
    static constexpr int kTranscripts = 10;
    static constexpr int kComponents = 3;

    GeneMap genes;
    GeneMap::iterator gene;
    CompatibleFragments compatible;  // training consumes its tables: train on a copy
    uint64_t cells = 0;  // stored (fragment, transcript, component) cells
    std::vector<int32_t> lengths;

    explicit SyntheticGene(int nrFragments)
    {
        std::mt19937 rng(2024);
        Gene g;
        g.geneId = "BENCH";
        g.geneName = "BENCH";
        for (int t = 0; t < kTranscripts; ++t) {
            t_transcript transcript;
            transcript.length = 1200 + 250 * t;
            lengths.push_back(transcript.length);
            g.transcripts.push_back(transcript);
        }
        gene = genes.emplace(g.geneId, g).first;

        std::uniform_int_distribution<int> compatibleCount(2, 4);
        std::uniform_int_distribution<int> transcript(0, kTranscripts - 1);
        std::uniform_int_distribution<int> fragLength(100, 400);
        compatible.firstEntry.push_back(0);
        for (int f = 0; f < nrFragments; ++f) {
            std::vector<bool> row(kTranscripts, false);
            for (int n = compatibleCount(rng); n > 0;) {
                const int t = transcript(rng);
                if (!row[t]) {
                    row[t] = true;
                    --n;
                }
            }
            for (int t = 0; t < kTranscripts; ++t) {
                if (!row[t])
                    continue;
                std::uniform_int_distribution<int> start(1, lengths[t]);
                compatible.entryTranscript.push_back(static_cast<uint32_t>(t));
                compatible.entryStart.push_back(start(rng));
                compatible.entryLength.push_back(fragLength(rng));
                cells += kComponents;
            }
            compatible.firstEntry.push_back(compatible.entryTranscript.size());
            compatible.paired.push_back(1);
        }
    }

    TranscriptMixture model() const
    {
        const double longest = lengths.back();
        std::vector<std::vector<double>> mus;
        std::vector<std::vector<double>> sigmas;
        for (int k = 0; k < kComponents; ++k) {
            mus.push_back({(2.0 * k + 1.0) * longest / (2.0 * kComponents)});
            sigmas.push_back({longest / (2.0 * kComponents)});
        }
        std::vector<GaussMixture> pdfs(kTranscripts);
        for (auto& pdf : pdfs)
            pdf.setAllParams(mus, sigmas, std::vector<double>(kComponents, 1.0 / kComponents));
        std::vector<std::vector<double>> shifts;
        std::vector<std::vector<double>> scales;
        std::vector<uint64_t> groups;
        for (int t = 0; t < kTranscripts; ++t) {
            shifts.push_back({0.0});
            scales.push_back({lengths[t] / longest});
            groups.push_back(t);
        }
        return TranscriptMixture(std::vector<double>(kTranscripts, 1.0 / kTranscripts), shifts, scales, groups, pdfs);
    }

    // Exactly `iterations` EM iterations, without stop rules.
    t_configuration trainingConf(int iterations) const
    {
        t_configuration conf;
        conf.nrBlocks = kComponents;
        conf.nrIterations = static_cast<int16_t>(iterations);
        conf.minParamDiff = 0.0;
        conf.likelihoodThreshold = 0.0;
        return conf;
    }
};
