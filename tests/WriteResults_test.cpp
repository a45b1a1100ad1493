#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "TestUtil.h"
#include "WriteResults.h"

using testutil::readText;
using testutil::TempDir;

namespace {

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

std::vector<std::string> splitFields(const std::string& line)
{
    std::vector<std::string> fields;
    size_t begin = 0;
    while (true) {
        size_t end = line.find('\t', begin);
        fields.push_back(line.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
        if (end == std::string::npos)
            break;
        begin = end + 1;
    }
    return fields;
}

t_transcript makeTranscript(const std::string& id, int32_t length)
{
    t_transcript tr;
    tr.transcriptId = id;
    tr.exons.push_back({1000, 999 + length});
    tr.start = 1000;
    tr.end = 999 + length;
    tr.length = length;
    return tr;
}

// A gene within the default limits: two transcripts, 40 compatible fragments.
Gene estimatedGene(const std::string& id)
{
    Gene gene;
    gene.geneId = id;
    gene.geneName = id + "_name";
    gene.chromosome = "chr1";
    gene.locus = "chr1:1000-2999";
    gene.transcripts.push_back(makeTranscript(id + ".1", 2000));
    gene.transcripts.push_back(makeTranscript(id + ".2", 1000));
    gene.fragsLocus = 50;
    gene.compFragsLocus = 40;
    gene.compFragsTrans = {30.0, 10.0};
    gene.alphas = {0.75, 0.25};
    gene.groupBetas = {{0.5, 0.25, 0.25}, {0.1, 0.2, 0.7}};
    gene.transcripts[0].fpkmTHN = 12.5;
    gene.transcripts[1].fpkmTHN = 8.25;
    gene.fpkmTHN = 20.75;
    gene.status = "OK";
    return gene;
}

Gene skippedGene(const std::string& id, uint64_t fragsLocus)
{
    Gene gene;
    gene.geneId = id;
    gene.geneName = id + "_name";
    gene.chromosome = "chr2";
    gene.locus = "chr2:10-500";
    gene.transcripts.push_back(makeTranscript(id + ".1", 300));
    gene.fragsLocus = fragsLocus;
    return gene;
}

struct Fixture {
    TempDir tmp;
    t_directories dirs;
    t_configuration conf;
    InitValuesMap initValues;
    WriteResults writer;

    Fixture()
    {
        dirs.outputDir = tmp.path();
        conf.sampleName = "sample";
    }
    void configure() { writer.setConfigurations(dirs, conf, initValues); }
    std::string transcriptsPath() const { return tmp.file("transcripts_summary_sample.dat"); }
    std::string runningPath() const
    {
        return tmp.file(".transcripts_summary_sample.dat." + std::to_string(::getpid()) + ".running");
    }
    std::string genesPath() const { return tmp.file("genes_summary_sample.dat"); }
};

const std::string kFinalHeader =
    "tracking_ID\tgene_ID\tgene_name\tlocus\tlength\tfragment_validity_coverage\tabundance\tfrags_locus\t"
    "frags_expt\tFPKM_THN\tcomp_frags_locus\tcomp_frags_expt\tFPKM_CHN";
const std::string kGeneHeader =
    "gene_ID\tgene_name\tlocus\tfrags_locus\tfrags_expt\tFPKM_THN\tcomp_frags_locus\tcomp_frags_expt\tFPKM_CHN\t"
    "status";
const std::string kRuntimeHeader =
    "tracking_ID\tgene_ID\tgene_name\tlocus\tlength\tfragment_validity_coverage\tabundance\tfrags_locus\t"
    "frags_expt\tFPKM_THN";

std::set<std::string> directoryEntries(const std::string& dir)
{
    std::set<std::string> names;
    for (const auto& entry : boost::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

// Writes past the limit then fail with EFBIG, as they would on a full disk.
void limitFileSize(rlim_t bytes)
{
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{bytes, bytes};
    setrlimit(RLIMIT_FSIZE, &limit);
}

} // namespace

TEST(FinalSummaries, EstimatedGeneRowsCarryCoverageAbundanceAndFpkmFormats)
{
    Fixture f;
    f.configure();
    Annotations ann;
    Gene gene = estimatedGene("G1");
    ASSERT_TRUE(calculateCHN(gene, f.conf, 1000000, 2000000));
    ann.genes["G1"] = gene;
    f.writer.setExperimentCounts(1000000, 2000000);
    ASSERT_TRUE(f.writer.writeFinalResults(ann));

    auto lines = splitLines(readText(f.transcriptsPath()));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], kFinalHeader);
    // 1e9 x 30 / (2000 x 2e6) = 7.5 and 1e9 x 10 / (1000 x 2e6) = 5
    EXPECT_EQ(lines[1], "G1.1\tG1\tG1_name\tchr1:1000-2999\t2000\t0.75\t0.75000\t50\t1000000\t12.50000\t40\t2000000\t"
                        "7.50000");
    EXPECT_EQ(lines[2], "G1.2\tG1\tG1_name\tchr1:1000-2999\t1000\t0.25\t0.25000\t50\t1000000\t8.25000\t40\t2000000\t"
                        "5.00000");

    auto genes = splitLines(readText(f.genesPath()));
    ASSERT_EQ(genes.size(), 2u);
    EXPECT_EQ(genes[0], kGeneHeader);
    EXPECT_EQ(genes[1], "G1\tG1_name\tchr1:1000-2999\t50\t1000000\t20.750000\t40\t2000000\t12.500000\tOK");
}

TEST(FinalSummaries, GenesFollowIdOrderAndFailedGenesAreNeverLeftOut)
{
    Fixture f;
    f.conf.maxCompFrags = 100;
    f.configure();
    Annotations ann;
    ann.genes["B"] = estimatedGene("B");
    ann.genes["A"] = skippedGene("A", 0);
    Gene tooMany = estimatedGene("C");
    tooMany.compFragsLocus = 101;
    ann.genes["C"] = tooMany;
    f.writer.setExperimentCounts(10, 5);
    ASSERT_TRUE(f.writer.writeFinalResults(ann));

    auto genes = splitLines(readText(f.genesPath()));
    ASSERT_EQ(genes.size(), 4u);
    EXPECT_EQ(splitFields(genes[1])[0], "A");
    EXPECT_EQ(splitFields(genes[2])[0], "B");
    EXPECT_EQ(splitFields(genes[3])[0], "C");
    EXPECT_EQ(splitFields(genes[1]).back(), "FAIL");
    EXPECT_EQ(splitFields(genes[2]).back(), "OK");
    EXPECT_EQ(splitFields(genes[3]).back(), "FAIL");
    auto transcripts = splitLines(readText(f.transcriptsPath()));
    EXPECT_EQ(transcripts.size(), 1u + 1u + 2u + 2u);
}

TEST(FinalSummaries, AlphasNotSummingToOneKeepNormalRowsWithFailStatus)
{
    Fixture f;
    f.configure();
    Gene gene = estimatedGene("G1");
    gene.alphas = {0.75, 0.2499};
    gene.status = "FAIL";
    ASSERT_TRUE(calculateCHN(gene, f.conf, 100, 100));
    EXPECT_EQ(gene.status, "FAIL");
    Annotations ann;
    ann.genes["G1"] = gene;
    ASSERT_TRUE(f.writer.writeFinalResults(ann));
    auto transcripts = splitLines(readText(f.transcriptsPath()));
    ASSERT_EQ(transcripts.size(), 3u);
    EXPECT_EQ(splitFields(transcripts[2])[6], "0.24990");
    auto genes = splitLines(readText(f.genesPath()));
    auto fields = splitFields(genes[1]);
    ASSERT_EQ(fields.size(), 10u);
    EXPECT_EQ(fields[3], "50");
    EXPECT_EQ(fields[9], "FAIL");
}

TEST(FinalSummaries, MixtureColumnsOnlyWhenClusteringIsConfigured)
{
    for (bool cluster : {false, true}) {
        SCOPED_TRACE(cluster);
        Fixture f;
        f.conf.clusterPdfs = cluster;
        f.conf.nrBlocks = 3;
        t_initValues values;
        values.trans2group = {1, 0};
        f.initValues["G1"] = values;
        f.configure();
        Gene gene = estimatedGene("G1");
        gene.transcripts[0].componentMeans = {{333.25}, {1000.0}, {1666.75}};
        gene.transcripts[1].componentMeans = {{166.5}, {500.0}, {833.5}};
        Annotations ann;
        ann.genes["G1"] = gene;
        ann.genes["S"] = skippedGene("S", 0);
        ASSERT_TRUE(f.writer.writeFinalResults(ann));

        auto lines = splitLines(readText(f.transcriptsPath()));
        ASSERT_EQ(lines.size(), 4u);
        auto first = splitFields(lines[1]);
        auto second = splitFields(lines[2]);
        if (!cluster) {
            EXPECT_EQ(first.size(), 13u);
            EXPECT_EQ(second.size(), 13u);
        } else {
            ASSERT_EQ(first.size(), 20u);
            ASSERT_EQ(second.size(), 20u);
            EXPECT_EQ(std::vector<std::string>(first.begin() + 13, first.end()),
                      (std::vector<std::string>{"3", "333.25000", "1000.00000", "1666.75000", "0.10000", "0.20000",
                                                "0.70000"}));
            // The second transcript is tied to group 0.
            EXPECT_EQ(std::vector<std::string>(second.begin() + 13, second.end()),
                      (std::vector<std::string>{"3", "166.50000", "500.00000", "833.50000", "0.50000", "0.25000",
                                                "0.25000"}));
        }
        // Failed rows carry the zero mixture layout only where the other rows have mixture columns.
        EXPECT_EQ(splitFields(lines[3]).size(), cluster ? 20u : 13u);
    }
}

TEST(FinalSummaries, GeneWithinLimitsButWithoutEstimatesWritesZerosNotGarbage)
{
    Fixture f;
    f.conf.minCompFrags = 0;
    f.conf.clusterPdfs = true;
    f.configure();
    Gene gene = skippedGene("Z", 3);
    ASSERT_TRUE(calculateCHN(gene, f.conf, 0, 0));
    Annotations ann;
    ann.genes["Z"] = gene;
    ASSERT_TRUE(f.writer.writeFinalResults(ann));
    auto lines = splitLines(readText(f.transcriptsPath()));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "Z.1\tZ\tZ_name\tchr2:10-500\t300\t0.00\t0.00000\t3\t0\t0.00000\t0\t0\t0.00000\t3\t0.00000\t"
                        "0.00000\t0.00000\t0.00000\t0.00000\t0.00000");
    EXPECT_EQ(lines[1].find("nan"), std::string::npos);
    EXPECT_EQ(lines[1].find("inf"), std::string::npos);
}

TEST(CompatibleHits, HalfOfTenFragmentsOnTwoKilobasesGivesTwoPointFive)
{
    t_configuration conf;
    Gene gene = skippedGene("G", 10);
    gene.transcripts[0].length = 2000;
    gene.transcripts.push_back(makeTranscript("G.2", 1000));
    gene.compFragsLocus = 10;
    gene.alphas = {0.5, 0.5};
    ASSERT_TRUE(calculateCHN(gene, conf, 5000000, 1000000));
    EXPECT_DOUBLE_EQ(gene.transcripts[0].fpkmCHN, 2.5);
    EXPECT_DOUBLE_EQ(gene.transcripts[1].fpkmCHN, 5.0);
    EXPECT_DOUBLE_EQ(gene.fpkmCHN, 7.5);
    EXPECT_EQ(gene.status, "OK");
    EXPECT_DOUBLE_EQ(gene.fpkmTHN, 0.0);
}

TEST(CompatibleHits, RoundCountsRoundsHalvesAwayFromZero)
{
    t_configuration conf;
    Gene gene = skippedGene("G", 5);
    gene.transcripts[0].length = 1000;
    gene.compFragsLocus = 5;
    gene.alphas = {0.5};
    calculateCHN(gene, conf, 1000000, 1000000);
    EXPECT_DOUBLE_EQ(gene.transcripts[0].fpkmCHN, 2.5);
    conf.roundCounts = true;
    calculateCHN(gene, conf, 1000000, 1000000);
    EXPECT_DOUBLE_EQ(gene.transcripts[0].fpkmCHN, 3.0);
}

TEST(CompatibleHits, LengthTimesCountDoesNotOverflowThirtyTwoBits)
{
    t_configuration conf;
    Gene gene = skippedGene("G", 1);
    gene.transcripts[0].length = 100000;
    gene.compFragsLocus = 1000000;
    gene.alphas = {1.0};
    calculateCHN(gene, conf, 0, 4000000000ULL);
    // 1e9 x 1e6 / 4e14 = 2.5; a 32-bit product would wrap.
    EXPECT_DOUBLE_EQ(gene.transcripts[0].fpkmCHN, 2.5);
}

TEST(CompatibleHits, NormalizedLengthsReplaceThnOnlyWhenLastCountReachesThreshold)
{
    t_configuration conf;
    conf.normalizeLengths = true;
    conf.maxCompFrags = 50000000;
    Gene gene = skippedGene("G", 0);
    gene.transcripts[0].normLength = 500;
    gene.transcripts.push_back(makeTranscript("G.2", 1000));
    gene.transcripts[1].normLength = 800;
    gene.alphas = {0.5, 0.5};
    gene.fpkmTHN = 99.0;

    gene.compFragsLocus = 1000;  // last x = 500
    calculateCHN(gene, conf, 2000000, 1000000);
    EXPECT_DOUBLE_EQ(gene.transcripts[0].fpkmTHN, 1e9 * 500 / (500.0 * 2000000));
    EXPECT_DOUBLE_EQ(gene.transcripts[1].fpkmTHN, 1e9 * 500 / (800.0 * 2000000));
    EXPECT_DOUBLE_EQ(gene.transcripts[0].fpkmCHN, 1e9 * 500 / (500.0 * 1000000));
    EXPECT_DOUBLE_EQ(gene.fpkmTHN, gene.transcripts[0].fpkmTHN + gene.transcripts[1].fpkmTHN);

    gene.fpkmTHN = 99.0;
    gene.compFragsLocus = 998;  // last x = 499
    calculateCHN(gene, conf, 2000000, 1000000);
    EXPECT_DOUBLE_EQ(gene.fpkmTHN, 99.0);
    EXPECT_DOUBLE_EQ(gene.transcripts[1].fpkmCHN, 1e9 * 499 / (800.0 * 1000000));
}

TEST(CompatibleHits, GeneOutsideLimitsIsLeftUntouched)
{
    t_configuration conf;
    conf.maxCompFrags = 20;
    Gene gene = estimatedGene("G");
    gene.status = "FAIL";
    calculateCHN(gene, conf, 100, 100);
    EXPECT_EQ(gene.status, "FAIL");
    EXPECT_DOUBLE_EQ(gene.fpkmCHN, 0.0);
    EXPECT_DOUBLE_EQ(gene.transcripts[0].fpkmCHN, 0.0);
}

TEST(CompatibleHits, EmptyExperimentOrZeroLengthGivesZeroInsteadOfInfinity)
{
    t_configuration conf;
    Gene gene = estimatedGene("G");
    gene.transcripts[1].length = 0;
    calculateCHN(gene, conf, 100, 0);
    EXPECT_DOUBLE_EQ(gene.transcripts[0].fpkmCHN, 0.0);
    EXPECT_DOUBLE_EQ(gene.fpkmCHN, 0.0);
    calculateCHN(gene, conf, 100, 1000);
    EXPECT_GT(gene.transcripts[0].fpkmCHN, 0.0);
    EXPECT_DOUBLE_EQ(gene.transcripts[1].fpkmCHN, 0.0);
}

TEST(IntermediateSummary, RowsDuringTheRunFollowTheGenesState)
{
    Fixture f;
    f.conf.maxCompFrags = 100;
    f.configure();
    f.writer.setExperimentCounts(777, 0);
    f.writer.openFilesForIntermediateResults();
    EXPECT_EQ(readText(f.runningPath()), kRuntimeHeader + "\n");

    Annotations ann;
    ann.genes["A"] = estimatedGene("A");
    ann.genes["B"] = skippedGene("B", 6000000);  // skipped before reading: zero rows
    Gene tooMany = estimatedGene("C");
    tooMany.compFragsLocus = 500;  // compatible fragments beyond the limit: no rows
    ann.genes["C"] = tooMany;
    for (auto it = ann.genes.begin(); it != ann.genes.end(); ++it)
        f.writer.writeIntermediateResults(it);
    // Rows are on disk while the file is still open.
    auto lines = splitLines(readText(f.runningPath()));
    f.writer.closeFilesForIntermediateResults();

    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "A.1\tA\tA_name\tchr1:1000-2999\t2000\t0.75\t0.75000\t50\t777\t12.50000");
    EXPECT_EQ(lines[2], "A.2\tA\tA_name\tchr1:1000-2999\t1000\t0.25\t0.25000\t50\t777\t8.25000");
    EXPECT_EQ(lines[3], "B.1\tB\tB_name\tchr2:10-500\t300\t0\t0\t6000000\t777\t0");
}

TEST(IntermediateSummary, FinalWriteReplacesTheRunTimeFile)
{
    Fixture f;
    f.configure();
    f.writer.openFilesForIntermediateResults();
    Annotations ann;
    ann.genes["A"] = estimatedGene("A");
    auto it = ann.genes.begin();
    f.writer.writeIntermediateResults(it);
    f.writer.writeIntermediateResults(it);
    f.writer.closeFilesForIntermediateResults();
    ASSERT_TRUE(f.writer.writeFinalResults(ann));
    auto lines = splitLines(readText(f.transcriptsPath()));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], kFinalHeader);
    EXPECT_EQ(directoryEntries(f.tmp.path()),
              (std::set<std::string>{"transcripts_summary_sample.dat", "genes_summary_sample.dat"}));
}

TEST(IntermediateSummary, ConcurrentAppendsKeepEachGenesRowsTogether)
{
    Fixture f;
    f.configure();
    f.writer.openFilesForIntermediateResults();

    const int nrThreads = 8;
    const int genesPerThread = 100;
    const int transcriptsPerGene = 25;
    std::vector<Annotations> perThread(nrThreads);
    for (int th = 0; th < nrThreads; ++th) {
        for (int g = 0; g < genesPerThread; ++g) {
            Gene gene;
            gene.geneId = "T" + std::to_string(th) + "G" + std::to_string(g);
            gene.geneName = gene.geneId;
            gene.locus = "chr1:1-100";
            gene.fragsLocus = 1;
            for (int t = 0; t < transcriptsPerGene; ++t)
                gene.transcripts.push_back(makeTranscript(gene.geneId + "." + std::to_string(t), 100));
            perThread[th].genes[gene.geneId] = gene;
        }
    }
    std::vector<std::thread> threads;
    for (int th = 0; th < nrThreads; ++th) {
        threads.emplace_back([&, th] {
            for (auto it = perThread[th].genes.begin(); it != perThread[th].genes.end(); ++it)
                f.writer.writeIntermediateResults(it);
        });
    }
    for (auto& t : threads)
        t.join();
    f.writer.closeFilesForIntermediateResults();

    auto lines = splitLines(readText(f.runningPath()));
    ASSERT_EQ(lines.size(), 1u + nrThreads * genesPerThread * transcriptsPerGene);
    std::map<std::string, int> rowsPerGene;
    std::set<std::string> finished;
    std::string current;
    for (size_t i = 1; i < lines.size(); ++i) {
        auto fields = splitFields(lines[i]);
        ASSERT_EQ(fields.size(), 10u) << lines[i];
        const std::string& gene = fields[1];
        if (gene != current) {
            ASSERT_EQ(finished.count(gene), 0u) << "rows of " << gene << " are split";
            if (!current.empty())
                finished.insert(current);
            current = gene;
        }
        ++rowsPerGene[gene];
    }
    EXPECT_EQ(rowsPerGene.size(), size_t(nrThreads * genesPerThread));
    for (const auto& [gene, count] : rowsPerGene)
        EXPECT_EQ(count, transcriptsPerGene) << gene;
}

TEST(IntermediateSummaryDeathTest, UnopenableFileEndsTheRunWithStatusOne)
{
    Fixture f;
    f.dirs.outputDir = f.tmp.file("missing");
    f.configure();
    const std::string expected = "\\[openFilesForIntermediateResults\\] fail to open file > " + f.tmp.path() +
                                 "/missing/.transcripts_summary_sample.dat";
    EXPECT_EXIT(f.writer.openFilesForIntermediateResults(), testing::ExitedWithCode(1), expected);
}

TEST(IntermediateSummaryDeathTest, AppendFailureIsReportedOnce)
{
    Fixture f;
    f.configure();
    Annotations ann;
    for (int g = 0; g < 200; ++g)
        ann.genes["G" + std::to_string(1000 + g)] = estimatedGene("G" + std::to_string(1000 + g));
    const std::string errPath = f.tmp.file("stderr.txt");
    auto appendBeyondLimit = [&] {
        std::fflush(stderr);
        const int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(errFd, 2);
        limitFileSize(2000);
        f.writer.openFilesForIntermediateResults();
        for (auto it = ann.genes.begin(); it != ann.genes.end(); ++it)
            f.writer.writeIntermediateResults(it);
        f.writer.closeFilesForIntermediateResults();
        std::cerr.flush();
        const std::string err = readText(errPath);
        // The child of the death test has a process id, and so a file name, of its own.
        size_t first = err.find("[logTrans] fail to write file > " + f.runningPath());
        bool once = first != std::string::npos && err.find("[logTrans]", first + 1) == std::string::npos;
        std::exit(once ? 3 : 4);
    };
    EXPECT_EXIT(appendBeyondLimit(), testing::ExitedWithCode(3), "");
}

TEST(FinalSummariesDeathTest, WriteErrorLeavesEarlierSummariesInPlace)
{
    Fixture f;
    f.configure();
    Annotations small;
    small.genes["A"] = estimatedGene("A");
    ASSERT_TRUE(f.writer.writeFinalResults(small));
    const std::string before = readText(f.transcriptsPath());
    const std::string genesBefore = readText(f.genesPath());

    Annotations large;
    for (int g = 0; g < 500; ++g)
        large.genes["G" + std::to_string(1000 + g)] = estimatedGene("G" + std::to_string(1000 + g));
    auto writeBeyondLimit = [&] {
        limitFileSize(4096);
        std::exit(f.writer.writeFinalResults(large) ? 0 : 1);
    };
    const std::string expected =
        "\\[writeFinalResults\\] fail to write file > " + f.tmp.path() + "/transcripts_summary_sample.dat";
    EXPECT_EXIT(writeBeyondLimit(), testing::ExitedWithCode(1), expected);

    EXPECT_EQ(readText(f.transcriptsPath()), before);
    EXPECT_EQ(readText(f.genesPath()), genesBefore);
    EXPECT_EQ(directoryEntries(f.tmp.path()),
              (std::set<std::string>{"transcripts_summary_sample.dat", "genes_summary_sample.dat"}));
}

TEST(FinalSummaries, MissingOutputDirectoryFailsWithoutWritingAnything)
{
    Fixture f;
    f.dirs.outputDir = f.tmp.file("gone");
    boost::filesystem::create_directory(f.dirs.outputDir);
    f.configure();
    boost::filesystem::remove(f.dirs.outputDir);
    Annotations ann;
    ann.genes["A"] = estimatedGene("A");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(f.writer.writeFinalResults(ann));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "[writeFinalResults] fail to open file > " + f.dirs.outputDir +
                       "/transcripts_summary_sample.dat\n\n");
    EXPECT_FALSE(testutil::exists(f.dirs.outputDir));
}

TEST(FinalSummaries, UnopenableGeneSummaryLeavesTranscriptSummaryUntouched)
{
    Fixture f;
    f.configure();
    Annotations ann;
    ann.genes["A"] = estimatedGene("A");
    testutil::writeText(f.transcriptsPath(), "earlier\n");
    // A directory where the temporary gene summary would go blocks its creation.
    boost::filesystem::create_directory(f.tmp.path() + "/.genes_summary_sample.dat." + std::to_string(getpid()) +
                                        ".tmp");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(f.writer.writeFinalResults(ann));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "[writeFinalResults] fail to open file > " + f.genesPath() + "\n\n");
    EXPECT_EQ(readText(f.transcriptsPath()), "earlier\n");
    EXPECT_FALSE(testutil::exists(f.genesPath()));
}
