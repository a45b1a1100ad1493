// Whole runs on experiments written by the simulator, checked for completeness
// against the simulated truth.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestUtil.h"

using testutil::readText;
using testutil::Summary;

namespace {

struct TruthRow {
    std::string transcript, gene;
    double length = 0, fragments = 0;
};

std::vector<TruthRow> readTruth(const std::string& path)
{
    std::vector<TruthRow> rows;
    const auto all = testutil::lines(readText(path));
    for (std::size_t i = 1; i < all.size(); ++i) {
        const auto f = testutil::fields(all[i]);
        rows.push_back({f.at(0), f.at(1), std::stod(f.at(2)), std::stod(f.at(3))});
    }
    return rows;
}

// Each gene and transcript of the annotation exactly once, genes in id order, the
// experiment's fragments counted once, every gene estimated.
void expectCompleteSummaries(const std::vector<TruthRow>& truth, const Summary& genes, const Summary& transcripts)
{
    std::set<std::string> geneIds;
    std::vector<std::string> transcriptIds;
    double total = 0;
    for (const auto& row : truth) {
        geneIds.insert(row.gene);
        transcriptIds.push_back(row.transcript);
        total += row.fragments;
    }
    EXPECT_EQ(genes.values("gene_ID"), std::vector<std::string>(geneIds.begin(), geneIds.end()));
    EXPECT_EQ(transcripts.values("tracking_ID"), transcriptIds);
    uint64_t locusSum = 0;
    for (const auto& row : genes.rows) {
        EXPECT_EQ(row[genes.column("frags_expt")], std::to_string(static_cast<uint64_t>(total)));
        EXPECT_EQ(row[genes.column("status")], "OK") << row[0];
        locusSum += std::stoull(row[genes.column("frags_locus")]);
    }
    // Genes do not overlap, so each fragment lies in exactly one locus.
    EXPECT_EQ(locusSum, static_cast<uint64_t>(total));
    std::map<std::string, double> abundanceSum;
    for (const auto& row : transcripts.rows)
        abundanceSum[row[transcripts.column("gene_ID")]] += std::stod(row[transcripts.column("abundance")]);
    // Five printed decimals; at most four isoforms a gene.
    for (const auto& [gene, sum] : abundanceSum)
        EXPECT_NEAR(sum, 1.0, 4 * 0.5e-5 + 1e-12) << gene;
}

} // namespace

TEST(Quantification, EveryGeneAndTranscriptIsReportedOnceWhateverTheBamLayout)
{
    struct Row {
        std::string options;
        std::string sample;  // the summaries' name
    };
    const std::vector<Row> rows = {
        {"--genes 20 --fragments 3000 --seed 11", "sim"},
        {"--genes 20 --fragments 3000 --seed 12 --single-end", "sim"},
        {"--genes 15 --fragments 2000 --seed 13 --unsorted", "sim.sorted"},
        {"--genes 14 --fragments 2000 --seed 14 --chromosomes 7 --chr-prefix", "sim"},
    };
    for (const Row& row : rows) {
        testutil::TempDir dir;
        testutil::simulate(dir.file("sim"), row.options);
        const std::string input = readText(dir.file("sim.bam"));
        const auto result = testutil::kestroveIn(dir.path(), "-G sim.gtf -B sim.bam -o out");
        ASSERT_EQ(result.status, 0) << row.options << result.err;
        EXPECT_EQ(readText(dir.file("sim.bam")), input);
        const auto truth = readTruth(dir.file("sim.truth.tsv"));
        const Summary genes = testutil::readSummary(dir.file("out/genes_summary_" + row.sample + ".dat"));
        expectCompleteSummaries(truth, genes,
                                testutil::readSummary(dir.file("out/transcripts_summary_" + row.sample + ".dat")));
        EXPECT_TRUE(testutil::contains(result.out, "\n> " + std::to_string(genes.rows.size()) + " genes processed.\n\n"))
            << result.out;
    }
}
