#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "Helper.h"
#include "TestUtil.h"

namespace {

using testutil::TempDir;

const char* const kSummaryHeader = "tracking_ID\tgene_ID\tgene_name\tlocus\tlength\tfragment_validity_coverage\t"
                                   "abundance\tfrags_locus\tfrags_expt\tFPKM_THN\tcomp_frags_locus\t"
                                   "comp_frags_expt\tFPKM_CHN\n";

struct Transcript {
    std::string id;
    unsigned length = 1000;
    double abundance = 0.5;
    unsigned compatible = 1000;
    std::vector<double> means{300};
    std::vector<double> weights{1};
    std::string geneName = "gname";
};

// A transcript summary row of a run with clustering on: the thirteen summary
// columns, then N, the N means and the N weights.
std::string summaryRow(const Transcript& t)
{
    std::ostringstream row;
    row << t.id << "\tG1\t" << t.geneName << "\tchr1:1-5000\t" << t.length << "\t0.90\t" << t.abundance
        << "\t1200\t50000\t12.5\t" << t.compatible << "\t40000\t13.1\t" << t.means.size();
    for (double m : t.means)
        row << '\t' << m;
    for (double w : t.weights)
        row << '\t' << w;
    row << '\n';
    return row.str();
}

std::string summary(const std::vector<Transcript>& transcripts)
{
    std::string text = kSummaryHeader;
    for (const Transcript& t : transcripts)
        text += summaryRow(t);
    return text;
}

struct Table {
    std::string header;
    std::vector<std::string> ids;
    std::vector<std::vector<double>> rows;
};

Table readTable(const std::string& path)
{
    Table table;
    std::istringstream in(testutil::readText(path));
    std::getline(in, table.header);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id;
        std::getline(fields, id, '\t');
        table.ids.push_back(id);
        std::vector<double> values;
        std::string value;
        while (std::getline(fields, value, '\t'))
            values.push_back(std::stod(value));
        table.rows.push_back(values);
    }
    return table;
}

std::string expectedHeader()
{
    std::string header = "NAME";
    for (int i = 1; i <= 100; ++i)
        header += "\tcoord_" + std::to_string(i);
    return header;
}

// The normalised mixture density at positions 1 ... length, written independently of the reader.
std::vector<double> normalisedDensity(unsigned length, const std::vector<double>& means,
                                      const std::vector<double>& weights)
{
    const double sigma = means[0];
    std::vector<double> p(length);
    double sum = 0;
    for (unsigned x = 1; x <= length; ++x) {
        for (size_t k = 0; k < means.size(); ++k)
            p[x - 1] += weights[k] * std::exp(-0.5 * std::pow((x - means[k]) / sigma, 2)) / (std::sqrt(2 * M_PI) * sigma);
        sum += p[x - 1];
    }
    for (double& v : p)
        v /= sum;
    return p;
}

class ClusteringDataTest : public ::testing::Test {
protected:
    void SetUp() override { conf.resultsDir = dir.path(); }
    void writeSummary(const std::string& text, const std::string& name = "transcripts_summary_sample.dat")
    {
        testutil::writeText(dir.file(name), text);
    }
    std::string normPdfs() const { return dir.file("norm_pdfs"); }

    TempDir dir;
    t_configuration conf;
    Helper helper;
};

} // namespace

TEST(RenormalizeToPdf, ScalesPositiveValuesToSumOne)
{
    EXPECT_EQ(Helper::renormalizeToPdf({0.2, 0.2}), (std::vector<double>{0.5, 0.5}));
    const std::vector<double> scaled = Helper::renormalizeToPdf({1.0, 3.0, 0.0});
    EXPECT_DOUBLE_EQ(scaled[0], 0.25);
    EXPECT_DOUBLE_EQ(scaled[1], 0.75);
    EXPECT_EQ(scaled[2], 0.0);
}

TEST(RenormalizeToPdf, LeavesZeroSumsNegativesAndEmptyInputAlone)
{
    EXPECT_EQ(Helper::renormalizeToPdf({0.0, 0.0}), (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(Helper::renormalizeToPdf({0.5, -0.1}), (std::vector<double>{0.5, -0.1}));
    EXPECT_TRUE(Helper::renormalizeToPdf({}).empty());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> withNan = Helper::renormalizeToPdf({0.3, nan});
    EXPECT_EQ(withNan[0], 0.3);
    EXPECT_TRUE(std::isnan(withNan[1]));
}

TEST(RenormalizeToPdf, SingleValueBecomesOne)
{
    EXPECT_EQ(Helper::renormalizeToPdf({5.0}), (std::vector<double>{1.0}));
    EXPECT_EQ(Helper::renormalizeToPdf({-2.0}), (std::vector<double>{1.0}));
}

TEST(RenormalizeToPdf, SumWithinToleranceIsKept)
{
    EXPECT_EQ(Helper::renormalizeToPdf({0.50004, 0.5}), (std::vector<double>{0.50004, 0.5}));
}

TEST_F(ClusteringDataTest, ProfileOfLength250UsesBinsOfTwoBasesAndDropsTheLastFifty)
{
    Transcript t{.id = "T250", .length = 250, .means = {60, 230}, .weights = {0.5, 0.5}};
    conf.minTransLen = 200;
    writeSummary(summary({t}));
    helper.createClusteringData(conf);

    const Table table = readTable(normPdfs());
    EXPECT_EQ(table.header, expectedHeader());
    ASSERT_EQ(table.ids, (std::vector<std::string>{"T250"}));
    ASSERT_EQ(table.rows[0].size(), 100u);
    const std::vector<double> p = normalisedDensity(250, t.means, t.weights);
    double binned = 0;
    for (int bin = 0; bin < 100; ++bin) {
        const double expected = (p[2 * bin] + p[2 * bin + 1]) / 2;
        EXPECT_NEAR(table.rows[0][bin], expected, expected * 1e-5) << "bin " << bin;
        binned += 2 * table.rows[0][bin];
    }
    double tail = 0;
    for (int x = 200; x < 250; ++x)
        tail += p[x];
    EXPECT_GT(tail, 0.1);
    EXPECT_NEAR(binned, 1.0 - tail, 1e-5);
}

TEST_F(ClusteringDataTest, LargestBinOfOneComponentAtBase100OfLength200IsBin49)
{
    writeSummary(summary({{.id = "T200", .length = 200, .means = {100}, .weights = {1}}}));
    helper.createClusteringData(conf);
    const Table table = readTable(normPdfs());
    ASSERT_EQ(table.rows.size(), 1u);
    const std::vector<double>& bins = table.rows[0];
    EXPECT_EQ(std::max_element(bins.begin(), bins.end()) - bins.begin(), 49);
    EXPECT_GT(bins[49], bins[50]);
}

TEST_F(ClusteringDataTest, FiltersOnCompatibleFragmentsTimesAbundanceAndOnLength)
{
    conf.minTransFrags = 100;
    conf.minTransLen = 300;
    writeSummary(summary({
        {.id = "exactFrags", .length = 1000, .abundance = 0.5, .compatible = 200},
        {.id = "belowFrags", .length = 1000, .abundance = 0.4995, .compatible = 200},
        {.id = "exactLength", .length = 300, .abundance = 1.0, .compatible = 100},
        {.id = "shortLength", .length = 299, .abundance = 1.0, .compatible = 100},
        {.id = "zeroFrags", .length = 1000, .abundance = 0.0, .compatible = 0},
    }));
    helper.createClusteringData(conf);
    EXPECT_EQ(readTable(normPdfs()).ids, (std::vector<std::string>{"exactFrags", "exactLength"}));
}

TEST_F(ClusteringDataTest, SecondRunAppendsWithoutASecondHeader)
{
    writeSummary(summary({{.id = "A"}, {.id = "B", .means = {200, 700}, .weights = {0.3, 0.7}}}));
    helper.createClusteringData(conf);
    const std::string first = testutil::readText(normPdfs());
    helper.createClusteringData(conf);
    const std::string second = testutil::readText(normPdfs());
    EXPECT_EQ(second, first + first.substr(first.find('\n') + 1));
    const Table table = readTable(normPdfs());
    EXPECT_EQ(table.ids, (std::vector<std::string>{"A", "B", "A", "B"}));
}

TEST_F(ClusteringDataTest, ProfilesSumToOneOverTheBinnedPositionsAndKeepColumnsWithAnEmptyGeneName)
{
    // Length 1000 uses every base; an empty gene name must not shift the fields after it.
    writeSummary(summary({{.id = "noName", .length = 1000, .means = {250, 500, 750}, .weights = {0.2, 0.5, 0.3},
                           .geneName = ""}}));
    helper.createClusteringData(conf);
    const Table table = readTable(normPdfs());
    ASSERT_EQ(table.ids, (std::vector<std::string>{"noName"}));
    double total = 0;
    for (double v : table.rows[0])
        total += 10 * v;
    EXPECT_NEAR(total, 1.0, 1e-5);
}

TEST_F(ClusteringDataTest, TakesTheFirstSummaryByNameAndAcceptsCrLfLines)
{
    std::string crlf = summary({{.id = "fromA"}});
    for (size_t at = crlf.find('\n'); at != std::string::npos; at = crlf.find('\n', at + 2))
        crlf.insert(at, "\r");
    writeSummary(crlf, "transcripts_summary_a.dat");
    writeSummary(summary({{.id = "fromB"}}), "transcripts_summary_b.dat");
    writeSummary(summary({{.id = "notASummary"}}), "old_transcripts_summary.dat");
    ::mkdir(dir.file("transcripts_summary_0").c_str(), 0755);
    helper.createClusteringData(conf);
    EXPECT_EQ(readTable(normPdfs()).ids, (std::vector<std::string>{"fromA"}));
}

TEST_F(ClusteringDataTest, HeaderOnlySummaryGivesAnEmptyTable)
{
    writeSummary(kSummaryHeader);
    helper.createClusteringData(conf);
    EXPECT_EQ(testutil::readText(normPdfs()), expectedHeader() + "\n");
}

TEST_F(ClusteringDataTest, UnnormalisableDensityOrTooShortTranscriptIsSkippedWithAWarning)
{
    conf.minTransLen = 50;
    writeSummary(summary({
        {.id = "zeroMean", .means = {0, 500}, .weights = {0.5, 0.5}},
        {.id = "short", .length = 99, .means = {50, 60}, .weights = {0.5, 0.5}},
        {.id = "good", .means = {300, 600}, .weights = {0.5, 0.5}},
    }));
    testing::internal::CaptureStderr();
    helper.createClusteringData(conf);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("line 2: transcript zeroMean left out"), std::string::npos) << err;
    EXPECT_NE(err.find("line 3: transcript short left out"), std::string::npos) << err;
    EXPECT_EQ(readTable(normPdfs()).ids, (std::vector<std::string>{"good"}));
}

TEST_F(ClusteringDataTest, MissingOrUnreadableInputEndsTheProcessWithStatusOne)
{
    EXPECT_EXIT(helper.createClusteringData(conf), ::testing::ExitedWithCode(1),
                "^Couldn't open transcripts_summary file for clustering\n$");

    conf.resultsDir = "";
    EXPECT_EXIT(helper.createClusteringData(conf), ::testing::ExitedWithCode(1), "No results directory given");

    conf.resultsDir = dir.file("absent");
    EXPECT_EXIT(helper.createClusteringData(conf), ::testing::ExitedWithCode(1),
                "Couldn't list the results directory .*absent for clustering");

    writeSummary("");
    conf.resultsDir = dir.path();
    EXPECT_EXIT(helper.createClusteringData(conf), ::testing::ExitedWithCode(1), "is empty: no header line");
}

TEST_F(ClusteringDataTest, SummaryWithoutMixtureColumnsIsRefusedNamingTheLine)
{
    writeSummary(std::string(kSummaryHeader)
                 + "T1\tG1\tg\tchr1:1-900\t900\t1.00\t0.5\t1000\t5000\t3.1\t1000\t4000\t3.2\n");
    EXPECT_EXIT(helper.createClusteringData(conf), ::testing::ExitedWithCode(1),
                "transcripts_summary_sample.dat, line 2: 13 fields, but clustering needs the mixture columns");
    EXPECT_FALSE(testutil::exists(normPdfs()));
}

TEST_F(ClusteringDataTest, MalformedLineStopsBeforeAnythingIsWritten)
{
    const std::string good = summary({{.id = "A"}, {.id = "B"}});
    std::string badNumber = summaryRow({.id = "C"});
    badNumber.replace(badNumber.find("\t1000\t"), 6, "\t1k\t");
    writeSummary(good + badNumber);
    EXPECT_EXIT(helper.createClusteringData(conf), ::testing::ExitedWithCode(1),
                "line 4: field 5 \\(length\\) \"1k\" is not an unsigned integer");
    EXPECT_FALSE(testutil::exists(normPdfs()));

    std::string negative = summaryRow({.id = "C"});
    negative.replace(negative.find("\t1000\t"), 6, "\t-1000\t");
    writeSummary(good + negative);
    EXPECT_EXIT(helper.createClusteringData(conf), ::testing::ExitedWithCode(1), "line 4: field 5");

    std::string shortRow = summaryRow({.id = "C", .means = {100, 200}, .weights = {0.5, 0.5}});
    shortRow = shortRow.substr(0, shortRow.rfind('\t')) + "\n";
    writeSummary(summary({{.id = "A", .means = {100, 200}, .weights = {0.5, 0.5}}}) + shortRow);
    EXPECT_EXIT(helper.createClusteringData(conf), ::testing::ExitedWithCode(1),
                "line 3: 17 fields, 14 \\+ 2 x 2 expected");

    std::string badWeight = summaryRow({.id = "C"});
    badWeight.replace(badWeight.rfind("\t1\n"), 3, "\tabc\n");
    writeSummary(good + badWeight);
    EXPECT_EXIT(helper.createClusteringData(conf), ::testing::ExitedWithCode(1),
                "line 4: field 16 \\(component weight\\) \"abc\" is not a number");

    writeSummary(summary({{.id = "A", .means = {}, .weights = {}}}));
    EXPECT_EXIT(helper.createClusteringData(conf), ::testing::ExitedWithCode(1),
                "line 2: field 14 \\(number of mixture components\\) is 0");
    EXPECT_FALSE(testutil::exists(normPdfs()));
}

TEST_F(ClusteringDataTest, UnwritableTableIsReportedWhenTheTableIsADirectory)
{
    writeSummary(summary({{.id = "A"}}));
    ::mkdir(normPdfs().c_str(), 0755);
    EXPECT_EXIT(helper.createClusteringData(conf), ::testing::ExitedWithCode(1),
                "\\[createClusteringData\\] fail to open file > .*norm_pdfs");
}

TEST_F(ClusteringDataTest, ClusterPdfsWritesTheClustersOfTheThreeRowExample)
{
    testutil::writeText(normPdfs(), "NAME\tcoord_1\tcoord_2\nP\t0\t0\nQ\t0\t1\nR\t4\t4\n");
    conf.nrClusters = 2;
    testing::internal::CaptureStdout();
    helper.clusterPDFs(normPdfs(), conf);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("> Clustering completed"), std::string::npos);
    EXPECT_EQ(testutil::readText(normPdfs() + ".clusters"), "P\t1\nQ\t1\nR\t0\n");
}

TEST_F(ClusteringDataTest, ClusterPdfsWithNothingToClusterWritesNoFile)
{
    testing::internal::CaptureStdout();
    helper.clusterPDFs("", conf);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "No data available\n");

    testutil::writeText(normPdfs(), expectedHeader() + "\n");
    testing::internal::CaptureStdout();
    helper.clusterPDFs(normPdfs(), conf);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "No data available\n");
    EXPECT_FALSE(testutil::exists(normPdfs() + ".clusters"));

    testutil::writeText(normPdfs(), "NAME\tcoord_1\nonly\t0.5\n");
    testing::internal::CaptureStdout();
    helper.clusterPDFs(normPdfs(), conf);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("No data available"), std::string::npos);
    EXPECT_NE(out.find("at least two rows"), std::string::npos) << out;
    EXPECT_FALSE(testutil::exists(normPdfs() + ".clusters"));
}

TEST_F(ClusteringDataTest, ClusterPdfsReportsUnreadableTables)
{
    const std::string absent = dir.file("absent");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    helper.clusterPDFs(absent, conf);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not load the pdfs file for clustering!");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error opening file " + absent + "\nNo data available\n");

    testutil::writeText(normPdfs(), "NAME\tcoord_1\tcoord_2\nP\t0\t0\nQ\t0\n");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    helper.clusterPDFs(normPdfs(), conf);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not load the pdfs file for clustering!");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error reading file " + normPdfs()
                  + ":\nError reading line 3: only 2 columns found (3 expected)\nNo data available\n");
    EXPECT_FALSE(testutil::exists(normPdfs() + ".clusters"));

    testutil::writeText(normPdfs(), "");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    helper.clusterPDFs(normPdfs(), conf);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error reading file " + normPdfs() + ":\nAttempting to read empty file\nNo data available\n");
}

TEST(KestroveCluster, ClustersTheSummaryOfAResultsDirectory)
{
    TempDir dir;
    std::vector<Transcript> transcripts;
    for (int i = 0; i < 8; ++i) {
        const double early = i < 4 ? 0.8 : 0.1;
        transcripts.push_back({.id = "T" + std::to_string(i), .length = 1200u + 100u * i,
                               .means = {200, 600, 1000}, .weights = {early, 0.1, 0.9 - early}});
    }
    transcripts.push_back(
        {.id = "lowCoverage", .abundance = 0.01, .means = {200, 600, 1000}, .weights = {0.3, 0.3, 0.4}});
    testutil::writeText(dir.file("transcripts_summary_run.dat"), summary(transcripts));

    const auto result = testutil::run(testutil::toolPath("kestrove-cluster") + " " + dir.path());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Experiment started on "), std::string::npos);
    EXPECT_NE(result.out.find("Preparing the data to cluster"), std::string::npos);
    EXPECT_NE(result.out.find("\n\nExperiment finished on "), std::string::npos);
    EXPECT_NE(result.out.find("\n\nElapsed time: [CPU "), std::string::npos);

    const std::string clusters = testutil::readText(dir.file("norm_pdfs.clusters"));
    std::istringstream lines(clusters);
    std::string line;
    std::vector<std::string> ids;
    std::vector<int> numbers;
    while (std::getline(lines, line)) {
        const size_t tab = line.find('\t');
        ASSERT_NE(tab, std::string::npos) << line;
        ids.push_back(line.substr(0, tab));
        numbers.push_back(std::stoi(line.substr(tab + 1)));
    }
    ASSERT_EQ(ids, (std::vector<std::string>{"T0", "T1", "T2", "T3", "T4", "T5", "T6", "T7"}));
    for (int n : numbers) {
        EXPECT_GE(n, 0);
        EXPECT_LT(n, 5);
    }
    // Early-peaked and late-peaked profiles never share a cluster.
    for (int i = 0; i < 4; ++i)
        for (int j = 4; j < 8; ++j)
            EXPECT_NE(numbers[i], numbers[j]) << ids[i] << " and " << ids[j];
}

TEST(KestroveCluster, RefusesAMissingArgumentAndExplainsItsUsage)
{
    const std::string tool = testutil::toolPath("kestrove-cluster");
    auto result = testutil::run(tool);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("the results directory is missing"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("Usage: kestrove-cluster RESULTS_DIR"), std::string::npos);

    result = testutil::run(tool + " a b");
    EXPECT_EQ(result.status, 1);
    result = testutil::run(tool + " --threads=2");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("unknown option --threads=2"), std::string::npos) << result.err;

    result = testutil::run(tool + " --help");
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("Usage: kestrove-cluster RESULTS_DIR"), std::string::npos);
}

TEST(KestroveCluster, DirectoryWithoutSummaryFailsWithStatusOne)
{
    TempDir dir;
    const auto result = testutil::run(testutil::toolPath("kestrove-cluster") + " " + dir.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("Couldn't open transcripts_summary file for clustering"), std::string::npos);
    EXPECT_FALSE(testutil::exists(dir.file("norm_pdfs.clusters")));
}
