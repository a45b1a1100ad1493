// Whole runs of kestrove on small hand-written annotations and alignments, with
// the summaries compared against values worked out by hand.

#include <cmath>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "TestUtil.h"

using testutil::exon;
using testutil::fields;
using testutil::lines;
using testutil::readText;

namespace {

// Gene GA ("alpha"): one transcript of two exons, 400 + 300 = 700 bases, three pairs in
// its first exon and one pair in its intron (in the locus, compatible with nothing).
// Gene GB (no name): one exon of 1000 bases with ten pairs. So the experiment has 14
// fragments, 13 of them compatible.
const std::string kTwoGenes = exon("chr1", 1001, 1400, "GA", "tA", "alpha") + exon("chr1", 1601, 1900, "GA", "tA", "alpha")
    + exon("chr1", 5001, 6000, "GB", "tB");

std::string twoGenesReads()
{
    std::vector<testutil::Pair> pairs = {{"chr1", 1010, 1200}, {"chr1", 1050, 1250}, {"chr1", 1100, 1300}, {"chr1", 1420, 1500}};
    for (int i = 0; i < 10; ++i)
        pairs.emplace_back("chr1", 5050 + 80 * i, 5300 + 60 * i);
    return testutil::pairsSam(pairs);
}

// 1e9 x 4 / (700 x 14), 1e9 x 3 / (700 x 13); 1e9 x 10 / (1000 x 14), 1e9 x 10 / (1000 x 13).
const std::string kGeneA = "GA\talpha\tchr1:1001-1900\t4\t14\t408163.265306\t3\t13\t329670.329670\tOK";
const std::string kGeneB = "GB\tGB\tchr1:5001-6000\t10\t14\t714285.714286\t10\t13\t769230.769231\tOK";

class GeneRuns : public testing::Test {
protected:
    void write(const std::string& gtf, const std::string& sam)
    {
        testutil::writeText(dir.file("genes.gtf"), gtf);
        testutil::samToBam(sam, dir.file("reads.bam"), true);
    }
    testutil::CommandResult quantify(const std::string& options, const std::string& exe = testutil::kestroveExe())
    {
        return testutil::kestroveIn(dir.path(), "-G genes.gtf -B reads.bam -o out " + options, exe);
    }
    std::vector<std::string> geneRows() const { return lines(readText(dir.file("out/genes_summary_reads.dat"))); }
    std::vector<std::string> transcriptRows() const
    {
        return lines(readText(dir.file("out/transcripts_summary_reads.dat")));
    }

    testutil::TempDir dir;
};

} // namespace

TEST_F(GeneRuns, FpkmDividesLocusFragmentsByLengthAndExperimentSize)
{
    write(kTwoGenes, twoGenesReads());
    const auto result = quantify("");
    ASSERT_EQ(result.status, 0) << result.err;
    const auto transcripts = transcriptRows();
    ASSERT_EQ(transcripts.size(), 3u);
    EXPECT_EQ(transcripts[1], "tA\tGA\talpha\tchr1:1001-1900\t700\t1.00\t1.00000\t4\t14\t408163.26531\t3\t13\t329670.32967");
    EXPECT_EQ(transcripts[2], "tB\tGB\tGB\tchr1:5001-6000\t1000\t1.00\t1.00000\t10\t14\t714285.71429\t10\t13\t769230.76923");
    EXPECT_EQ(geneRows(), (std::vector<std::string>{lines(readText(dir.file("out/genes_summary_reads.dat")))[0], kGeneA,
                                                    kGeneB}));
}

// The fragment limits are inclusive; a gene outside them keeps its row with zeros and
// FAIL, and the compatible count of the experiment leaves it out.
TEST_F(GeneRuns, GenesOutsideTheFragmentLimitsFailAndLeaveTheExperimentCounts)
{
    write(kTwoGenes, twoGenesReads());
    const std::string gaAlone = "GA\talpha\tchr1:1001-1900\t4\t14\t408163.265306\t3\t3\t1428571.428571\tOK";
    const std::string gbOver = "GB\tGB\tchr1:5001-6000\t0\t14\t0\t0\t3\t0\tFAIL";
    struct Row {
        std::string options;
        std::string ga, gb;
        std::string skipped;
    };
    const std::vector<Row> rows = {
        {"-x 10", kGeneA, kGeneB, ""},
        {"-x 9", gaAlone, gbOver, "\n> 1 genes processed.\n> 1 genes skipped.\n"},
        {"-M 10", kGeneA, kGeneB, ""},
        {"-M 9", gaAlone, gbOver, "\n> 1 genes processed.\n> 1 genes skipped.\n"},
        {"-m 3", kGeneA, kGeneB, ""},
        {"-m 4", "GA\talpha\tchr1:1001-1900\t0\t14\t0\t0\t10\t0\tFAIL",
         "GB\tGB\tchr1:5001-6000\t10\t14\t714285.714286\t10\t10\t1000000.000000\tOK", "> 1 genes skipped.\n"},
    };
    for (const Row& row : rows) {
        const auto result = quantify(row.options);
        ASSERT_EQ(result.status, 0) << row.options << result.err;
        const auto genes = geneRows();
        ASSERT_EQ(genes.size(), 3u) << row.options;
        EXPECT_EQ(genes[1], row.ga) << row.options;
        EXPECT_EQ(genes[2], row.gb) << row.options;
        EXPECT_EQ(testutil::contains(result.out, "genes skipped"), !row.skipped.empty()) << row.options;
        EXPECT_TRUE(testutil::contains(result.out, row.skipped)) << row.options;
    }
}

// Single-end reads are fragments of their own; an annotation without the "chr"
// prefix finds its chromosome in a BAM that has it, and the locus names the BAM's.
TEST_F(GeneRuns, SingleEndReadsOnAPrefixedReferenceCountOneFragmentEach)
{
    std::string sam = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:20000\n";
    for (int pos : {1010, 1050, 1100, 1420})
        sam += testutil::samRecord("r" + std::to_string(pos), 0, "chr1", pos, "50M");
    testutil::writeText(dir.file("genes.gtf"), exon("1", 1001, 1400, "GA", "tA") + exon("1", 1601, 1900, "GA", "tA"));
    testutil::samToBam(sam, dir.file("reads.bam"), true);
    const auto result = quantify("");
    ASSERT_EQ(result.status, 0) << result.err;
    // 1e9 x 4 / (700 x 4) and 1e9 x 3 / (700 x 3).
    EXPECT_EQ(geneRows()[1], "GA\tGA\tchr1:1001-1900\t4\t4\t1428571.428571\t3\t3\t1428571.428571\tOK");
}

TEST_F(GeneRuns, GenesAreWrittenOnceEachInByteWiseIdOrderAndAbsentChromosomesFail)
{
    // Upper case sorts before "_" and lower case; "G10" before "G9".
    const std::string gtf = exon("chr1", 9001, 9500, "g1", "t_g1") + exon("chr1", 7001, 7500, "G_2", "t_G_2")
        + exon("chr1", 1001, 1500, "G9", "t_G9a") + exon("chr1", 1001, 1400, "G9", "t_G9b")
        + exon("chr1", 3001, 3500, "G10", "t_G10") + exon("chr2", 1001, 1500, "A", "t_A")
        + exon("chrZ", 100, 900, "GZ", "t_GZ");
    write(gtf, testutil::pairsSam({{"chr1", 1100, 1300}, {"chr1", 3100, 3300}, {"chr1", 9100, 9300}, {"chr2", 1100, 1200}}));
    const auto result = quantify("");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(testutil::contains(result.out, "\n> 6 genes processed.\n\nExperiment finished on ")) << result.out;
    EXPECT_EQ(testutil::column(dir.file("out/genes_summary_reads.dat"), "gene_ID"), "A G10 G9 GZ G_2 g1 ");
    EXPECT_EQ(testutil::column(dir.file("out/genes_summary_reads.dat"), "status"), "OK OK OK FAIL FAIL OK ");
    EXPECT_EQ(testutil::column(dir.file("out/transcripts_summary_reads.dat"), "tracking_ID"),
              "t_A t_G10 t_G9a t_G9b t_GZ t_G_2 t_g1 ");
}

TEST_F(GeneRuns, GeneAtTheFragmentsThresholdIsDeferredAndEstimatedAlike)
{
    if (!testutil::hasTwoHardwareThreads())
        GTEST_SKIP() << "needs two hardware threads";
    write(kTwoGenes, twoGenesReads());
    const auto single = quantify("", testutil::kestroveDevExe());
    ASSERT_EQ(single.status, 0) << single.err;
    const auto expectedGenes = readText(dir.file("out/genes_summary_reads.dat"));
    const auto expectedTranscripts = readText(dir.file("out/transcripts_summary_reads.dat"));

    // GB counts exactly 10 fragments, GA 4: the display passes 100 % by the one deferred gene.
    for (const auto& [threshold, stars, percent] :
         std::vector<std::tuple<int, size_t, std::string>>{{10, 37, "150"}, {11, 25, "100"}}) {
        const auto result = quantify("--threads 2 --frags-threshold " + std::to_string(threshold),
                                     testutil::kestroveDevExe());
        ASSERT_EQ(result.status, 0) << result.err;
        std::string saving = "Saving results..";
        saving.resize(50, ' ');
        EXPECT_TRUE(testutil::contains(result.out, saving + "[" + std::string(stars, '*') + "]   " + percent + "%\r"))
            << threshold << result.out;
        EXPECT_EQ(readText(dir.file("out/genes_summary_reads.dat")), expectedGenes);
        EXPECT_EQ(readText(dir.file("out/transcripts_summary_reads.dat")), expectedTranscripts);
    }
}

// The development options together on a simulated experiment: every gene is still
// estimated, and the groups file, the traces and the logs cover every gene.
TEST(DevelopmentRun, TyingTracesAndLengthNormalisationKeepEveryGene)
{
    testutil::TempDir dir;
    testutil::simulate(dir.file("sim"), "--genes 12 --fragments 3000 --seed 5");
    const auto result = testutil::kestroveIn(dir.path(), "-G sim.gtf -B sim.bam -o out -g -S -O -a 4 -N -z -c -l -i 20 --quiet",
                                             testutil::kestroveDevExe());
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string genes = dir.file("out/genes_summary_sim.dat");
    EXPECT_EQ(testutil::column(genes, "status"), "OK OK OK OK OK OK OK OK OK OK OK OK ");
    std::string tied;
    for (const auto& line : lines(readText(dir.file("out/sim.groups"))))
        tied += line.rfind("SIMG", 0) == 0 ? line + " " : "";
    EXPECT_EQ(tied, testutil::column(genes, "gene_ID"));
    // Traces are named after the gene's name, logs after its id.
    for (const auto& name : testutil::split(testutil::column(genes, "gene_name"), ' '))
        EXPECT_TRUE(testutil::contains(readText(dir.file("out/L1_Dist_" + name)), "# name: nr_blocks")) << name;
    for (const auto& id : testutil::split(testutil::column(genes, "gene_ID"), ' '))
        EXPECT_TRUE(testutil::exists(dir.file("out/logfiles/" + id + ".log"))) << id;
    EXPECT_TRUE(testutil::contains(readText(dir.file("out/betas_iterations.dat")), "# name: betas_group_0\n"));
}


// The estimates follow the simulated truth. Isoforms differ only by skipped exons, so
// proportions are partly unidentifiable and a 300-fragment gene has a sampling spread
// of about 0.03; seeds gave correlations of 0.93 to 0.97, while uniform abundances
// reach about 0.35 and abundances proportional to length about 0.45.
TEST(Accuracy, IsoformAbundancesFollowTheTrueProportions)
{
    testutil::TempDir dir;
    testutil::simulate(dir.file("sim"), "--genes 40 --fragments 20000 --seed 22");
    ASSERT_EQ(testutil::kestroveIn(dir.path(), "-G sim.gtf -B sim.bam -o out --quiet").status, 0);
    const auto truth = lines(readText(dir.file("sim.truth.tsv")));
    const auto ids = testutil::split(testutil::column(dir.file("out/transcripts_summary_sim.dat"), "tracking_ID"), ' ');
    const auto abundances = testutil::split(testutil::column(dir.file("out/transcripts_summary_sim.dat"), "abundance"), ' ');
    ASSERT_EQ(ids.size() + 1, truth.size());
    std::map<std::string, double> geneFragments;
    for (size_t i = 1; i < truth.size(); ++i)
        geneFragments[fields(truth[i])[1]] += std::stod(fields(truth[i])[3]);
    double n = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    for (size_t i = 1; i < truth.size(); ++i) {
        const auto row = fields(truth[i]);
        ASSERT_EQ(ids[i - 1], row[0]);
        if (geneFragments[row[1]] < 300)
            continue;
        const double x = std::stod(row[3]) / geneFragments[row[1]], y = std::stod(abundances[i - 1]);
        n += 1, sx += x, sy += y, sxx += x * x, syy += y * y, sxy += x * y;
    }
    ASSERT_GE(n, 40);
    EXPECT_GT((n * sxy - sx * sy) / std::sqrt((n * sxx - sx * sx) * (n * syy - sy * sy)), 0.85);
}
