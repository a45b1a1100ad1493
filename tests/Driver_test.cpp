#include "kestrove.h"

#include <algorithm>
#include <cctype>
#include <atomic>
#include <mutex>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include "KestroveException.h"
#include "TestUtil.h"

namespace fs = boost::filesystem;
using testutil::run;

namespace {

const std::string kReferences = "@SQ\tSN:chr1\tLN:20000\n@SQ\tSN:chr2\tLN:20000\n";
const std::string kHeader = "@HD\tVN:1.6\tSO:coordinate\n" + kReferences;

std::string samRecord(const std::string& name, int flag, const std::string& reference, int pos, int matePos,
                      int templateLength)
{
    std::ostringstream line;
    line << name << '\t' << flag << '\t' << reference << '\t' << pos << "\t60\t50M\t"
         << (matePos > 0 ? "=" : "*") << '\t' << (matePos > 0 ? matePos : 0) << '\t' << templateLength
         << "\t*\t*\n";
    return line.str();
}

struct SamRecordLine {
    int pos;
    std::string text;
};

// Proper pairs with both mates inside [begin, begin + 600), records in coordinate order
// unless shuffled.
std::string pairedSam(const std::vector<std::pair<int, int>>& lociAndPairs, bool coordinateOrder = true)
{
    std::vector<SamRecordLine> records;
    int serial = 0;
    for (const auto& [begin, pairs] : lociAndPairs) {
        for (int i = 0; i < pairs; ++i) {
            const std::string name = "frag" + std::to_string(serial++);
            const int first = begin + (i * 7) % 300;
            const int second = first + 200;
            records.push_back({first, samRecord(name, 99, "chr1", first, second, 250)});
            records.push_back({second, samRecord(name, 147, "chr1", second, first, -250)});
        }
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const SamRecordLine& a, const SamRecordLine& b) { return a.pos < b.pos; });
    if (!coordinateOrder)
        std::reverse(records.begin(), records.end());
    std::string sam = coordinateOrder ? kHeader : "@HD\tVN:1.6\tSO:unsorted\n" + kReferences;
    for (const SamRecordLine& record : records)
        sam += record.text;
    return sam;
}

std::string exonLine(const std::string& chromosome, int start, int end, const std::string& gene,
                     const std::string& transcript)
{
    return chromosome + "\ttest\texon\t" + std::to_string(start) + "\t" + std::to_string(end) + "\t.\t+\t.\tgene_id \""
           + gene + "\"; transcript_id \"" + transcript + "\"; gene_name \"" + gene + "_name\";\n";
}

const std::string kTwoGenes = exonLine("chr1", 1000, 1400, "g1", "t1a") + exonLine("chr1", 1500, 1900, "g1", "t1a")
                              + exonLine("chr1", 1000, 1900, "g1", "t1b") + exonLine("chr1", 5000, 5800, "g2", "t2");

std::string quoted(const std::string& text) { return "'" + text + "'"; }

testutil::CommandResult runIn(const testutil::TempDir& dir, const std::string& exe, const std::string& args)
{
    return run("cd " + quoted(dir.path()) + " && " + quoted(exe) + " " + args);
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> result;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');)
        result.push_back(field);
    return result;
}

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Matches a character pattern where '9' is a digit, '@' an upper-case and '~' a lower-case letter.
bool matchesPattern(const std::string& text, size_t at, const std::string& pattern)
{
    if (at + pattern.size() > text.size())
        return false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[at + i]);
        const char p = pattern[i];
        const bool ok = p == '9' ? std::isdigit(c) : p == '@' ? std::isupper(c) : p == '~' ? std::islower(c) : c == p;
        if (!ok)
            return false;
    }
    return true;
}

const std::string kDateTime = "9999-@~~-99 99:99:99";

// Length of the start banner at the beginning of the output, 0 when it is not there.
size_t bannerLength(const std::string& out)
{
    const std::string lead = "\nExperiment started on ";
    if (out.rfind(lead, 0) != 0 || !matchesPattern(out, lead.size(), kDateTime + "\n\n"))
        return 0;
    return lead.size() + kDateTime.size() + 2;
}

bool endsWithClosingReport(const std::string& out)
{
    const std::string lead = "\n\nExperiment finished on ";
    const std::string elapsed = "\n\nElapsed time: [CPU 99:99:99, Real 99:99:99]\n";
    const size_t at = out.rfind(lead);
    return at != std::string::npos && out.size() == at + lead.size() + kDateTime.size() + elapsed.size()
           && matchesPattern(out, at + lead.size(), kDateTime + elapsed);
}

bool hasTwoHardwareThreads() { return boost::thread::hardware_concurrency() >= 2; }

class Run : public testing::Test {
protected:
    void writeInputs(const std::string& gtf, const std::string& sam, bool index = true)
    {
        testutil::writeText(dir.file("genes.gtf"), gtf);
        testutil::samToBam(sam, dir.file("reads.bam"), index);
    }

    testutil::TempDir dir;
};

} // namespace

// Exit statuses and streams of the option handling, through the real executables.

TEST(DriverOptions, NoArgumentsAskForTheGtfOnStandardError)
{
    auto result = run(quoted(testutil::kestroveExe()));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "GTF file is required!\n");
    EXPECT_EQ(result.out, "");
}

TEST(DriverOptions, RangeMessagesGoToStandardErrorInOrder)
{
    auto result = run(quoted(testutil::kestroveExe()) + " -b 0 -i 3 -G a -B b");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "Number of mixture components cannot be smaller than 1.\n"
              "Number of iterations cannot be smaller than 5!\n");
    EXPECT_EQ(result.out, "");
}

TEST(DriverOptions, HelpAndAgreementEndWithStatusOne)
{
    auto help = run(quoted(testutil::kestroveExe()) + " --help");
    EXPECT_EQ(help.status, 1);
    EXPECT_NE(help.out.find("General Options:"), std::string::npos);
    EXPECT_EQ(help.out.find("Development Phase Options"), std::string::npos);

    auto devHelp = run(quoted(testutil::kestroveDevExe()) + " -h");
    EXPECT_EQ(devHelp.status, 1);
    EXPECT_NE(devHelp.out.find("Development Phase Options - Use only on single core:"), std::string::npos);

    auto eula = run(quoted(testutil::kestroveExe()) + " -s");
    EXPECT_EQ(eula.status, 1);
    EXPECT_NE(eula.out.find("kestrove"), std::string::npos);
    EXPECT_EQ(eula.err, "");
}

TEST(DriverOptions, ThreadsOutsideTheDevelopmentBuildAreAnOptionError)
{
    auto result = run(quoted(testutil::kestroveExe()) + " -G a -B b --threads 2");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("Error options: ", 0), 0u) << result.err;
    EXPECT_EQ(result.out, "");
}

TEST(DriverOptions, DevelopmentBuildEndsOnSingleCoreOptionWithThreads)
{
    if (!hasTwoHardwareThreads())
        GTEST_SKIP() << "needs two hardware threads";
    auto result = run(quoted(testutil::kestroveDevExe()) + " -G a -B b -p 2 -g -F");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Use argument --fix-betas only with single core!\n");
    EXPECT_EQ(result.out, "");
}

TEST(DriverOptions, DevelopmentBuildContinuesWithOneThreadForZero)
{
    testutil::TempDir dir;
    auto result = runIn(dir, testutil::kestroveDevExe(), "-G a -B b -L missing.txt -p 0");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("Number of threads cannot be smaller than 1. Continuing with default value: 1\n", 0), 0u)
        << result.err;
    EXPECT_GT(bannerLength(result.out), 0u) << result.out;
}

// Initialisation failures that the driver reports itself.

TEST_F(Run, MissingGenesListIsReportedWithTheOperationName)
{
    auto result = runIn(dir, testutil::kestroveExe(), "-G genes.gtf -B reads.bam -L ids.txt");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "[initialize] fail to open file > ids.txt (No such file or directory)\n\n");
    EXPECT_EQ(bannerLength(result.out), result.out.size()) << result.out;
    EXPECT_FALSE(fs::exists(dir.file("output")));
}

TEST_F(Run, GenesListThatIsADirectoryCannotBeOpened)
{
    fs::create_directories(dir.file("ids"));
    auto result = runIn(dir, testutil::kestroveExe(), "-G genes.gtf -B reads.bam -L ids");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "[initialize] fail to open file > ids (is a directory)\n\n");
}

TEST_F(Run, EmptyGenesListStopsTheRun)
{
    testutil::writeText(dir.file("ids.txt"), "");
    auto result = runIn(dir, testutil::kestroveExe(), "-G genes.gtf -B reads.bam -L ids.txt -e");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "List of the genes is empty!\n");
}

TEST_F(Run, AnnotationWithoutGenesEndsInitialisation)
{
    writeInputs("# no genes here\n", pairedSam({{1000, 5}}));
    auto result = runIn(dir, testutil::kestroveExe(), "-G genes.gtf -B reads.bam");
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_GT(bannerLength(result.out), 0u) << result.out;
    std::string loading = "Loading the annotations";
    loading.resize(50, ' ');
    EXPECT_NE(result.out.find(loading + "[******                   ]   25%\r"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("> Alignments are loaded.\n> Annotations are loaded (0 genes).\n"
                              "> Parameters are initialized.\n\n"),
              std::string::npos);
    EXPECT_TRUE(endsWith(result.out, "\nThere are no genes to process.\n")) << result.out;
    EXPECT_FALSE(fs::exists(dir.file("output")));
}

TEST_F(Run, QuietInitialisationShowsPercentagesOnly)
{
    writeInputs("", pairedSam({{1000, 5}}));
    auto result = runIn(dir, testutil::kestroveExe(), "-G genes.gtf -B reads.bam --quiet");
    EXPECT_EQ(result.status, 1);
    const size_t banner = bannerLength(result.out);
    ASSERT_GT(banner, 0u) << result.out;
    EXPECT_EQ(result.out.substr(banner), "1%\r2%\r3%\r\nThere are no genes to process.\n");
}

TEST_F(Run, MissingGtfIsReportedOnce)
{
    writeInputs("", pairedSam({{1000, 5}}));
    auto result = runIn(dir, testutil::kestroveExe(), "-G absent.gtf -B reads.bam");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Error 107: Failed to open the GTF file: absent.gtf: No such file or directory\n");
    EXPECT_FALSE(fs::exists(dir.file("output")));
}

TEST_F(Run, MissingBamIsReportedTwice)
{
    testutil::writeText(dir.file("genes.gtf"), kTwoGenes);
    auto result = runIn(dir, testutil::kestroveExe(), "-G genes.gtf -B absent.bam");
    EXPECT_EQ(result.status, 1);
    // The BAM library may add its own line before ours.
    EXPECT_TRUE(endsWith(result.err, "Error 101: Failed to open the BAM file\nError 101: Failed to open the BAM file\n"))
        << result.err;
}

// Whole runs: these need every stage of the quantification in place.

TEST_F(Run, CompletedRunWritesBothSummariesAndTheClosingReport)
{
    writeInputs(kTwoGenes, pairedSam({{1000, 20}, {5000, 10}}));
    auto result = runIn(dir, testutil::kestroveExe(), "-G genes.gtf -B reads.bam");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_GT(bannerLength(result.out), 0u);
    EXPECT_TRUE(endsWithClosingReport(result.out)) << result.out;
    EXPECT_NE(result.out.find("\n> 2 genes processed.\n\nExperiment finished on "), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("genes skipped"), std::string::npos);
    EXPECT_NE(result.out.find("> Quantification completed"), std::string::npos);

    const auto geneRows = lines(testutil::readText(dir.file("output/genes_summary_reads.dat")));
    ASSERT_EQ(geneRows.size(), 3u);
    EXPECT_EQ(fields(geneRows[1])[0], "g1");
    EXPECT_EQ(fields(geneRows[2])[0], "g2");
    // Paired-end: every proper pair is one fragment of the experiment.
    EXPECT_EQ(fields(geneRows[1])[4], "30");
    EXPECT_TRUE(fs::exists(dir.file("output/transcripts_summary_reads.dat")));
}

TEST_F(Run, OnlyGenesOutsideTheLimitsWithFragmentsCountAsSkipped)
{
    // g2 has 10 compatible fragments, below the minimum of 15: skipped. g3 lies on a
    // reference without reads: no compatible fragment, which counts as processed.
    writeInputs(kTwoGenes + exonLine("chr2", 100, 900, "g3", "t3"), pairedSam({{1000, 20}, {5000, 10}}));
    auto result = runIn(dir, testutil::kestroveExe(), "-G genes.gtf -B reads.bam -o results -m 15");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("\n> 2 genes processed.\n> 1 genes skipped.\n\nExperiment finished on "),
              std::string::npos)
        << result.out;
    const auto geneRows = lines(testutil::readText(dir.file("results/genes_summary_reads.dat")));
    ASSERT_EQ(geneRows.size(), 4u);
    EXPECT_EQ(fields(geneRows[1]).back(), "OK");
    EXPECT_EQ(fields(geneRows[2]).back(), "FAIL");
    EXPECT_EQ(fields(geneRows[3]).back(), "FAIL");
}

TEST_F(Run, UnsortedBamIsQuantifiedFromItsSortedCopy)
{
    writeInputs(kTwoGenes, pairedSam({{1000, 20}, {5000, 10}}, false), false);
    auto result = runIn(dir, testutil::kestroveExe(), "-G genes.gtf -B reads.bam");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(fs::exists(dir.file("reads.sorted.bam")));
    const auto geneRows = lines(testutil::readText(dir.file("output/genes_summary_reads.sorted.dat")));
    ASSERT_EQ(geneRows.size(), 3u);
    EXPECT_EQ(fields(geneRows[1])[4], "30");
}

TEST_F(Run, SingleEndExperimentCountsMappedRecords)
{
    std::string sam = kHeader;
    for (int i = 0; i < 12; ++i)
        sam += samRecord("read" + std::to_string(i), i % 2 ? 16 : 0, "chr1", 1000 + i * 10, 0, 0);
    writeInputs(kTwoGenes, sam);
    auto result = runIn(dir, testutil::kestroveExe(), "-G genes.gtf -B reads.bam");
    ASSERT_EQ(result.status, 0) << result.err;
    const auto geneRows = lines(testutil::readText(dir.file("output/genes_summary_reads.dat")));
    ASSERT_EQ(geneRows.size(), 3u);
    EXPECT_EQ(fields(geneRows[1])[4], "12");
}

TEST_F(Run, FinalSummaryThatCannotBeWrittenFailsTheRun)
{
    writeInputs(kTwoGenes, pairedSam({{1000, 20}, {5000, 10}}));
    fs::create_directories(dir.file("output/genes_summary_reads.dat"));
    auto result = runIn(dir, testutil::kestroveExe(), "-G genes.gtf -B reads.bam");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("[writeFinalResults] fail to "), std::string::npos) << result.err;
    EXPECT_EQ(result.out.find("Quantification completed"), std::string::npos);
    EXPECT_EQ(result.out.find("Experiment finished on"), std::string::npos);
}

TEST_F(Run, ThreadPoolsGiveTheSameSummariesAsOneThread)
{
    if (!hasTwoHardwareThreads())
        GTEST_SKIP() << "needs two hardware threads";
    writeInputs(kTwoGenes + exonLine("chr1", 9000, 9500, "g4", "t4"), pairedSam({{1000, 20}, {5000, 10}, {9000, 4}}));
    auto single = runIn(dir, testutil::kestroveDevExe(), "-G genes.gtf -B reads.bam -o one");
    ASSERT_EQ(single.status, 0) << single.err;
    auto pooled = runIn(dir, testutil::kestroveDevExe(), "-G genes.gtf -B reads.bam -o two -p 2");
    ASSERT_EQ(pooled.status, 0) << pooled.err;
    EXPECT_EQ(testutil::readText(dir.file("two/genes_summary_reads.dat")),
              testutil::readText(dir.file("one/genes_summary_reads.dat")));
    EXPECT_EQ(testutil::readText(dir.file("two/transcripts_summary_reads.dat")),
              testutil::readText(dir.file("one/transcripts_summary_reads.dat")));
}

// Fragment count of the experiment, on the calling thread's own reader.

class ExperimentCount : public testing::Test {
protected:
    void SetUp() override
    {
        savedDirs = dirs;
        savedConf = conf;
        fragsExpt = 0;
    }
    void TearDown() override
    {
        threadLocalStorage.reset();
        dirs = savedDirs;
        conf = savedConf;
        fragsExpt = 0;
    }

    testutil::TempDir dir;
    t_directories savedDirs;
    t_configuration savedConf;
};

TEST_F(ExperimentCount, PairedReferenceCountsHalfTheProperPairsPlusSingletons)
{
    std::string sam = pairedSam({{1000, 20}});
    for (int i = 0; i < 3; ++i)
        sam += samRecord("lonely" + std::to_string(i), 73, "chr1", 3000 + i, 0, 0);
    dirs.bamFile = dir.file("reads.bam");
    testutil::samToBam(sam, dirs.bamFile, true);
    fragsExperiment("chr1:0-999999999");
    EXPECT_EQ(fragsExpt.load(), 23u);
    fragsExperiment("chrAbsent:0-999999999");
    EXPECT_EQ(fragsExpt.load(), 23u);
}

TEST_F(ExperimentCount, ReaderOpenFailureEndsTheRunWithBothLines)
{
    dirs.bamFile = dir.file("absent.bam");
    testing::internal::CaptureStderr();
    EXPECT_THROW(fragsExperiment("chr1:0-999999999"), RunAborted);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(endsWith(err, "Error 101: Failed to open the BAM file\nError 101: Failed to open the BAM file\n"))
        << err;
}

// The pool that runs every multi-threaded phase.

TEST(TaskPool, EveryPostedTaskRunsOnceOnTheRequestedThreads)
{
    TaskPool pool;
    std::atomic<int> runs{0};
    std::mutex idsMutex;
    std::set<std::thread::id> ids;
    for (int i = 0; i < 200; ++i) {
        pool.post([&] {
            ++runs;
            std::lock_guard<std::mutex> lock(idsMutex);
            ids.insert(std::this_thread::get_id());
        });
    }
    pool.run(3);
    EXPECT_EQ(runs.load(), 200);
    EXPECT_LE(ids.size(), 3u);
    EXPECT_EQ(ids.count(std::this_thread::get_id()), 0u);
}

TEST(TaskPool, EmptyPoolReturnsAtOnce)
{
    TaskPool pool;
    EXPECT_NO_THROW(pool.run(4));
}

TEST(TaskPool, FailingTaskIsReportedOnceAndEndsTheRunOnTheCaller)
{
    TaskPool pool;
    std::atomic<int> laterRuns{0};
    pool.post([] { throw KestroveException(ERR_MEMORY_ALLOCATION); });
    for (int i = 0; i < 50; ++i)
        pool.post([&] { ++laterRuns; });
    testing::internal::CaptureStderr();
    EXPECT_THROW(pool.run(1), RunAborted);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error 110: Memory allocation error\n");
    // The queue stops at the failure: one worker runs the tasks in order.
    EXPECT_EQ(laterRuns.load(), 0);
}

TEST(TaskPool, AllocationFailureOnAWorkerDoesNotTerminate)
{
    TaskPool pool;
    for (int i = 0; i < 4; ++i)
        pool.post([] { throw std::bad_alloc(); });
    testing::internal::CaptureStderr();
    EXPECT_THROW(pool.run(2), RunAborted);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error 110: Memory allocation error\n");
}

TEST(TaskPool, AlreadyReportedFailurePrintsNothingMore)
{
    TaskPool pool;
    pool.post([] { throw RunAborted{}; });
    testing::internal::CaptureStderr();
    EXPECT_THROW(pool.run(2), RunAborted);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
