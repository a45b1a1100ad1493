#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <htslib/kstring.h>
#include <htslib/sam.h>

#include "BamIO.h"
#include "BamSort.h"
#include "TestUtil.h"

namespace {

using testutil::TempDir;
namespace fs = std::filesystem;

const std::string kHeader = "@HD\tVN:1.6\tSO:unsorted\n@SQ\tSN:chr1\tLN:100000\n@SQ\tSN:chr2\tLN:100000\n"
                            "@PG\tID:aligner\tPN:aligner\n";

struct InputRecord {
    std::string name;
    int tid;  // -1: no reference
    int pos;  // 1-based
    bool reverse;
};

std::string samLine(const InputRecord& r)
{
    const char* refs[] = {"chr1", "chr2"};
    if (r.tid < 0)
        return r.name + "\t" + std::to_string(4 | (r.reverse ? 16 : 0)) + "\t*\t0\t0\t*\t*\t0\t0\tACGT\tIIII\n";
    return r.name + "\t" + std::to_string(r.reverse ? 16 : 0) + "\t" + refs[r.tid] + "\t" + std::to_string(r.pos)
        + "\t60\t4M\t*\t0\t0\tACGT\tIIII\n";
}

// Few distinct positions, so that many records share a key; unmapped ones are
// spread through the input, mapped ones follow them.
std::vector<InputRecord> randomRecords(int count, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<InputRecord> records;
    for (int i = 0; i < count; ++i) {
        int tid = static_cast<int>(rng() % 5 == 0 ? -1 : rng() % 2);
        records.push_back({"r" + std::to_string(i), tid, 1 + static_cast<int>(rng() % 12), rng() % 2 == 0});
    }
    return records;
}

std::string samText(const std::vector<InputRecord>& records, const std::string& header = kHeader)
{
    std::string text = header;
    for (const InputRecord& r : records)
        text += samLine(r);
    return text;
}

// The order the sort must produce, derived independently of the sort's code.
std::vector<std::string> expectedOrder(std::vector<InputRecord> records)
{
    std::stable_sort(records.begin(), records.end(), [](const InputRecord& a, const InputRecord& b) {
        if ((a.tid < 0) != (b.tid < 0))
            return b.tid < 0;
        if (a.tid < 0)
            return false;
        if (a.tid != b.tid)
            return a.tid < b.tid;
        if (a.pos != b.pos)
            return a.pos < b.pos;
        return !a.reverse && b.reverse;
    });
    std::vector<std::string> names;
    for (const InputRecord& r : records)
        names.push_back(r.name);
    return names;
}

struct BamContents {
    std::string headerText;
    std::vector<std::string> names;
    std::multiset<std::string> lines;
};

BamContents readBack(const std::string& path)
{
    BamContents contents;
    std::unique_ptr<htsFile, HtsFileCloser> in(hts_open(path.c_str(), "r"));
    if (!in)
        return contents;
    std::unique_ptr<sam_hdr_t, HtsHeaderFree> header(sam_hdr_read(in.get()));
    contents.headerText = sam_hdr_str(header.get());
    std::unique_ptr<bam1_t, BamRecordFree> record(bam_init1());
    kstring_t line = KS_INITIALIZE;
    while (sam_read1(in.get(), header.get(), record.get()) >= 0) {
        contents.names.emplace_back(bam_get_qname(record.get()));
        if (sam_format1(header.get(), record.get(), &line) >= 0)
            contents.lines.insert(std::string(line.s, line.l));
    }
    ks_free(&line);
    return contents;
}

std::set<std::string> filesIn(const std::string& dir)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

TEST(CoordinateSort, InMemorySortIsStableAndPutsUnmappedLast)
{
    TempDir dir;
    std::vector<InputRecord> records = randomRecords(400, 1);
    testutil::samToBam(samText(records), dir.file("in.bam"), false);

    BamSortResult result = sortBamByCoordinate(dir.file("in.bam"), dir.file("out.bam"));
    ASSERT_EQ(result.status, BamSortStatus::ok) << result.message;
    EXPECT_EQ(result.spilledRuns, 0u);
    EXPECT_EQ(readBack(dir.file("out.bam")).names, expectedOrder(records));
    EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"in.bam", "out.bam"}));
}

TEST(CoordinateSort, ReverseStrandFollowsForwardAtSamePosition)
{
    TempDir dir;
    std::vector<InputRecord> records{{"rev1", 0, 100, true},  {"fwd1", 0, 100, false}, {"rev2", 0, 100, true},
                                     {"fwd2", 0, 100, false}, {"early", 0, 99, true},  {"other", 1, 1, false}};
    testutil::samToBam(samText(records), dir.file("in.bam"), false);
    ASSERT_EQ(sortBamByCoordinate(dir.file("in.bam"), dir.file("out.bam")).status, BamSortStatus::ok);
    EXPECT_EQ(readBack(dir.file("out.bam")).names,
              (std::vector<std::string>{"early", "fwd1", "fwd2", "rev1", "rev2", "other"}));
}

TEST(CoordinateSort, TinyMemoryLimitSpillsRunsWithSameResult)
{
    TempDir dir;
    std::vector<InputRecord> records = randomRecords(3000, 2);
    testutil::samToBam(samText(records), dir.file("in.bam"), false);
    const BamContents input = readBack(dir.file("in.bam"));

    // Around twenty records per run: more runs than one merge takes at once.
    BamSortResult result = sortBamByCoordinate(dir.file("in.bam"), dir.file("out.bam"), 2048);
    ASSERT_EQ(result.status, BamSortStatus::ok) << result.message;
    EXPECT_GT(result.spilledRuns, 64u);

    BamContents sorted = readBack(dir.file("out.bam"));
    EXPECT_EQ(sorted.names, expectedOrder(records));
    EXPECT_EQ(sorted.lines, input.lines);
    EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"in.bam", "out.bam"}));
}

TEST(CoordinateSort, FewRunsMergeInOnePass)
{
    TempDir dir;
    std::vector<InputRecord> records = randomRecords(1000, 3);
    testutil::samToBam(samText(records), dir.file("in.bam"), false);
    BamSortResult result = sortBamByCoordinate(dir.file("in.bam"), dir.file("out.bam"), 16 << 10);
    ASSERT_EQ(result.status, BamSortStatus::ok) << result.message;
    EXPECT_GT(result.spilledRuns, 1u);
    EXPECT_LT(result.spilledRuns, 64u);
    EXPECT_EQ(readBack(dir.file("out.bam")).names, expectedOrder(records));
}

TEST(CoordinateSort, HeaderIsKeptAndMarkedCoordinateSorted)
{
    TempDir dir;
    testutil::samToBam(samText({{"a", 1, 5, false}, {"b", 0, 5, false}}), dir.file("in.bam"), false);
    ASSERT_EQ(sortBamByCoordinate(dir.file("in.bam"), dir.file("out.bam")).status, BamSortStatus::ok);
    std::string header = readBack(dir.file("out.bam")).headerText;
    EXPECT_EQ(header.rfind("@HD\tVN:1.6\tSO:coordinate\n", 0), 0u) << header;
    EXPECT_NE(header.find("@SQ\tSN:chr2\tLN:100000\n"), std::string::npos);
    EXPECT_NE(header.find("@PG\tID:aligner"), std::string::npos);
    EXPECT_EQ(header.find("unsorted"), std::string::npos);

    testutil::samToBam(samText({{"a", 0, 5, false}}, "@SQ\tSN:chr1\tLN:100000\n@SQ\tSN:chr2\tLN:100000\n"),
                       dir.file("nohd.bam"), false);
    ASSERT_EQ(sortBamByCoordinate(dir.file("nohd.bam"), dir.file("nohd.sorted.bam")).status, BamSortStatus::ok);
    std::string added = readBack(dir.file("nohd.sorted.bam")).headerText;
    EXPECT_EQ(added.rfind("@HD\t", 0), 0u) << added;
    EXPECT_NE(added.find("SO:coordinate"), std::string::npos);
}

TEST(CoordinateSort, SortedOutputCanBeIndexed)
{
    TempDir dir;
    testutil::samToBam(samText(randomRecords(500, 4)), dir.file("in.bam"), false);
    ASSERT_EQ(sortBamByCoordinate(dir.file("in.bam"), dir.file("out.bam"), 4096).status, BamSortStatus::ok);
    EXPECT_EQ(sam_index_build(dir.file("out.bam").c_str(), 0), 0);
}

TEST(CoordinateSort, TruncatedInputFailsAndKeepsPreviousOutput)
{
    TempDir dir;
    std::vector<InputRecord> records;
    for (int i = 0; i < 20000; ++i)
        records.push_back({"read" + std::to_string(i * 7919 % 20000), 0, 1 + (i * 7919) % 90000, false});
    testutil::samToBam(samText(records), dir.file("in.bam"), false);
    fs::resize_file(dir.file("in.bam"), fs::file_size(dir.file("in.bam")) / 2);
    testutil::writeText(dir.file("out.bam"), "previous result");

    BamSortResult result = sortBamByCoordinate(dir.file("in.bam"), dir.file("out.bam"), 8192);
    EXPECT_EQ(result.status, BamSortStatus::readError);
    EXPECT_NE(result.message.find(dir.file("in.bam")), std::string::npos) << result.message;
    EXPECT_EQ(testutil::readText(dir.file("out.bam")), "previous result");
    EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"in.bam", "out.bam"}));
}

TEST(CoordinateSort, UnwritableOutputIsReportedWithItsPath)
{
    TempDir dir;
    testutil::samToBam(samText(randomRecords(10, 5)), dir.file("in.bam"), false);
    BamSortResult result = sortBamByCoordinate(dir.file("in.bam"), dir.file("missing/out.bam"));
    EXPECT_EQ(result.status, BamSortStatus::writeError);
    EXPECT_NE(result.message.find(dir.file("missing/out.bam")), std::string::npos) << result.message;
    EXPECT_EQ(filesIn(dir.path()), std::set<std::string>{"in.bam"});
}

TEST(SortCommand, WritesPrefixDotBam)
{
    TempDir dir;
    std::vector<InputRecord> records = randomRecords(50, 6);
    testutil::samToBam(samText(records), dir.file("in.bam"), false);
    std::string command = "sort";
    std::string input = dir.file("in.bam");
    std::string prefix = dir.file("in.sorted");
    char* argv[] = {command.data(), input.data(), prefix.data()};
    EXPECT_EQ(bam_sort_reads(3, argv), 0);
    EXPECT_EQ(readBack(dir.file("in.sorted.bam")).names, expectedOrder(records));
}

TEST(SortCommand, RejectsWrongArguments)
{
    std::string command = "sort";
    std::string input = "in.bam";
    char* argv[] = {command.data(), input.data()};
    testing::internal::CaptureStderr();
    EXPECT_NE(bam_sort_reads(2, argv), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Usage"), std::string::npos);
}

} // namespace
