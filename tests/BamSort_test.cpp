#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <htslib/kstring.h>
#include <htslib/sam.h>

#include "BamIO.h"
#include "BamSort.h"
#include "TestUtil.h"

namespace {

using testutil::filesIn;
using testutil::TempDir;

const std::string kHeader = "@HD\tVN:1.6\tSO:unsorted\n@SQ\tSN:chr1\tLN:100000\n@SQ\tSN:chr2\tLN:100000\n"
                            "@PG\tID:aligner\tPN:aligner\n";

struct InputRecord {
    std::string name;
    int tid;  // -1: no reference
    int pos;  // 1-based
    bool reverse;
};

// Few distinct positions, so that many records share a key; unmapped ones are
// spread through the input.
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

std::string samText(const std::vector<InputRecord>& records)
{
    std::string text = kHeader;
    for (const InputRecord& r : records)
        text += r.tid < 0 ? r.name + "\t" + std::to_string(4 | (r.reverse ? 16 : 0)) + "\t*\t0\t0\t*\t*\t0\t0\tACGT\tIIII\n"
                          : r.name + "\t" + std::to_string(r.reverse ? 16 : 0) + "\tchr" + std::to_string(r.tid + 1) + "\t"
                + std::to_string(r.pos) + "\t60\t4M\t*\t0\t0\tACGT\tIIII\n";
    return text;
}

// The order the sort must produce, derived independently of the sort's code:
// reference, position, forward before reverse, input order; unmapped records last.
std::vector<std::string> expectedOrder(std::vector<InputRecord> records)
{
    const auto key = [](const InputRecord& r) {
        return r.tid < 0 ? std::tuple(1, 0, 0, false) : std::tuple(0, r.tid, r.pos, r.reverse);
    };
    std::stable_sort(records.begin(), records.end(),
                     [&](const InputRecord& a, const InputRecord& b) { return key(a) < key(b); });
    std::vector<std::string> names;
    for (const InputRecord& r : records)
        names.push_back(r.name);
    return names;
}

// The header text and the records, as SAM lines, of a BAM file.
std::pair<std::string, std::vector<std::string>> readBack(const std::string& path)
{
    std::unique_ptr<htsFile, HtsFileCloser> in(hts_open(path.c_str(), "r"));
    std::unique_ptr<sam_hdr_t, HtsHeaderFree> header(sam_hdr_read(in.get()));
    std::unique_ptr<bam1_t, BamRecordFree> record(bam_init1());
    std::vector<std::string> records;
    kstring_t line = KS_INITIALIZE;
    while (sam_read1(in.get(), header.get(), record.get()) >= 0 && sam_format1(header.get(), record.get(), &line) >= 0)
        records.emplace_back(line.s, line.l);
    ks_free(&line);
    return {sam_hdr_str(header.get()), records};
}

// Stable coordinate order, unmapped records last, whether the records fit in memory,
// spill into a few runs merged at once, or into more runs than one merge takes.
TEST(CoordinateSort, OrderIsStableWhateverTheMemoryLimit)
{
    struct Row {
        int records;
        unsigned seed;
        std::size_t memory;  // 0: the default
        std::size_t minRuns, maxRuns;
    };
    for (const Row& row : std::vector<Row>{{400, 1, 0, 0, 0}, {1000, 3, 16 << 10, 2, 63}, {3000, 2, 2048, 65, 100000}}) {
        TempDir dir;
        const std::vector<InputRecord> records = randomRecords(row.records, row.seed);
        testutil::samToBam(samText(records), dir.file("in.bam"), false);
        const BamSortResult result = row.memory == 0
            ? sortBamByCoordinate(dir.file("in.bam"), dir.file("out.bam"))
            : sortBamByCoordinate(dir.file("in.bam"), dir.file("out.bam"), row.memory);
        ASSERT_EQ(result.status, BamSortStatus::ok) << result.message;
        EXPECT_GE(result.spilledRuns, row.minRuns) << row.records;
        EXPECT_LE(result.spilledRuns, row.maxRuns) << row.records;
        const auto [header, sorted] = readBack(dir.file("out.bam"));
        std::vector<std::string> names, lines = readBack(dir.file("in.bam")).second, sortedLines = sorted;
        for (const std::string& record : sorted)
            names.push_back(record.substr(0, record.find('\t')));
        EXPECT_EQ(names, expectedOrder(records)) << row.records;
        std::sort(lines.begin(), lines.end());
        std::sort(sortedLines.begin(), sortedLines.end());
        EXPECT_EQ(sortedLines, lines) << row.records;
        EXPECT_EQ(header.rfind("@HD\tVN:1.6\tSO:coordinate\n", 0), 0u) << header;
        EXPECT_TRUE(testutil::contains(header, "@PG\tID:aligner"));
        EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"in.bam", "out.bam"}));
        EXPECT_EQ(sam_index_build(dir.file("out.bam").c_str(), 0), 0);
    }
}

TEST(CoordinateSort, SortCommandReportsUsageAndFailures)
{
    std::string command = "sort", input = "/nonexistent/in.bam", prefix = "out";
    char* argv[] = {command.data(), input.data(), prefix.data()};
    testing::internal::CaptureStderr();
    EXPECT_NE(bam_sort_reads(2, argv), 0);
    EXPECT_NE(bam_sort_reads(3, argv), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(testutil::contains(err, "Usage: sort <input.bam> <output prefix>")) << err;
    EXPECT_TRUE(testutil::contains(err, "Sorting failed: ") && testutil::contains(err, input)) << err;
}

} // namespace
