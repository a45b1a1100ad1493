#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BamIO.h"
#include "KestroveException.h"
#include "TestUtil.h"

namespace {

using testutil::TempDir;
namespace fs = std::filesystem;

const std::string kSortedHeader = "@HD\tVN:1.6\tSO:coordinate\n"
                                  "@SQ\tSN:chr1\tLN:100000\n"
                                  "@SQ\tSN:chr2\tLN:50000\n";

std::string record(const std::string& name, int flag, const std::string& ref, int pos, const std::string& cigar,
                   const std::string& mateRef = "*", int matePos = 0)
{
    return name + "\t" + std::to_string(flag) + "\t" + ref + "\t" + std::to_string(pos) + "\t60\t" + cigar + "\t"
        + mateRef + "\t" + std::to_string(matePos) + "\t0\t*\t*\n";
}

// Records with real sequence, enough to span many BGZF blocks.
std::string manyRecords(int count, unsigned seed)
{
    std::mt19937 rng(seed);
    const char* bases = "ACGT";
    std::string text;
    for (int i = 0; i < count; ++i) {
        std::string seq(100, 'A');
        std::string qual(100, 'I');
        for (int j = 0; j < 100; ++j) {
            seq[j] = bases[rng() % 4];
            qual[j] = static_cast<char>('#' + rng() % 40);
        }
        text += "m" + std::to_string(i) + "\t0\tchr1\t" + std::to_string(1 + i * 20) + "\t60\t100M\t*\t0\t0\t" + seq
            + "\t" + qual + "\n";
    }
    return text;
}

void truncateToFraction(const std::string& path, double fraction)
{
    auto size = fs::file_size(path);
    fs::resize_file(path, static_cast<std::uintmax_t>(static_cast<double>(size) * fraction));
}

std::set<std::string> filesIn(const std::string& dir)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

struct OpenOutcome {
    int result = -1;
    bool threw = false;
    int code = 0;
    std::string out;
    std::string err;
};

OpenOutcome openCapturing(BamIO& bam)
{
    OpenOutcome outcome;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    try {
        outcome.result = bam.openBam();
    } catch (const KestroveException& e) {
        outcome.threw = true;
        outcome.code = e.code;
    }
    outcome.err = testing::internal::GetCapturedStderr();
    outcome.out = testing::internal::GetCapturedStdout();
    return outcome;
}

template <typename Action>
std::pair<int, std::string> failureOf(Action action)
{
    testing::internal::CaptureStderr();
    int code = 0;
    try {
        action();
    } catch (const KestroveException& e) {
        code = e.code;
    }
    return {code, testing::internal::GetCapturedStderr()};
}

TEST(BamOpen, IndexedFileOpensSilentlyAndReturnsZero)
{
    TempDir dir;
    std::string bam = dir.file("reads.bam");
    testutil::samToBam(kSortedHeader + record("a", 0, "chr1", 100, "50M"), bam, true);
    BamIO reader(bam.c_str());
    OpenOutcome outcome = openCapturing(reader);
    EXPECT_FALSE(outcome.threw);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "");
}

TEST(BamOpen, SortedFileWithoutIndexGetsIndexBesideIt)
{
    TempDir dir;
    std::string bam = dir.file("reads.bam");
    testutil::samToBam(kSortedHeader + record("a", 0, "chr1", 100, "50M") + record("b", 0, "chr2", 5, "50M"), bam,
                       false);
    BamIO reader(bam.c_str());
    OpenOutcome outcome = openCapturing(reader);
    ASSERT_FALSE(outcome.threw) << outcome.err;
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.out, "Creating the index file.\nThe index file is created.\n");
    EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"reads.bam", "reads.bam.bai"}));
    EXPECT_EQ(reader.nrProperlyPairedFrags("chr2:0-999999999").total, 1u);
}

TEST(BamOpen, UnsortedFileIsSortedIntoCopyAndInputLeftUntouched)
{
    TempDir dir;
    std::string bam = dir.file("run1.bam");
    testutil::samToBam("@HD\tVN:1.6\tSO:unsorted\n@SQ\tSN:chr1\tLN:100000\n" + record("late", 0, "chr1", 5000, "50M")
                           + record("early", 0, "chr1", 100, "50M") + record("middle", 0, "chr1", 2000, "50M"),
                       bam, false);
    const std::string before = testutil::readText(bam);

    BamIO reader(bam.c_str());
    OpenOutcome outcome = openCapturing(reader);
    ASSERT_FALSE(outcome.threw) << outcome.err;
    EXPECT_NE(outcome.result, 0);
    EXPECT_EQ(outcome.out, "Creating the index file.\nSorting the alignments.\nThe aligments are sorted.\n"
                           "The index file is created.\n");
    EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"run1.bam", "run1.sorted.bam", "run1.sorted.bam.bai"}));
    EXPECT_EQ(testutil::readText(bam), before);

    // The reader now serves the sorted copy, in coordinate order.
    FragmentMap fragments;
    ASSERT_TRUE(reader.readBam("chr1:1-999999999", fragments));
    EXPECT_EQ(fragments.size(), 3u);
    EXPECT_EQ(reader.nrProperlyPairedFrags("chr1:1000-2100").total, 1u);

    // Later readers open the copy directly.
    std::string sorted = dir.file("run1.sorted.bam");
    BamIO again(sorted.c_str());
    OpenOutcome second = openCapturing(again);
    EXPECT_EQ(second.result, 0);
    EXPECT_EQ(second.out, "");
}

TEST(BamOpen, SortedCopyNameCutsAtLastDotOfWholePath)
{
    TempDir dir;
    fs::create_directory(dir.file("data.v2"));
    std::string bam = dir.file("data.v2/reads");
    testutil::samToBam("@SQ\tSN:chr1\tLN:100000\n" + record("b", 0, "chr1", 900, "50M")
                           + record("a", 0, "chr1", 100, "50M"),
                       bam, false);
    BamIO reader(bam.c_str());
    OpenOutcome outcome = openCapturing(reader);
    ASSERT_FALSE(outcome.threw) << outcome.err;
    EXPECT_NE(outcome.result, 0);
    EXPECT_TRUE(testutil::exists(dir.file("data.sorted.bam")));
    EXPECT_TRUE(testutil::exists(dir.file("data.sorted.bam.bai")));
}

TEST(BamOpen, HeaderAndReferenceNamesComeFromFile)
{
    TempDir dir;
    std::string bam = dir.file("reads.bam");
    testutil::samToBam(kSortedHeader + record("a", 0, "chr1", 100, "50M"), bam, true);
    BamIO reader(bam.c_str());
    ASSERT_EQ(openCapturing(reader).result, 0);
    reader.createChromosomeList();
    EXPECT_EQ(reader.getChromosomeList(), (std::vector<std::string>{"chr1", "chr2"}));
    EXPECT_NE(reader.getBamHeader().find("@SQ\tSN:chr2\tLN:50000"), std::string::npos);
}

TEST(BamOpen, MissingFileIsReportedWithItsPath)
{
    TempDir dir;
    std::string bam = dir.file("absent.bam");
    BamIO reader(bam.c_str());
    OpenOutcome outcome = openCapturing(reader);
    EXPECT_TRUE(outcome.threw);
    EXPECT_EQ(outcome.code, ERR_BAM_OPEN);
    EXPECT_NE(outcome.err.find(bam), std::string::npos);
}

TEST(BamOpen, TextFileIsRejectedAsNotBam)
{
    TempDir dir;
    std::string path = dir.file("notes.bam");
    testutil::writeText(path, "this is not an alignment file\n");
    BamIO reader(path.c_str());
    OpenOutcome outcome = openCapturing(reader);
    EXPECT_TRUE(outcome.threw);
    EXPECT_EQ(outcome.code, ERR_BAM_OPEN);
    EXPECT_NE(outcome.err.find(path + " is not a BAM file"), std::string::npos) << outcome.err;
}

TEST(BamOpen, SamFileIsRejectedNamingItsFormat)
{
    TempDir dir;
    std::string path = dir.file("reads.sam");
    testutil::writeText(path, kSortedHeader + record("a", 0, "chr1", 100, "50M"));
    BamIO reader(path.c_str());
    OpenOutcome outcome = openCapturing(reader);
    EXPECT_TRUE(outcome.threw);
    EXPECT_EQ(outcome.code, ERR_BAM_OPEN);
    EXPECT_NE(outcome.err.find(path + " is a SAM file; kestrove needs BAM"), std::string::npos) << outcome.err;
    EXPECT_FALSE(testutil::exists(path + ".bai"));
}

TEST(BamOpen, TruncatedUnindexedFileFailsWithoutLeavingFiles)
{
    TempDir dir;
    std::string bam = dir.file("cut.bam");
    testutil::samToBam(kSortedHeader + manyRecords(4000, 7), bam, false);
    truncateToFraction(bam, 0.5);
    BamIO reader(bam.c_str());
    OpenOutcome outcome = openCapturing(reader);
    EXPECT_TRUE(outcome.threw);
    EXPECT_EQ(outcome.code, ERR_BAM_OPEN);
    EXPECT_NE(outcome.err.find(bam), std::string::npos) << outcome.err;
    EXPECT_EQ(filesIn(dir.path()), std::set<std::string>{"cut.bam"});
}

TEST(BamOpen, UnwritableIndexLocationIsNotMistakenForUnsortedInput)
{
    TempDir dir;
    std::string bam = dir.file("reads.bam");
    testutil::samToBam(kSortedHeader + record("a", 0, "chr1", 100, "50M"), bam, false);
    // A directory in the index's place cannot be written over, not even by root.
    fs::create_directory(bam + ".bai");
    BamIO reader(bam.c_str());
    OpenOutcome outcome = openCapturing(reader);
    EXPECT_TRUE(outcome.threw);
    EXPECT_EQ(outcome.code, ERR_BAM_INDEX);
    EXPECT_NE(outcome.err.find("Cannot write the index file " + bam + ".bai"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.out.find("Sorting"), std::string::npos);
    EXPECT_FALSE(testutil::exists(dir.file("reads.sorted.bam")));
}

TEST(BamOpen, ReadOnlyDirectoryGivesIndexError)
{
    TempDir dir;
    fs::create_directory(dir.file("ro"));
    std::string bam = dir.file("ro/reads.bam");
    testutil::samToBam(kSortedHeader + record("a", 0, "chr1", 100, "50M"), bam, false);
    fs::permissions(dir.file("ro"), fs::perms::owner_read | fs::perms::owner_exec);
    if (::access(dir.file("ro").c_str(), W_OK) == 0)
        GTEST_SKIP() << "permissions are not enforced for this user";
    BamIO reader(bam.c_str());
    OpenOutcome outcome = openCapturing(reader);
    EXPECT_TRUE(outcome.threw);
    EXPECT_EQ(outcome.code, ERR_BAM_INDEX);
    EXPECT_NE(outcome.err.find("Cannot write the index file " + bam + ".bai"), std::string::npos) << outcome.err;

    fs::permissions(dir.file("ro"), fs::perms::owner_all);
    std::string unsorted = dir.file("ro/run1.bam");
    testutil::samToBam("@SQ\tSN:chr1\tLN:100000\n" + record("b", 0, "chr1", 900, "50M")
                           + record("a", 0, "chr1", 100, "50M"),
                       unsorted, false);
    fs::permissions(dir.file("ro"), fs::perms::owner_read | fs::perms::owner_exec);
    BamIO unsortedReader(unsorted.c_str());
    OpenOutcome sortOutcome = openCapturing(unsortedReader);
    EXPECT_TRUE(sortOutcome.threw);
    EXPECT_EQ(sortOutcome.code, ERR_BAM_INDEX);
    EXPECT_NE(sortOutcome.err.find("cannot write " + dir.file("ro/run1.sorted.bam")), std::string::npos)
        << sortOutcome.err;
}

TEST(BamOpen, UnwritableSortedCopyGivesIndexErrorAndLeavesNoTemporaries)
{
    TempDir dir;
    std::string bam = dir.file("run1.bam");
    testutil::samToBam("@SQ\tSN:chr1\tLN:100000\n" + record("b", 0, "chr1", 900, "50M")
                           + record("a", 0, "chr1", 100, "50M"),
                       bam, false);
    fs::create_directory(dir.file("run1.sorted.bam"));
    BamIO reader(bam.c_str());
    OpenOutcome outcome = openCapturing(reader);
    EXPECT_TRUE(outcome.threw);
    EXPECT_EQ(outcome.code, ERR_BAM_INDEX);
    EXPECT_NE(outcome.err.find(dir.file("run1.sorted.bam")), std::string::npos) << outcome.err;
    EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"run1.bam", "run1.sorted.bam"}));
}

class BamRegions : public ::testing::Test {
protected:
    void SetUp() override
    {
        bam = dir.file("regions.bam");
        testutil::samToBam("@SQ\tSN:chr1\tLN:100000\n@SQ\tSN:HLA-A*01:01\tLN:3000\n"
                               + record("first", 0, "chr1", 1, "50M")             // 1..50
                               + record("spliced", 0, "chr1", 20, "10M2000N10M")  // 20..2039
                               + record("ends99", 0, "chr1", 50, "50M")           // 50..99
                               + record("ends100", 0, "chr1", 51, "50M")          // 51..100
                               + record("at900", 0, "chr1", 900, "50M")           // 900..949
                               + record("at901", 0, "chr1", 901, "50M")           // 901..950
                               + record("hla", 0, "HLA-A*01:01", 150, "20M"),
                           bam, true);
        reader = std::make_unique<BamIO>(bam.c_str());
        ASSERT_EQ(openCapturing(*reader).result, 0);
    }

    std::set<std::string> namesIn(const std::string& region)
    {
        FragmentMap fragments;
        EXPECT_TRUE(reader->readBam(region, fragments)) << region;
        std::set<std::string> names;
        for (const auto& [key, reads] : fragments)
            names.insert(key);
        return names;
    }

    TempDir dir;
    std::string bam;
    std::unique_ptr<BamIO> reader;
};

TEST_F(BamRegions, OneBasedInclusiveTextCoversOverlappingRecords)
{
    EXPECT_EQ(namesIn("chr1:100-900"), (std::set<std::string>{"ends100", "at900", "spliced"}));
}

TEST_F(BamRegions, BeginZeroMeansFromTheFirstBase)
{
    EXPECT_EQ(namesIn("chr1:0-1"), (std::set<std::string>{"first"}));
    EXPECT_EQ(reader->nrProperlyPairedFrags("chr1:0-999999999").total, 6u);
}

TEST_F(BamRegions, ReferenceNamesMayContainColons)
{
    EXPECT_EQ(namesIn("HLA-A*01:01:100-200"), (std::set<std::string>{"hla"}));
    EXPECT_EQ(reader->nrProperlyPairedFrags("HLA-A*01:01:0-999999999").total, 1u);
}

TEST_F(BamRegions, UnknownReferenceIsNotAnError)
{
    t_flagStats stats = reader->nrProperlyPairedFrags("chrX:0-999999999");
    EXPECT_EQ(stats.total + stats.mapped + stats.properlyPaired + stats.singletons + stats.read1 + stats.read2, 0u);
    FragmentMap fragments;
    EXPECT_FALSE(reader->readBam("chrX:1-100", fragments));
    EXPECT_TRUE(fragments.empty());
}

TEST(BamFlagStats, EachRecordCountsInEveryMatchingCounter)
{
    TempDir dir;
    std::string bam = dir.file("flags.bam");
    testutil::samToBam(kSortedHeader
                           // paired, mate unmapped, first segment
                           + record("lone", 0x49, "chr1", 100, "50M", "=", 100)
                           // the unmapped mate, placed beside its partner
                           + record("lone", 0x85, "chr1", 100, "*", "=", 100)
                           + record("pair", 99, "chr2", 100, "50M", "=", 300)
                           + record("pair", 147, "chr2", 300, "50M", "=", 100),
                       bam, true);
    BamIO reader(bam.c_str());
    ASSERT_EQ(openCapturing(reader).result, 0);

    t_flagStats lone = reader.nrProperlyPairedFrags("chr1:0-999999999");
    EXPECT_EQ(lone.total, 2u);
    EXPECT_EQ(lone.mapped, 1u);
    EXPECT_EQ(lone.singletons, 1u);
    EXPECT_EQ(lone.read1, 1u);
    EXPECT_EQ(lone.read2, 1u);
    EXPECT_EQ(lone.properlyPaired, 0u);

    t_flagStats pair = reader.nrProperlyPairedFrags("chr2:0-999999999");
    EXPECT_EQ(pair.total, 2u);
    EXPECT_EQ(pair.mapped, 2u);
    EXPECT_EQ(pair.properlyPaired, 2u);
    EXPECT_EQ(pair.singletons, 0u);
    EXPECT_EQ(pair.read1, 1u);
    EXPECT_EQ(pair.read2, 1u);
}

TEST(BamLongReference, WholeReferenceCountReachesPastNineHundredMillion)
{
    TempDir dir;
    std::string bam = dir.file("long.bam");
    testutil::samToBam("@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chrL\tLN:1500000000\n"
                           + record("near", 0, "chrL", 1000, "50M") + record("far", 0, "chrL", 1200000001, "50M"),
                       bam, false);
    BamIO reader(bam.c_str());
    OpenOutcome outcome = openCapturing(reader);
    ASSERT_FALSE(outcome.threw) << outcome.err;
    EXPECT_EQ(outcome.result, 0);
    EXPECT_TRUE(testutil::exists(bam + ".csi"));
    EXPECT_EQ(reader.nrProperlyPairedFrags("chrL:0-999999999").total, 2u);
    // Only the sentinel end is widened; other ends stay exact.
    EXPECT_EQ(reader.nrProperlyPairedFrags("chrL:1-999999998").total, 1u);
    EXPECT_EQ(reader.nrProperlyPairedFrags("chrL:1199999990-1200000010").total, 1u);
}

TEST(BamCorruption, TruncatedIndexedFileFailsTheRegionQuery)
{
    TempDir dir;
    std::string bam = dir.file("cut.bam");
    testutil::samToBam(kSortedHeader + manyRecords(4000, 11), bam, true);
    truncateToFraction(bam, 0.5);
    BamIO reader(bam.c_str());
    testing::internal::CaptureStderr();
    ASSERT_EQ(reader.openBam(), 0);
    testing::internal::GetCapturedStderr();

    auto [countCode, countErr] = failureOf([&] { reader.nrProperlyPairedFrags("chr1:0-999999999"); });
    EXPECT_EQ(countCode, ERR_REGION_FETCH);
    EXPECT_NE(countErr.find("Cannot read region chr1:0-999999999 of " + bam), std::string::npos) << countErr;

    FragmentMap fragments;
    auto [readCode, readErr] = failureOf([&] { reader.readBam("chr1:1-80000", fragments); });
    EXPECT_EQ(readCode, ERR_REGION_FETCH);
    EXPECT_NE(readErr.find(bam), std::string::npos);

    // The intact part of the file is still served.
    EXPECT_EQ(reader.nrProperlyPairedFrags("chr1:1-100").total, 5u);
}

} // namespace
