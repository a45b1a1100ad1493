#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "cluster.h"
#include "data.h"

namespace {

using testutil::TempDir;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Loads the table text through a real file, as the program does.
std::optional<std::string> loadText(const TempDir& dir, const std::string& text)
{
    const std::string path = dir.file("table.txt");
    testutil::writeText(path, text);
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "r"));
    return Load(file.get());
}

class StoreTest : public ::testing::Test {
protected:
    void TearDown() override { Free(); }
    TempDir dir;
};

std::vector<Node> linkage(int32_t n, const std::vector<double>& data, const std::vector<uint8_t>& mask,
                          const std::vector<double>& weights, int32_t columns, bool byScan)
{
    auto d = distancematrix(n, columns, data.data(), mask.data(), weights.data(), 'b');
    EXPECT_TRUE(d.has_value());
    return byScan ? averageLinkageByScan(n, *d, false) : averageLinkage(n, *d, false);
}

} // namespace

TEST(DistanceMatrix, ThreeRowExampleHasWeightedCityBlockDistances)
{
    // P = (0, 0), Q = (0, 1), R = (4, 4)
    const std::vector<double> data{0, 0, 0, 1, 4, 4};
    const std::vector<uint8_t> mask(6, 1);
    const std::vector<double> weights{1, 1};
    auto d = distancematrix(3, 2, data.data(), mask.data(), weights.data(), 'b');
    ASSERT_TRUE(d.has_value());
    ASSERT_EQ(d->size(), 3u);
    EXPECT_DOUBLE_EQ((*d)[triangleIndex(1, 0)], 0.5);
    EXPECT_DOUBLE_EQ((*d)[triangleIndex(2, 0)], 4.0);
    EXPECT_DOUBLE_EQ((*d)[triangleIndex(2, 1)], 3.5);
}

TEST(DistanceMatrix, MissingValueIsLeftOutOfBothSums)
{
    // Column 1 is missing in the first row: only columns 0 and 2 count, weights 1 and 3.
    const std::vector<double> data{1, 0, 3, 2, 100, 5};
    const std::vector<uint8_t> mask{1, 0, 1, 1, 1, 1};
    const std::vector<double> weights{1, 2, 3};
    auto d = distancematrix(2, 3, data.data(), mask.data(), weights.data(), 'b');
    ASSERT_TRUE(d.has_value());
    EXPECT_DOUBLE_EQ((*d)[0], (1.0 * 1 + 3.0 * 2) / (1 + 3));

    const std::vector<uint8_t> complete(6, 1);
    d = distancematrix(2, 3, data.data(), complete.data(), weights.data(), 'b');
    ASSERT_TRUE(d.has_value());
    EXPECT_DOUBLE_EQ((*d)[0], (1.0 * 1 + 2.0 * 100 + 3.0 * 2) / 6);
}

TEST(DistanceMatrix, RowsWithoutACommonValueAreAtDistanceZero)
{
    const std::vector<double> data{1, 0, 0, 7};
    const std::vector<uint8_t> mask{1, 0, 0, 1};
    const std::vector<double> weights{1, 1};
    auto d = distancematrix(2, 2, data.data(), mask.data(), weights.data(), 'b');
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ((*d)[0], 0.0);
}

TEST(DistanceMatrix, RefusesFewerThanTwoRowsAndUnknownCodes)
{
    const std::vector<double> data{1, 2, 3, 4};
    const std::vector<uint8_t> mask(4, 1);
    const std::vector<double> weights{1, 1};
    EXPECT_FALSE(distancematrix(1, 2, data.data(), mask.data(), weights.data(), 'b').has_value());
    EXPECT_FALSE(distancematrix(2, 2, data.data(), mask.data(), weights.data(), 'e').has_value());
    EXPECT_FALSE(treecluster(2, 2, data.data(), mask.data(), weights.data(), 'b', 's').has_value());
    EXPECT_TRUE(treecluster(2, 2, data.data(), mask.data(), weights.data(), 'b', 'a').has_value());
}

TEST(Linkage, ThreeRowExampleJoinsQWithPThenRWithThePair)
{
    const std::vector<double> data{0, 0, 0, 1, 4, 4};
    for (bool byScan : {false, true}) {
        SCOPED_TRACE(byScan ? "scan" : "nearest-neighbour cache");
        const std::vector<Node> tree = linkage(3, data, std::vector<uint8_t>(6, 1), {1, 1}, 2, byScan);
        ASSERT_EQ(tree.size(), 2u);
        EXPECT_EQ(tree[0].left, 1);
        EXPECT_EQ(tree[0].right, 0);
        EXPECT_DOUBLE_EQ(tree[0].distance, 0.5);
        EXPECT_EQ(tree[1].left, 2);
        EXPECT_EQ(tree[1].right, -1);
        EXPECT_DOUBLE_EQ(tree[1].distance, 3.75);
        EXPECT_EQ(cuttree(3, tree, 2), (std::vector<int32_t>{1, 1, 0}));
    }
}

TEST(Linkage, AveragesBySizeAndMovesTheLastClusterIntoTheFreedPosition)
{
    // One column: A = 0, B = 10, C = 1, D = 30. First C joins A (1), then B joins
    // the pair at (10 + 9) / 2 = 9.5; D last at (30 + 29 + 20) / 3.
    const std::vector<double> data{0, 10, 1, 30};
    for (bool byScan : {false, true}) {
        SCOPED_TRACE(byScan ? "scan" : "nearest-neighbour cache");
        const std::vector<Node> tree = linkage(4, data, std::vector<uint8_t>(4, 1), {1}, 1, byScan);
        ASSERT_EQ(tree.size(), 3u);
        EXPECT_EQ(tree[0].left, 2);
        EXPECT_EQ(tree[0].right, 0);
        EXPECT_DOUBLE_EQ(tree[0].distance, 1.0);
        // D moved into position 2, so B (position 1) pairs with the node at position 0.
        EXPECT_EQ(tree[1].left, 1);
        EXPECT_EQ(tree[1].right, -1);
        EXPECT_DOUBLE_EQ(tree[1].distance, 9.5);
        EXPECT_EQ(tree[2].left, 3);
        EXPECT_EQ(tree[2].right, -2);
        EXPECT_DOUBLE_EQ(tree[2].distance, (30.0 + 29.0 + 20.0) / 3.0);
    }
}

// The nearest-neighbour cache must give exactly the tree of the full scan: same
// joins, same left/right order, bit-identical distances, hence the same clusters.
// Continuous data has no tied distances; small integers have many, which the
// shared tie rule must also settle the same way.
TEST(Linkage, NearestNeighbourCacheMatchesTheFullScanOnRandomTables)
{
    std::mt19937 rng(20240611);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::uniform_int_distribution<int> smallInt(0, 3);
    std::bernoulli_distribution missing(0.05);
    int compared = 0;
    for (int trial = 0; trial < 60; ++trial) {
        const bool ties = trial % 3 == 2;
        const int32_t n = 2 + static_cast<int32_t>(rng() % (trial < 40 ? 60 : 400));
        const int32_t columns = 1 + static_cast<int32_t>(rng() % 12);
        std::vector<double> data(static_cast<size_t>(n * columns));
        std::vector<uint8_t> mask(data.size(), 1);
        for (size_t v = 0; v < data.size(); ++v) {
            data[v] = ties ? smallInt(rng) : uniform(rng);
            if (trial % 4 == 1 && missing(rng))
                mask[v] = 0;
        }
        std::vector<double> weights(static_cast<size_t>(columns));
        for (double& w : weights)
            w = trial % 5 == 0 ? 0.5 + uniform(rng) : 1.0;

        const std::vector<Node> fast = linkage(n, data, mask, weights, columns, false);
        const std::vector<Node> scan = linkage(n, data, mask, weights, columns, true);
        ASSERT_EQ(fast.size(), scan.size());
        for (size_t s = 0; s < fast.size(); ++s) {
            ASSERT_EQ(fast[s].left, scan[s].left) << "trial " << trial << " step " << s;
            ASSERT_EQ(fast[s].right, scan[s].right) << "trial " << trial << " step " << s;
            ASSERT_EQ(std::memcmp(&fast[s].distance, &scan[s].distance, sizeof(double)), 0)
                << "trial " << trial << " step " << s;
        }
        for (int32_t k : {1, 2, 5, n / 2, n}) {
            if (k < 1 || k > n)
                continue;
            EXPECT_EQ(cuttree(n, fast, k), cuttree(n, scan, k)) << "trial " << trial << " k " << k;
            ++compared;
        }
    }
    EXPECT_GT(compared, 200);
}

TEST(CutTree, OneClusterGivesZeroToAllAndNClustersGivesEachRowItsOwn)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    const int32_t n = 25;
    std::vector<double> data(static_cast<size_t>(n) * 3);
    for (double& v : data)
        v = uniform(rng);
    const std::vector<Node> tree = linkage(n, data, std::vector<uint8_t>(data.size(), 1), {1, 1, 1}, 3, false);

    EXPECT_EQ(cuttree(n, tree, 1), std::vector<int32_t>(static_cast<size_t>(n), 0));

    const std::vector<int32_t> each = cuttree(n, tree, n);
    EXPECT_EQ(std::set<int32_t>(each.begin(), each.end()).size(), static_cast<size_t>(n));
    EXPECT_EQ(*std::min_element(each.begin(), each.end()), 0);
    EXPECT_EQ(*std::max_element(each.begin(), each.end()), n - 1);

    for (int32_t k = 2; k < n; ++k) {
        const std::vector<int32_t> ids = cuttree(n, tree, k);
        ASSERT_EQ(ids.size(), static_cast<size_t>(n));
        std::set<int32_t> distinct(ids.begin(), ids.end());
        EXPECT_EQ(distinct.size(), static_cast<size_t>(k));
        EXPECT_EQ(*distinct.rbegin(), k - 1);
    }
}

TEST(CutTree, RefusesClusterCountsOutsideOneToN)
{
    const std::vector<Node> tree{{1, 0, 0.5}, {2, -1, 3.75}};
    EXPECT_TRUE(cuttree(3, tree, 0).empty());
    EXPECT_TRUE(cuttree(3, tree, 4).empty());
    EXPECT_TRUE(cuttree(3, {{1, 0, 0.5}}, 2).empty());
    EXPECT_TRUE(cuttree(3, {{1, 0, 0.5}, {2, -2, 1.0}}, 2).empty());
}

TEST(UpdateProgress, PrintsLabelBarAndPercentOnOneLine)
{
    testing::internal::CaptureStdout();
    updateProgress("Clustering estimated frag distributions", 4, 2);
    updateProgress("> Clustering completed", 4, 4);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string first = std::string("Clustering estimated frag distributions") + std::string(11, ' ') + "["
        + std::string(12, '*') + std::string(13, ' ') + "]   50%\r";
    const std::string second
        = std::string("> Clustering completed") + std::string(28, ' ') + "[" + std::string(25, '*') + "]   100%\r";
    EXPECT_EQ(out, first + second);
}

TEST_F(StoreTest, LoadsIdsValuesMissingValuesAndLineEndings)
{
    // CR, CR LF and LF endings, an empty line, an empty and a non-numeric value.
    auto result = loadText(dir, "NAME\tc1\tc2\r\nA\t1.5\t\rB\tx\t-2e-1\n\nC\t+3\t4\n");
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, "ok");
    EXPECT_EQ(GetRows(), 3);
    EXPECT_EQ(GetColumns(), 2);
    EXPECT_EQ(GetIdColumnName(), "NAME");
    EXPECT_EQ(GetRowIds(), (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(GetMask(), (std::vector<uint8_t>{1, 0, 0, 1, 1, 1}));
    EXPECT_DOUBLE_EQ(GetData()[0], 1.5);
    EXPECT_DOUBLE_EQ(GetData()[3], -0.2);
    EXPECT_DOUBLE_EQ(GetData()[4], 3.0);
    EXPECT_EQ(GetColumnWeights(), (std::vector<double>{1.0, 1.0}));

    Free();
    EXPECT_EQ(GetRows(), 0);
    EXPECT_EQ(GetColumns(), 0);
    EXPECT_TRUE(GetRowIds().empty());
}

TEST_F(StoreTest, WeightLineAndNameColumnsAreNotData)
{
    auto result = loadText(dir, "ID\tNAME\tGWEIGHT\tc1\tc2\nEWEIGHT\t\t\t2\t0.5\nEORDER\t\t\t2\t1\nA\tgene a\t1\t1\t2\n");
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(*result, "ok");
    EXPECT_EQ(GetRows(), 1);
    EXPECT_EQ(GetColumns(), 2);
    EXPECT_EQ(GetColumnWeights(), (std::vector<double>{2.0, 0.5}));
    EXPECT_EQ(GetData(), (std::vector<double>{1.0, 2.0}));
}

TEST_F(StoreTest, ReportsShortLongAndNamelessLinesWithTheirLineNumbers)
{
    auto result = loadText(dir, "NAME\tc1\tc2\nA\t1\t2\nB\t1\n");
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, "Error reading line 3: only 2 columns found (3 expected)");
    EXPECT_EQ(GetRows(), 0) << "a failed load leaves the store empty";

    // The empty line still counts, so the number is the one an editor shows.
    result = loadText(dir, "NAME\tc1\tc2\n\nA\t1\t2\t3\n");
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, "Error reading line 3: 4 columns given (3 expected)");

    result = loadText(dir, "ID\tNAME\tc1\nA\tx\t1\nB\t\t2\n");
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, "Gene name is missing in line 3");

    result = loadText(dir, "NAME\tc1\nEWEIGHT\tabc\nA\t1\n");
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, "Error reading line 2: column weight \"abc\" is not a non-negative number");
}

TEST_F(StoreTest, EmptyFileIsAnError)
{
    auto result = loadText(dir, "");
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, "Attempting to read empty file");
    result = loadText(dir, "\n\r\n");
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, "Attempting to read empty file");
}

TEST_F(StoreTest, ClusterCutTreeWritesOneLinePerRowInRowOrder)
{
    ASSERT_EQ(*loadText(dir, "NAME\tx\ty\nP\t0\t0\nQ\t0\t1\nR\t4\t4\n"), "ok");
    const std::string job = dir.file("job");
    testing::internal::CaptureStdout();
    const int status = HierarchicalClusterCutTree(job, 'b', 'a', 2);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(testutil::readText(job + ".clusters"), "P\t1\nQ\t1\nR\t0\n");
}

TEST_F(StoreTest, MoreClustersThanRowsGivesEachRowItsOwnCluster)
{
    ASSERT_EQ(*loadText(dir, "NAME\tx\ty\nP\t0\t0\nQ\t0\t1\nR\t4\t4\n"), "ok");
    const std::string job = dir.file("job");
    testing::internal::CaptureStdout();
    const int status = HierarchicalClusterCutTree(job, 'b', 'a', 5);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("Only 3 rows to cluster"), std::string::npos) << out;
    EXPECT_EQ(testutil::readText(job + ".clusters"), "P\t2\nQ\t1\nR\t0\n");
}

TEST_F(StoreTest, FailuresWriteNoFile)
{
    const std::string job = dir.file("job");
    ASSERT_EQ(*loadText(dir, "NAME\tx\ty\nP\t0\t0\nQ\t0\t1\n"), "ok");
    for (int nclusters : {0, -3}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(HierarchicalClusterCutTree(job, 'b', 'a', nclusters), 1);
        EXPECT_NE(testing::internal::GetCapturedStdout().find("must be at least 1"), std::string::npos);
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(HierarchicalClusterCutTree(job, 'e', 'a', 2), 1);
    EXPECT_EQ(HierarchicalClusterCutTree(job, 'b', 'm', 2), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(testutil::exists(job + ".clusters"));

    ASSERT_EQ(*loadText(dir, "NAME\tx\ty\nP\t0\t0\n"), "ok");
    testing::internal::CaptureStdout();
    EXPECT_EQ(HierarchicalClusterCutTree(job, 'b', 'a', 1), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(testutil::exists(job + ".clusters"));

    ASSERT_EQ(*loadText(dir, "NAME\tx\ty\nP\t0\t0\nQ\t0\t1\n"), "ok");
    const std::string unwritable = dir.file("no-such-dir/job");
    testing::internal::CaptureStdout();
    EXPECT_EQ(HierarchicalClusterCutTree(unwritable, 'b', 'a', 1), 1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Failed opening output file " + unwritable + ".clusters\n"),
              std::string::npos);
}
