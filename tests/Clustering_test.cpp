// Start-site profiles from a transcript summary and their hierarchical clustering.

#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "clustering/ProfileTable.h"
#include "TestUtil.h"
#include "clustering/HierarchicalClustering.h"

namespace {

using testutil::TempDir;

struct Transcript {
    std::string id;
    unsigned length = 1000;
    double abundance = 0.5;
    unsigned compatible = 1000;
    std::vector<double> means{300};
    std::vector<double> weights{1};
};

// A summary of a run with clustering on: the thirteen summary columns, then N, the N
// means and the N weights.
std::string summary(const std::vector<Transcript>& transcripts)
{
    std::ostringstream text;
    text << "tracking_ID\tgene_ID\tgene_name\tlocus\tlength\tfragment_validity_coverage\tabundance\tfrags_locus\t"
            "frags_expt\tFPKM_THN\tcomp_frags_locus\tcomp_frags_expt\tFPKM_CHN\n";
    for (const Transcript& t : transcripts) {
        text << t.id << "\tG1\tg\tchr1:1-5000\t" << t.length << "\t0.90\t" << t.abundance << "\t1200\t50000\t12.5\t"
             << t.compatible << "\t40000\t13.1\t" << t.means.size();
        for (double m : t.means)
            text << '\t' << m;
        for (double w : t.weights)
            text << '\t' << w;
        text << '\n';
    }
    return text.str();
}

std::vector<Node> linkage(int32_t n, const std::vector<double>& data, const std::vector<uint8_t>& mask,
                          const std::vector<double>& weights, int32_t columns, bool byScan)
{
    auto d = cityBlockDistances(n, columns, data.data(), mask.data(), weights.data());
    EXPECT_TRUE(d.has_value());
    return byScan ? averageLinkageByScan(n, *d, nullptr) : averageLinkage(n, *d, nullptr);
}

TEST(Clustering, LinkageAveragesBySizeAndMovesTheLastClusterIntoTheFreedPosition)
{
    // One column. A = 0, B = 10, C = 1, D = 30: C joins A (1), B joins the pair at (10 + 9) / 2,
    // D last at (30 + 29 + 20) / 3. A = 0, B = 100, C = 101, D = 103: C joins B, D joins
    // them at (3 + 2) / 2 = 2.5 from position 2, A last at (103 + 2 x 100.5) / 3.
    const std::vector<std::tuple<std::vector<double>, std::vector<int>, std::vector<double>>> rows = {
        {{0, 10, 1, 30}, {2, 0, 1, -1, 3, -2}, {1, 9.5, 79.0 / 3}}, {{0, 100, 101, 103}, {2, 1, 3, -1, -2, 0}, {1, 2.5, 304.0 / 3}}};
    for (const auto& [data, nodes, distances] : rows)
        for (bool byScan : {false, true}) {
            const std::vector<Node> tree = linkage(4, data, std::vector<uint8_t>(4, 1), {1}, 1, byScan);
            ASSERT_EQ(tree.size(), 3u);
            EXPECT_EQ(std::vector<int>({tree[0].left, tree[0].right, tree[1].left, tree[1].right, tree[2].left, tree[2].right}), nodes);
            for (int s = 0; s < 3; ++s)
                EXPECT_DOUBLE_EQ(tree[s].distance, distances[s]) << s << " " << byScan;
        }
}

// The cluster tool on a results directory: profiles only of transcripts with enough
// fragments (compatible x abundance, default 100) and length (default 200), and
// early-peaked profiles never in a cluster with late-peaked ones.
TEST(Clustering, ToolKeepsTranscriptsWithEnoughFragmentsAndLengthAndGroupsShapes)
{
    TempDir dir;
    std::vector<Transcript> transcripts = {{.id = "exactFrags", .abundance = 0.5, .compatible = 200},
                                           {.id = "belowFrags", .abundance = 0.4995, .compatible = 200},
                                           {.id = "exactLength", .length = 200, .abundance = 1.0, .compatible = 100},
                                           {.id = "shortLength", .length = 199, .abundance = 1.0, .compatible = 100},
                                           {.id = "negativeWeight", .weights = {-1.0}}};
    for (int i = 0; i < 8; ++i)
        transcripts.push_back({.id = "T" + std::to_string(i), .length = 1200u + 100u * i, .means = {200, 600, 1000},
                               .weights = {i < 4 ? 0.8 : 0.1, 0.1, i < 4 ? 0.1 : 0.8}});
    testutil::writeText(dir.file("transcripts_summary_run.dat"), summary(transcripts));
    const auto result = testutil::run(testutil::toolPath("kestrove-cluster") + " " + dir.path());
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(testutil::column(dir.file("norm_pdfs"), "NAME"), "exactFrags exactLength T0 T1 T2 T3 T4 T5 T6 T7 ");
    const auto rows = testutil::lines(testutil::readText(dir.file("norm_pdfs.clusters")));
    ASSERT_EQ(rows.size(), 10u);
    for (int i = 2; i < 6; ++i)
        for (int j = 6; j < 10; ++j)
            EXPECT_NE(testutil::fields(rows[i])[1], testutil::fields(rows[j])[1]) << rows[i] << " and " << rows[j];
}

// Every run writes the mixture columns beside its summaries, so the tool on the folder
// of a normal run gives what the build that clusters after each run gives, whose
// summary is the normal one joined with the mixtures file.
TEST(Clustering, ToolOnANormalRunMatchesClusteringAfterTheRun)
{
    TempDir dir;
    testutil::simulate(dir.file("sim"), "--genes 8 --fragments 6000 --seed 4");
    for (const std::string options : {"", "-b 2"}) {
        std::filesystem::remove_all(dir.file("normal"));
        std::filesystem::remove_all(dir.file("after"));
        const std::string run = "-G sim.gtf -B sim.bam --quiet " + options;
        ASSERT_EQ(testutil::kestroveIn(dir.path(), run + " -o normal").status, 0) << options;
        ASSERT_EQ(testutil::kestroveIn(dir.path(), run + " -o after", KESTROVE_CLUSTERRUN_EXE).status, 0) << options;
        const auto tool = testutil::run(testutil::toolPath("kestrove-cluster") + " " + dir.file("normal"));
        ASSERT_EQ(tool.status, 0) << options << tool.err;

        const auto normal = testutil::lines(testutil::readText(dir.file("normal/transcripts_summary_sim.dat")));
        const auto mixtures = testutil::lines(testutil::readText(dir.file("normal/mixtures_sim.dat")));
        const auto after = testutil::lines(testutil::readText(dir.file("after/transcripts_summary_sim.dat")));
        ASSERT_EQ(mixtures.size(), normal.size()) << options;
        ASSERT_EQ(after.size(), normal.size()) << options;
        for (size_t i = 0; i < normal.size(); ++i) {
            const size_t keyEnd = mixtures[i].find('\t', mixtures[i].find('\t') + 1);
            EXPECT_EQ(normal[i] + mixtures[i].substr(keyEnd), after[i]) << options;
        }
        EXPECT_EQ(testutil::readText(dir.file("normal/norm_pdfs")), testutil::readText(dir.file("after/norm_pdfs")));
        const std::string clusters = testutil::readText(dir.file("after/norm_pdfs.clusters"));
        EXPECT_GE(testutil::lines(clusters).size(), 5u) << options;
        EXPECT_EQ(testutil::readText(dir.file("normal/norm_pdfs.clusters")), clusters) << options;
    }
}

TEST(Clustering, ThreeRowTableGivesTwoClusters)
{
    TempDir dir;
    // The three-row table: P and Q close together, R far away.
    t_configuration conf;
    conf.nrClusters = 2;
    for (const auto& [table, clusters] : std::vector<std::pair<std::string, std::string>>{
             {"NAME\tcoord_1\tcoord_2\nP\t0\t0\nQ\t0\t1\nR\t4\t4\n", "P\t1\nQ\t1\nR\t0\n"},
             {"NAME\tcoord_1\tcoord_2\nEWEIGHT\t1\t1\nEORDER\t1\t2\nP\t0\t0\nQ\t0\t1\nR\t4\t4\n", "P\t1\nQ\t1\nR\t0\n"},
             {"NAME\tcoord_1\tcoord_2\nP\t0\t0\nQ\t0\n", ""}, {"", ""}}) {
        std::remove(dir.file("norm_pdfs.clusters").c_str());
        testutil::writeText(dir.file("norm_pdfs"), table);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const bool clustered = clusterPDFs(dir.file("norm_pdfs"), conf);
        testing::internal::GetCapturedStderr();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(testutil::readText(dir.file("norm_pdfs.clusters")), clusters) << table;
        // A run must not end as a success when its clustering step failed.
        EXPECT_EQ(clustered, !clusters.empty()) << table;
    }
}

TEST(Clustering, MalformedInputsEndWithStatusOneBeforeAnythingIsWritten)
{
    TempDir dir;
    const std::string good = summary({{.id = "A"}});
    const std::string normal = good.substr(0, good.find("\t13.1\t") + 5) + "\n";
    struct Row { std::string summary; std::string message; std::string mixtures = ""; };
    const std::vector<Row> rows = {
        {normal, "line 2: 13 fields, but clustering needs the mixture columns"},
        {normal, "line 2: transcript A of gene G1 has no row in", "tracking_ID\tgene_ID\tnr_components\nA\tG2\t1\t300\t1\n"},
        {good + "C\tG1\tg\tchr1:1-5000\t1k\t0.90\t0.5\t1200\t50000\t12.5\t1000\t40000\t13.1\t1\t300\t1\n",
         "line 3: field 5 (length) \"1k\" is not an unsigned integer"},
        {good + "C\tG1\t\tchr1:1-5000\t1000\t0.90\t0.5\t1200\t50000\t12.5\t1000\t40000\t13.1\t1\t300\n",
         "line 3: 15 fields, 14 + 2 x 1 expected"},
        {"", "Couldn't open transcripts_summary file for clustering"},
    };
    for (const Row& row : rows) {
        std::remove(dir.file("transcripts_summary_x.dat").c_str());
        std::remove(dir.file("mixtures_x.dat").c_str());
        std::remove(dir.file("norm_pdfs").c_str());
        if (!row.summary.empty())
            testutil::writeText(dir.file("transcripts_summary_x.dat"), row.summary);
        if (!row.mixtures.empty())
            testutil::writeText(dir.file("mixtures_x.dat"), row.mixtures);
        const auto result = testutil::run(testutil::toolPath("kestrove-cluster") + " " + dir.path());
        EXPECT_EQ(result.status, 1) << row.message;
        EXPECT_TRUE(testutil::contains(result.err, row.message)) << result.err;
        EXPECT_FALSE(testutil::exists(dir.file("norm_pdfs"))) << row.message;
    }
}

} // namespace
