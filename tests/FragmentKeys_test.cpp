// Fragment keys: the order the model sees fragments in, and paired reads whose mates
// never join under one name.

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "alignments/LocusFragments.h"
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
        firsts += testutil::samRecord(name + firstSuffix, 99, "chr1", 1100 + 10 * i, "50M", "=", 1400 + 10 * i, 350);
        seconds += testutil::samRecord(name + secondSuffix, 147, "chr1", 1400 + 10 * i, "50M", "=", 1100 + 10 * i, -350);
    }
    return "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:20000\n" + firsts + seconds;
}

} // namespace

TEST(UnmatedMates, MatesNamedApartAreReportedOnceWithTheFix)
{
    struct Row { const char* first; const char* second; bool warned; bool fixShown; };
    const Row rows[] = {
        {"", "", false, false}, {".1", ".2", true, true}, {"/1", "/2", true, true},
        // Suffixes that do not follow the first/second-in-pair flags are no naming scheme to undo.
        {".2", ".1", true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("mates named x") + row.first + " and x" + row.second);
        testutil::TempDir dir;
        testutil::writeText(dir.file("genes.gtf"), testutil::exon("chr1", 1001, 3000, "G", "T"));
        testutil::samToBam(pairsNamed(row.first, row.second), dir.file("reads.bam"), true);
        const auto result = testutil::kestroveIn(dir.path(), "-G genes.gtf -B reads.bam -o out");
        ASSERT_EQ(result.status, 0) << result.err;
        const std::string warning = "Warning: 30 of the 30 paired reads read for the genes have no mate under the same name";
        EXPECT_EQ(testutil::occurrences(result.err, warning), row.warned ? 1u : 0u) << result.err;
        EXPECT_EQ(result.err.find("both mates of a pair must have the same name") != std::string::npos, row.fixShown)
            << result.err;
    }
}

// The EM sums fragments in key order, so any other order changes printed digits.
TEST(FragmentKeys, OrderIsTheByteOrderOfTheWholeNames)
{
    const std::vector<std::vector<std::string>> rows = {
        {"b", "a", "ab", "aa", "ba"},
        // Names alike in their first eight bytes and beyond.
        {"HWI-ST1:8:1101:10000:2000", "HWI-ST1:8:1101:10000:200", "HWI-ST1:8:1101:9999:1",
         "HWI-ST1:8:1101:10000:2000x", "HWI-ST1:8:1101:10000:1999"},
        // Bytes above 0x7f sort after ASCII; a name that is a prefix of another comes first.
        {"a\xff", "a\x7f", "a", "a\x80" "b", "a\x80"}, {"abcdefghij", "abc", "abcdefghi", "abcdefghik", "ab"},
    };
    struct Started final : LocusFragments::Consumer {
        std::vector<uint32_t> ids;
        void started(uint32_t id, std::string_view, std::string_view, const LocusFragments::Read&, const t_exon*) override
        {
            ids.push_back(id);
        }
        void joined(uint32_t, const LocusFragments::Read*, const t_exon*, const LocusFragments::Read&, const t_exon*) override {}
        void leftAlone(uint32_t, const LocusFragments::Read&, const t_exon*) override {}
    };
    const t_exon block{100, 149};
    for (const auto& names : rows) {
        LocusFragments fragments;
        Started started;
        for (const std::string& name : names) {
            LocusFragments::Read read;
            read.start = block.start;
            read.nrBlocks = 1;
            fragments.add(name, read, &block, started);
        }
        FlatArray<uint32_t> order;
        order.append(started.ids.data(), started.ids.size());
        fragments.orderByKey(order);
        std::vector<std::string> keys;
        for (uint32_t position : order)
            keys.emplace_back(fragments.key(started.ids[position]));
        const std::set<std::string> expected(names.begin(), names.end());
        EXPECT_EQ(keys, std::vector<std::string>(expected.begin(), expected.end()));
    }
}
