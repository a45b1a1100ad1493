// Total- and compatible-hits FPKM of one gene against hand-computed values.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "output/Fpkm.h"

namespace {

Gene geneOf(const std::vector<int32_t>& lengths, const std::vector<int32_t>& normLengths,
            const std::vector<double>& alphas)
{
    Gene gene;
    for (std::size_t t = 0; t < lengths.size(); ++t) {
        t_transcript transcript;
        transcript.length = lengths[t];
        transcript.normLength = normLengths[t];
        gene.transcripts.push_back(transcript);
    }
    gene.alphas = alphas;
    return gene;
}

TEST(Fpkm, TotalHitsFromTheLocusFragments)
{
    struct Row {
        const char* name;
        uint64_t fragsLocus;
        uint64_t fragsExperiment;
        bool round;
        bool normalize;
        std::vector<int32_t> lengths;
        std::vector<int32_t> normLengths;
        std::vector<double> alphas;
        std::vector<double> expected;
    };
    const Row rows[] = {
        {"plain", 100, 1000000, false, false, {1000, 2000}, {1000, 2000}, {0.25, 0.75}, {25.0, 37.5}},
        {"empty experiment", 100, 0, false, false, {1000, 2000}, {1000, 2000}, {0.25, 0.75}, {0.0, 0.0}},
        {"zero length", 100, 1000000, false, false, {0, 1000}, {0, 1000}, {0.5, 0.5}, {0.0, 50.0}},
        {"rounded counts", 10, 1000, true, false, {1000, 1000}, {1000, 1000}, {0.33, 0.67}, {3000.0, 7000.0}},
        {"normalized length", 1000, 1000000, false, true, {2000}, {1000}, {1.0}, {1000.0}},
        // Below the count that normalization needs, the annotated length stays.
        {"too few to normalize", 100, 1000000, false, true, {2000}, {1000}, {1.0}, {50.0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        t_configuration conf;
        conf.roundCounts = row.round;
        conf.normalizeLengths = row.normalize;
        Gene gene = geneOf(row.lengths, row.normLengths, row.alphas);
        gene.fragsLocus = row.fragsLocus;
        setTotalHitsFpkm(gene, conf, row.fragsExperiment);
        double sum = 0.0;
        for (std::size_t t = 0; t < row.expected.size(); ++t) {
            EXPECT_DOUBLE_EQ(gene.transcripts[t].fpkmTHN, row.expected[t]) << t;
            sum += row.expected[t];
        }
        EXPECT_DOUBLE_EQ(gene.fpkmTHN, sum);
    }
}

TEST(Fpkm, CompatibleHitsAndStatus)
{
    struct Row {
        const char* name;
        uint64_t compFragsLocus;
        std::vector<double> alphas;
        std::vector<double> expected;
        const char* status;
    };
    const Row rows[] = {
        {"estimated", 100, {0.5, 0.5}, {500.0, 1000.0}, "OK"},
        // Abundances that are no distribution leave the gene failed, with its FPKMs.
        {"not a distribution", 100, {0.5, 0.4}, {500.0, 800.0}, "FAIL"},
        {"missing abundance", 100, {1.0}, {1000.0, 0.0}, "OK"},
        // Outside the compatible-fragment limits the gene keeps what it had.
        {"no compatible fragments", 0, {0.5, 0.5}, {0.0, 0.0}, "FAIL"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        t_configuration conf;
        Gene gene = geneOf({1000, 500}, {1000, 500}, row.alphas);
        gene.compFragsLocus = row.compFragsLocus;
        EXPECT_TRUE(calculateCHN(gene, conf, 1000000, 100000));
        for (std::size_t t = 0; t < row.expected.size(); ++t)
            EXPECT_DOUBLE_EQ(gene.transcripts[t].fpkmCHN, row.expected[t]) << t;
        EXPECT_DOUBLE_EQ(gene.fpkmCHN, row.expected[0] + row.expected[1]);
        EXPECT_EQ(gene.status, row.status);
    }
}

} // namespace
