// Paired reads whose mates never join: the run completes and says why once.

#include <string>

#include <gtest/gtest.h>

#include "TestUtil.h"

namespace {

// Fifteen proper pairs inside one exon, mates named as the row says; the pairs lie
// apart so that all first mates come before all second mates.
std::string pairsNamed(const std::string& firstSuffix, const std::string& secondSuffix)
{
    std::string firsts;
    std::string seconds;
    for (int i = 0; i < 15; ++i) {
        const std::string name = "q" + std::to_string(i);
        const int left = 1100 + 10 * i;
        const int right = left + 300;
        firsts += name + firstSuffix + "\t99\tchr1\t" + std::to_string(left) + "\t60\t50M\t=\t" + std::to_string(right)
            + "\t350\t*\t*\n";
        seconds += name + secondSuffix + "\t147\tchr1\t" + std::to_string(right) + "\t60\t50M\t=\t"
            + std::to_string(left) + "\t-350\t*\t*\n";
    }
    return "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:20000\n" + firsts + seconds;
}

} // namespace

TEST(UnmatedMates, MatesNamedApartAreReportedOnceWithTheFix)
{
    struct Row {
        const char* first;
        const char* second;
        bool warned;
        bool fixShown;
    };
    const Row rows[] = {
        {"", "", false, false},
        {".1", ".2", true, true},
        {"/1", "/2", true, true},
        // Suffixes that do not follow the first/second-in-pair flags are no naming scheme to undo.
        {".2", ".1", true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("mates named x") + row.first + " and x" + row.second);
        testutil::TempDir dir;
        testutil::writeText(dir.file("genes.gtf"),
                            "chr1\ttest\texon\t1001\t3000\t.\t+\t.\tgene_id \"G\"; transcript_id \"T\";\n");
        testutil::samToBam(pairsNamed(row.first, row.second), dir.file("reads.bam"), true);
        const auto result = testutil::run("cd '" + dir.path() + "' && '" + testutil::kestroveExe()
                                          + "' -G genes.gtf -B reads.bam -o out");
        ASSERT_EQ(result.status, 0) << result.err;
        const std::string warning = "Warning: 30 of the 30 paired reads read for the genes have no mate under the same name";
        const auto at = result.err.find(warning);
        EXPECT_EQ(at != std::string::npos, row.warned) << result.err;
        if (row.warned) {
            EXPECT_EQ(result.err.find(warning, at + 1), std::string::npos) << "warned more than once";
        }
        EXPECT_EQ(result.err.find("both mates of a pair must have the same name") != std::string::npos, row.fixShown)
            << result.err;
    }
}
