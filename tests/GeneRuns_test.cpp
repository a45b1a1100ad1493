// Whole runs of kestrove on small hand-written annotations and alignments, with
// the summaries compared against values worked out by hand.

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "output/Provenance.h"
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

// Every whole run here goes at one and at two threads.
const std::vector<std::string> kThreads = {"-p 1", "-p 2"};

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
    std::vector<std::string> transcriptRows() const { return lines(readText(dir.file("out/transcripts_summary_reads.dat"))); }

    testutil::TempDir dir;
};

} // namespace

TEST_F(GeneRuns, FpkmDividesLocusFragmentsByLengthAndExperimentSize)
{
    write(kTwoGenes, twoGenesReads());
    for (const std::string& threads : kThreads) {
        const auto result = quantify(threads);
        ASSERT_EQ(result.status, 0) << threads << result.err;
        const auto transcripts = transcriptRows();
        ASSERT_EQ(transcripts.size(), 3u);
        EXPECT_EQ(transcripts[1], "tA\tGA\talpha\tchr1:1001-1900\t700\t1.00\t1.00000\t4\t14\t408163.26531\t3\t13\t329670.32967");
        EXPECT_EQ(transcripts[2], "tB\tGB\tGB\tchr1:5001-6000\t1000\t1.00\t1.00000\t10\t14\t714285.71429\t10\t13\t769230.76923");
        EXPECT_EQ(geneRows(), (std::vector<std::string>{geneRows()[0], kGeneA, kGeneB})) << threads;
    }
}

// The fragment limits are inclusive; a gene outside them keeps its row with zeros and
// FAIL, and the compatible count of the experiment leaves it out. The run records
// why each gene failed (GC has no reads at all); with -c, as its own genes failed.
TEST_F(GeneRuns, GenesOutsideTheFragmentLimitsFailAndLeaveTheExperimentCounts)
{
    write(kTwoGenes + exon("chr1", 8001, 8500, "GC", "tC"), twoGenesReads());
    const std::string gaAlone = "GA\talpha\tchr1:1001-1900\t4\t14\t408163.265306\t3\t3\t1428571.428571\tOK";
    const std::string gbOver = "GB\tGB\tchr1:5001-6000\t0\t14\t0\t0\t3\t0\tFAIL";
    const std::string gaUnder = "GA\talpha\tchr1:1001-1900\t0\t14\t0\t0\t10\t0\tFAIL";
    const std::string gbAlone = "GB\tGB\tchr1:5001-6000\t10\t14\t714285.714286\t10\t10\t1000000.000000\tOK";
    struct Row {
        std::string options;
        std::string ga, gb;
        std::string skipped;
        // OK, FAIL: no fragments, too few, too many, not converged
        std::vector<uint64_t> statistics;
    };
    const std::vector<Row> rows = {
        {"-x 10", kGeneA, kGeneB, "", {2, 1, 0, 0, 0}},
        {"-x 9", gaAlone, gbOver, "\n> 2 genes processed.\n> 1 genes skipped.\n", {1, 1, 0, 1, 0}},
        {"-M 10", kGeneA, kGeneB, "", {2, 1, 0, 0, 0}},
        {"-M 9", gaAlone, gbOver, "\n> 2 genes processed.\n> 1 genes skipped.\n", {1, 1, 0, 1, 0}},
        {"-m 3", kGeneA, kGeneB, "", {2, 1, 0, 0, 0}},
        {"-m 4", gaUnder, gbAlone, "> 1 genes skipped.\n", {1, 1, 1, 0, 0}},
        // Carried back, GB's count is 10 x its abundance (just under 1) truncated: 9;
        // 1e9 x 9 / (1000 x 14) and 1e9 x 9 / (1000 x 10).
        {"-m 4 -c", gaUnder, "GB\tGB\tchr1:5001-6000\t9\t14\t642857.142857\t9\t10\t900000.000000\tOK",
         "> 1 genes skipped.\n", {1, 1, 1, 0, 0}},
    };
    for (const Row& row : rows) {
        for (const std::string& threads : kThreads) {
            const std::string options = row.options + " " + threads;
            const auto result = quantify(options);
            ASSERT_EQ(result.status, 0) << options << result.err;
            const auto genes = geneRows();
            ASSERT_EQ(genes.size(), 4u) << options;
            EXPECT_EQ(genes[1], row.ga) << options;
            EXPECT_EQ(genes[2], row.gb) << options;
            EXPECT_EQ(testutil::contains(result.out, "genes skipped"), !row.skipped.empty()) << options;
            EXPECT_TRUE(testutil::contains(result.out, row.skipped)) << options;
            const auto s = provenance::parse(readText(dir.file("out/provenance_reads.json"))).statistics;
            EXPECT_EQ(std::vector<uint64_t>({s.genesOk, s.genesFailNoFragments, s.genesFailTooFew, s.genesFailTooMany,
                                             s.genesFailNotConverged}),
                      row.statistics)
                << options;
            EXPECT_EQ(s.genesOk + s.genesFail, 3u) << options;
        }
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
    for (const std::string& threads : kThreads) {
        const auto result = quantify(threads);
        ASSERT_EQ(result.status, 0) << threads << result.err;
        // 1e9 x 4 / (700 x 4) and 1e9 x 3 / (700 x 3).
        EXPECT_EQ(geneRows()[1], "GA\tGA\tchr1:1001-1900\t4\t4\t1428571.428571\t3\t3\t1428571.428571\tOK") << threads;
    }
}

TEST_F(GeneRuns, GenesAreWrittenOnceEachInByteWiseIdOrderAndAbsentChromosomesFail)
{
    // Upper case sorts before "_" and lower case; "G10" before "G9".
    const std::string gtf = exon("chr1", 9001, 9500, "g1", "t_g1") + exon("chr1", 7001, 7500, "G_2", "t_G_2")
        + exon("chr1", 1001, 1500, "G9", "t_G9a") + exon("chr1", 1001, 1400, "G9", "t_G9b")
        + exon("chr1", 3001, 3500, "G10", "t_G10") + exon("chr2", 1001, 1500, "A", "t_A") + exon("chrZ", 100, 900, "GZ", "t_GZ");
    write(gtf, testutil::pairsSam({{"chr1", 1100, 1300}, {"chr1", 3100, 3300}, {"chr1", 9100, 9300}, {"chr2", 1100, 1200}}));
    for (const std::string& threads : kThreads) {
        SCOPED_TRACE(threads);
        const auto result = quantify(threads);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_TRUE(testutil::contains(result.out, "\n> 6 genes processed.\n\nExperiment finished on ")) << result.out;
        EXPECT_EQ(testutil::column(dir.file("out/genes_summary_reads.dat"), "gene_ID"), "A G10 G9 GZ G_2 g1 ");
        EXPECT_EQ(testutil::column(dir.file("out/genes_summary_reads.dat"), "status"), "OK OK OK FAIL FAIL OK ");
        EXPECT_EQ(testutil::column(dir.file("out/transcripts_summary_reads.dat"), "tracking_ID"),
                  "t_A t_G10 t_G9a t_G9b t_GZ t_G_2 t_g1 ");
    }
}

// Off a terminal the progress comes as whole lines with the elapsed time, a few per
// run and one more every few seconds; --quiet leaves only warnings and errors.
TEST_F(GeneRuns, ProgressIsWholeLinesOffATerminalAndQuietPrintsNothing)
{
    write(kTwoGenes, twoGenesReads());
    const std::vector<std::pair<std::string, std::string>> rows = {{"", "Loading the annotations 25% (elapsed 00:00:0"},
        {"-p 2", "> Quantification completed 100% (elapsed 00:00:0"}, {"--quiet", ""}, {"--quiet -p 2 -c", ""}};
    for (const auto& [options, progress] : rows) {
        // Building an index announces itself too, unless quiet.
        if (progress.empty())
            std::filesystem::remove(dir.file("reads.bam.bai"));
        const auto result = quantify(options);
        ASSERT_EQ(result.status, 0) << options << result.err;
        EXPECT_EQ((result.out + result.err).find('\r'), std::string::npos) << options;
        if (progress.empty()) {
            EXPECT_EQ(result.out + result.err, "") << options;
        } else {
            EXPECT_TRUE(testutil::contains(result.err, progress) && testutil::contains(result.out, "genes processed"))
                << options << "\n" << result.out << result.err;
        }
    }

    // Beyond the first and the last line of each display, at most one line every 5 s,
    // not one per gene.
    testutil::simulate(dir.file("sim"), "--genes 60 --fragments 6000 --seed 3");
    const auto result = testutil::kestroveIn(dir.path(), "-G sim.gtf -B sim.bam -o simout");
    ASSERT_EQ(result.status, 0) << result.err;
    const auto progress = lines(result.err);
    ASSERT_FALSE(progress.empty());
    const std::string& last = progress.back();
    const auto elapsed = last.substr(last.rfind("(elapsed ") + 9, 8);
    const int seconds = std::stoi(elapsed.substr(0, 2)) * 3600 + std::stoi(elapsed.substr(3, 2)) * 60 + std::stoi(elapsed.substr(6, 2));
    EXPECT_LE(progress.size(), 4u + static_cast<size_t>(seconds / 5) + 1) << result.err;
    EXPECT_TRUE(testutil::contains(last, "> Quantification completed 100%")) << result.err;
}

// Overlapping genes: GA's second transcript reaches into GB's exon. With -c they are
// estimated as one gene and carried back, no longer warned about, and GC, which
// overlaps nothing, keeps exactly its unmerged row.
TEST_F(GeneRuns, MergedGenesAreEstimatedTogetherAndLeaveTheOthersAlone)
{
    const std::string gtf = exon("chr1", 1001, 1400, "GA", "tA1") + exon("chr1", 1601, 2000, "GA", "tA1")
        + exon("chr1", 1001, 2100, "GA", "tA2") + exon("chr1", 2051, 3000, "GB", "tB") + exon("chr1", 5001, 6000, "GC", "tC");
    std::vector<testutil::Pair> pairs;
    for (int i = 0; i < 40; ++i)
        pairs.emplace_back("chr1", 1010 + 47 * i, 1200 + 47 * i);
    for (int i = 0; i < 12; ++i)
        pairs.emplace_back("chr1", 5050 + 60 * i, 5300 + 50 * i);
    std::sort(pairs.begin(), pairs.end());
    write(gtf, testutil::pairsSam(pairs));

    const auto separate = quantify("");
    ASSERT_EQ(separate.status, 0) << separate.err;
    EXPECT_TRUE(testutil::contains(separate.err, "Warning: 2 genes overlap another gene")) << separate.err;
    // Its compatible count of the experiment no longer counts GA's and GB's shared fragments twice.
    const auto totalHits = [](const std::string& row) { auto columns = fields(row); columns.resize(6); return columns; };
    const auto unmergedC = totalHits(geneRows()[3]);

    const auto merged = quantify("-c");
    ASSERT_EQ(merged.status, 0) << merged.err;
    EXPECT_FALSE(testutil::contains(merged.err, "overlap another gene")) << merged.err;
    const auto genes = geneRows();
    ASSERT_EQ(genes.size(), 4u);
    EXPECT_EQ(totalHits(genes[3]), unmergedC);

    // Their figures are pinned by the merged golden case.
    EXPECT_EQ(testutil::column(dir.file("out/genes_summary_reads.dat"), "status"), "OK OK OK ");
}

// Sums over blocks and genes are combined in a fixed order, so the summaries do not
// depend on the number of threads nor on which finished first. With a low fragments
// threshold the large genes go to the deferred pass, whose E-step the threads share.
TEST(Threads, SummariesAreByteIdenticalAtAnyThreadCount)
{
    testutil::TempDir dir;
    testutil::simulate(dir.file("sim"), "--realistic --genes 30 --fragments 12000 --seed 9");
    const std::string genesFile = dir.file("out/genes_summary_sim.dat");
    const std::string exe = testutil::kestroveExe(), dev = testutil::kestroveDevExe();
    for (const auto& [rowOptions, rowExe] : {std::pair{"", exe}, {"-c", exe}, {"-f 300", dev}, {"-c -f 300", dev}}) {
        std::string first;
        for (int threads : {1, 2, 3, 3}) {
            const std::string options = std::string(rowOptions) + " -p " + std::to_string(threads);
            const auto result = testutil::kestroveIn(dir.path(), "-G sim.gtf -B sim.bam -o out --quiet " + options, rowExe);
            ASSERT_EQ(result.status, 0) << options << result.err;
            const std::string summaries = readText(genesFile) + readText(dir.file("out/transcripts_summary_sim.dat"));
            if (threads == 1) {
                first = summaries;
            } else {
                EXPECT_EQ(summaries, first) << options;
            }
        }
    }
    // The threshold above defers genes of both kinds: several, and with several isoforms.
    size_t deferred = 0;
    for (const auto& line : lines(readText(genesFile)))
        deferred += line.rfind("SIMG", 0) == 0 && std::stoull(fields(line)[3]) >= 300 ? 1 : 0;
    EXPECT_GE(deferred, 3u);
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
