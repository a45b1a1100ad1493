#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BamIO.h"
#include "TestUtil.h"

namespace {

using testutil::TempDir;

std::string record(const std::string& name, int flag, const std::string& ref, int pos, const std::string& cigar,
                   const std::string& mateRef = "*", int matePos = 0)
{
    return name + "\t" + std::to_string(flag) + "\t" + ref + "\t" + std::to_string(pos) + "\t60\t" + cigar + "\t"
        + mateRef + "\t" + std::to_string(matePos) + "\t0\t*\t*\n";
}

// Reads the whole of the given region from an indexed BAM built from the records.
FragmentMap extract(const std::string& records, const std::string& region = "chr1:1-100000",
                    const std::string& header = "@SQ\tSN:chr1\tLN:100000\n")
{
    TempDir dir;
    std::string bam = dir.file("reads.bam");
    testutil::samToBam(header + records, bam, true);
    BamIO reader(bam.c_str());
    EXPECT_EQ(reader.openBam(), 0);
    FragmentMap fragments;
    EXPECT_TRUE(reader.readBam(region, fragments));
    return fragments;
}

std::vector<std::pair<int32_t, int32_t>> blocksOf(const t_read& read)
{
    std::vector<std::pair<int32_t, int32_t>> blocks;
    for (const t_exon& block : read.blocks)
        blocks.emplace_back(block.start, block.end);
    return blocks;
}

using Blocks = std::vector<std::pair<int32_t, int32_t>>;

TEST(CigarWalk, SingleEndMatchGivesOneBlock)
{
    FragmentMap fragments = extract(record("q1", 0, "chr1", 100, "50M"));
    ASSERT_EQ(fragments.size(), 1u);
    ASSERT_EQ(fragments["q1"].size(), 1u);
    const t_read& read = fragments["q1"][0];
    EXPECT_EQ(read.name, "q1");
    EXPECT_EQ(read.start, 100);
    EXPECT_EQ(read.end, 0);
    EXPECT_EQ(read.length, 50);
    EXPECT_EQ(read.mateStart, 0);
    EXPECT_FALSE(read.paired);
    EXPECT_TRUE(read.forward);
    EXPECT_FALSE(read.firstMate);
    EXPECT_EQ(blocksOf(read), (Blocks{{100, 149}}));
    EXPECT_TRUE(read.transStarts.empty() && read.transEnds.empty() && read.fragLengths.empty());
}

TEST(CigarWalk, ClipsInsertionsAndDeletionsShapeBlockAndLength)
{
    FragmentMap fragments = extract(record("soft", 0, "chr1", 200, "10S40M") + record("del", 0, "chr1", 300, "20M2D30M")
                                    + record("ins", 0, "chr1", 400, "20M3I30M")
                                    + record("hard", 0, "chr1", 500, "5H10=2X10=5S"));
    EXPECT_EQ(blocksOf(fragments["soft"][0]), (Blocks{{200, 239}}));
    EXPECT_EQ(fragments["soft"][0].length, 40);
    EXPECT_EQ(blocksOf(fragments["del"][0]), (Blocks{{300, 351}}));
    EXPECT_EQ(fragments["del"][0].length, 50);
    EXPECT_EQ(blocksOf(fragments["ins"][0]), (Blocks{{400, 449}}));
    EXPECT_EQ(fragments["ins"][0].length, 53);
    EXPECT_EQ(blocksOf(fragments["hard"][0]), (Blocks{{500, 521}}));
    EXPECT_EQ(fragments["hard"][0].length, 22);
}

TEST(CigarWalk, SkippedRegionsSplitBlocks)
{
    FragmentMap fragments = extract(record("s", 16, "chr1", 1000, "30M200N70M") + record("t", 0, "chr1", 2000, "10M5N10M1D5M10N5M"));
    const t_read& s = fragments["s"][0];
    EXPECT_EQ(blocksOf(s), (Blocks{{1000, 1029}, {1230, 1299}}));
    EXPECT_EQ(s.length, 100);
    EXPECT_FALSE(s.forward);
    EXPECT_EQ(blocksOf(fragments["t"][0]), (Blocks{{2000, 2009}, {2015, 2030}, {2041, 2045}}));
}

TEST(MateJoining, ProperPairBecomesOneFragmentFirstSeenMateFirst)
{
    FragmentMap fragments = extract(record("p", 99, "chr1", 1001, "50M", "=", 1301)
                                    + record("p", 147, "chr1", 1301, "50M", "=", 1001));
    ASSERT_EQ(fragments.size(), 1u);
    const std::vector<t_read>& reads = fragments["p"];
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].start, 1001);
    EXPECT_EQ(reads[0].mateStart, 1301);
    EXPECT_TRUE(reads[0].paired && reads[0].firstMate && reads[0].forward);
    EXPECT_EQ(reads[1].start, 1301);
    EXPECT_TRUE(reads[1].paired);
    EXPECT_FALSE(reads[1].firstMate);
    EXPECT_FALSE(reads[1].forward);
}

TEST(MateJoining, PairWithMismatchedMateIsRenamed)
{
    FragmentMap fragments = extract(record("a", 0, "chr1", 500, "50M") + record("p", 99, "chr1", 1001, "50M", "=", 1301)
                                    + record("p", 147, "chr1", 1301, "50M", "=", 1101));
    ASSERT_EQ(fragments.size(), 3u);
    EXPECT_EQ(fragments["p"].size(), 1u);
    ASSERT_EQ(fragments.count("p-2-2"), 1u);
    const std::vector<t_read>& renamed = fragments["p-2-2"];
    ASSERT_EQ(renamed.size(), 1u);
    EXPECT_EQ(renamed[0].name, "p-2");
    EXPECT_EQ(renamed[0].start, 1301);
}

TEST(MateJoining, ThirdRecordOfCompletePairGetsItsOwnEntry)
{
    FragmentMap fragments = extract(record("p", 99, "chr1", 1001, "50M", "=", 1301)
                                    + record("p", 147, "chr1", 1301, "50M", "=", 1001)
                                    + record("p", 355, "chr1", 1500, "50M", "=", 1001));
    ASSERT_EQ(fragments.size(), 2u);
    EXPECT_EQ(fragments["p"].size(), 2u);
    ASSERT_EQ(fragments.count("p-1-1"), 1u);
    EXPECT_EQ(fragments["p-1-1"][0].name, "p-1");
    EXPECT_EQ(fragments["p-1-1"][0].start, 1500);
}

TEST(MateJoining, LaterPlainNameStillFindsOriginalEntry)
{
    // The fourth record's mate position points back at the first one, whose entry is still under "p".
    FragmentMap fragments = extract(record("p", 65, "chr1", 1001, "50M", "=", 1401)
                                    + record("p", 129, "chr1", 1201, "50M", "=", 1801)
                                    + record("p", 129, "chr1", 1401, "50M", "=", 1001));
    EXPECT_EQ(fragments["p"].size(), 2u);
    EXPECT_EQ(fragments["p"][1].start, 1401);
    EXPECT_EQ(fragments.count("p-1-1"), 1u);
}

TEST(MateJoining, DerivedKeyNeverMergesIntoExistingEntry)
{
    // A read literally named "p-2-2" holds the key the duplicate of p would get.
    FragmentMap fragments = extract(record("p-2-2", 0, "chr1", 900, "50M") + record("p", 0, "chr1", 1001, "50M")
                                    + record("p", 0, "chr1", 1101, "50M"));
    ASSERT_EQ(fragments.size(), 3u);
    ASSERT_EQ(fragments["p-2-2"].size(), 1u);
    EXPECT_EQ(fragments["p-2-2"][0].start, 900);
    ASSERT_EQ(fragments.count("p-2-2-2"), 1u);
    EXPECT_EQ(fragments["p-2-2-2"][0].name, "p-2");
    EXPECT_EQ(fragments["p-2-2-2"][0].start, 1101);
}

TEST(RecordFilter, OnlyUnmappedRecordsAreLeftOutOfARegion)
{
    FragmentMap fragments = extract(record("kept", 0, "chr1", 100, "50M")
                                    + record("unmapped", 4, "chr1", 120, "*")
                                    + record("secondary", 256, "chr1", 140, "50M")
                                    + record("duplicate", 1024, "chr1", 150, "50M")
                                    + record("qcfail", 512, "chr1", 160, "50M"));
    std::vector<std::string> keys;
    for (const auto& [key, reads] : fragments)
        keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"duplicate", "kept", "qcfail", "secondary"}));
}

// Records a region query can never deliver from a well-formed file, given to the callback directly.
TEST(RecordFilter, RecordsWithoutReferenceOrCigarAreSkipped)
{
    std::unique_ptr<bam1_t, BamRecordFree> rec(bam_init1());
    const uint32_t cigar = bam_cigar_gen(50, BAM_CMATCH);
    LocusFragments fragments;

    ASSERT_GE(bam_set1(rec.get(), 2, "u1", 0, -1, 99, 60, 1, &cigar, -1, -1, 0, 0, nullptr, nullptr, 0), 0);
    EXPECT_EQ(fetch_func(rec.get(), &fragments), 0);
    ASSERT_GE(bam_set1(rec.get(), 2, "u2", 0, 0, 99, 60, 0, nullptr, -1, -1, 0, 0, nullptr, nullptr, 0), 0);
    EXPECT_EQ(fetch_func(rec.get(), &fragments), 0);
    EXPECT_TRUE(fragments.empty());

    ASSERT_GE(bam_set1(rec.get(), 2, "m1", 0, 0, 99, 60, 1, &cigar, -1, -1, 0, 0, nullptr, nullptr, 0), 0);
    EXPECT_EQ(fetch_func(rec.get(), &fragments), 0);
    fragments.sortByKey();
    ASSERT_EQ(fragments.size(), 1u);
    EXPECT_EQ(fragments.key(0), "m1");
}

TEST(RegionPrefix, ChromosomeWithoutPrefixIsRetriedWithChr)
{
    FragmentMap fragments = extract(record("x", 0, "chr7", 150, "50M"), "7:100-900", "@SQ\tSN:chr7\tLN:100000\n");
    EXPECT_EQ(fragments.count("x"), 1u);
    FragmentMap upper = extract(record("y", 0, "CHR8", 150, "50M"), "8:100-900", "@SQ\tSN:CHR8\tLN:100000\n");
    EXPECT_EQ(upper.count("y"), 1u);
}

TEST(RegionPrefix, RegionMissingUnderEveryPrefixReadsNothing)
{
    TempDir dir;
    std::string bam = dir.file("reads.bam");
    testutil::samToBam("@SQ\tSN:chr7\tLN:100000\n" + record("x", 0, "chr7", 150, "50M"), bam, true);
    BamIO reader(bam.c_str());
    ASSERT_EQ(reader.openBam(), 0);
    FragmentMap fragments;
    fragments["kept"].push_back(t_read{});
    EXPECT_FALSE(reader.readBam("9:100-900", fragments));
    EXPECT_EQ(fragments.size(), 1u);
}

} // namespace

namespace {

std::vector<std::string> keysOf(const FragmentMap& fragments)
{
    std::vector<std::string> keys;
    for (const auto& entry : fragments)
        keys.push_back(entry.first);
    return keys;
}

} // namespace

// Gene processing counts and reads a locus in one pass; what it gets must be what the
// two separate queries give, and a locus beyond the budget must not stay in memory.
TEST(CountAndRead, OnePassGivesTheCountsAndFragmentsOfTheTwoQueries)
{
    TempDir dir;
    std::string bam = dir.file("reads.bam");
    std::string records = record("p", 99, "chr1", 1001, "50M", "=", 1301) + record("s", 73, "chr1", 1100, "40M")
        + record("p", 147, "chr1", 1301, "30M200N20M", "=", 1001) + record("u", 4, "chr1", 1400, "*")
        + record("q", 0, "chr1", 1500, "50M") + record("p", 0, "chr1", 1600, "50M");
    testutil::samToBam("@SQ\tSN:chr1\tLN:100000\n" + records, bam, true);
    BamIO reader(bam.c_str());
    ASSERT_EQ(reader.openBam(), 0);

    const t_flagStats separate = reader.nrProperlyPairedFrags("chr1:1000-2000");
    FragmentMap expected;
    ASSERT_TRUE(reader.readBam("chr1:1000-2000", expected));

    bool complete = false;
    FragmentMap fragments;
    const t_flagStats together = reader.countAndReadBam("chr1:1000-2000", fragments, 6, complete);
    EXPECT_TRUE(complete);
    EXPECT_EQ(together.total, separate.total);
    EXPECT_EQ(together.mapped, separate.mapped);
    EXPECT_EQ(together.properlyPaired, separate.properlyPaired);
    EXPECT_EQ(together.singletons, separate.singletons);
    EXPECT_EQ(together.read1, separate.read1);
    EXPECT_EQ(together.read2, separate.read2);
    EXPECT_EQ(keysOf(fragments), keysOf(expected));
    ASSERT_EQ(fragments["p"].size(), 2u);
    EXPECT_EQ(blocksOf(fragments["p"][1]), blocksOf(expected["p"][1]));

    FragmentMap dropped;
    const t_flagStats overBudget = reader.countAndReadBam("chr1:1000-2000", dropped, 5, complete);
    EXPECT_FALSE(complete);
    EXPECT_TRUE(dropped.empty());
    EXPECT_EQ(overBudget.total, separate.total);
    EXPECT_EQ(overBudget.properlyPaired, separate.properlyPaired);

    FragmentMap none;
    reader.countAndReadBam("chrX:1-100", none, 100, complete);
    EXPECT_FALSE(complete);
    EXPECT_TRUE(none.empty());
}
