// Whole runs on small fixed inputs whose summaries must not change by a byte: the
// files under tests/golden were checked against an independent implementation.
// After a deliberate change of output, KESTROVE_UPDATE_GOLDEN=1 rewrites them from
// the one-thread run; review the difference before committing it.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <map>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "TestUtil.h"

using testutil::exon;
using testutil::readText;

namespace {

using Exons = std::vector<std::pair<int, int>>;

struct Transcript { std::string chromosome, gene, id; char strand; Exons exons; };

std::string gtfOf(const std::vector<Transcript>& transcripts)
{
    std::string text;
    for (const Transcript& t : transcripts)
        for (const auto& [start, end] : t.exons)
            text += exon(t.chromosome, start, end, t.gene, t.id, t.gene == "GC" ? "gamma" : "", t.strand);
    return text;
}

// The genome position and CIGAR of `length` bases from `offset` on the spliced transcript.
std::pair<int, std::string> place(const Exons& exons, int offset, int length)
{
    int position = 0, previousEnd = 0;
    std::string cigar;
    for (const auto& [start, end] : exons) {
        const int size = end - start + 1;
        if (offset >= size) {
            offset -= size;
            continue;
        }
        if (position == 0)
            position = start + offset;
        else
            cigar += std::to_string(start - previousEnd - 1) + "N";
        const int take = std::min(length, size - offset);
        cigar += std::to_string(take) + "M";
        length -= take, offset = 0, previousEnd = start + take - 1;
        if (length == 0)
            break;
    }
    return {position, cigar};
}

// `count` fragments of each transcript at fixed pseudo-random places, as pairs of
// 50-base mates or as single 50-base reads, in coordinate order or reversed.
std::string readsOf(const std::vector<std::pair<Transcript, int>>& expressed, bool paired, bool sorted)
{
    std::uint32_t state = 12345;
    const auto next = [&](int bound) { state = state * 1664525u + 1013904223u; return static_cast<int>((state >> 8) % bound); };
    std::multimap<std::pair<std::string, int>, std::string> records;  // equal keys keep their order
    for (const auto& [t, count] : expressed) {
        int length = 0;
        for (const auto& [start, end] : t.exons)
            length += end - start + 1;
        for (int i = 0; i < count; ++i) {
            const std::string name = t.id + "_" + std::to_string(i);
            const int fragment = std::min(length, 180 + next(140));
            const int offset = next(length - fragment + 1);
            const bool reverse = next(2) == 1;
            const auto [left, leftCigar] = place(t.exons, offset, 50);
            const auto [right, rightCigar] = place(t.exons, offset + fragment - 50, 50);
            const int span = right + 49 - left + 1;
            if (!paired)
                records.emplace(std::pair{t.chromosome, reverse ? right : left},
                                testutil::samRecord(name, reverse ? 16 : 0, t.chromosome, reverse ? right : left,
                                                    reverse ? rightCigar : leftCigar));
            else
                records.insert({{{t.chromosome, left}, testutil::samRecord(name, reverse ? 163 : 99, t.chromosome, left,
                                                                             leftCigar, "=", right, span)},
                                {{t.chromosome, right}, testutil::samRecord(name, reverse ? 83 : 147, t.chromosome, right,
                                                                              rightCigar, "=", left, -span)}});
        }
    }
    std::string body;
    for (const auto& [key, line] : records)
        body = sorted ? body + line : line + body;
    return std::string("@HD\tVN:1.6\tSO:") + (sorted ? "coordinate" : "unsorted")
        + "\n@SQ\tSN:chr1\tLN:30000\n@SQ\tSN:chr2\tLN:30000\n" + body;
}

// GA: three isoforms sharing exons; GB: one exon; GC: two isoforms on the reverse
// strand of chr2; GD: in the annotation, without reads.
const Transcript kA1{"chr1", "GA", "tA1", '+', {{1001, 1400}, {1601, 1900}, {2101, 2500}}};
const Transcript kA2{"chr1", "GA", "tA2", '+', {{1001, 1400}, {2101, 2500}}};
const Transcript kA3{"chr1", "GA", "tA3", '+', {{1201, 1400}, {1601, 1900}}};
const Transcript kB{"chr1", "GB", "tB", '+', {{5001, 6000}}};
const Transcript kC1{"chr2", "GC", "tC1", '-', {{3001, 3300}, {3501, 3900}}};
const Transcript kC2{"chr2", "GC", "tC2", '-', {{3001, 3300}, {3401, 3900}}};
const Transcript kD{"chr2", "GD", "tD", '+', {{9001, 9800}}};
// Overlapping genes: GE's second isoform reaches into GF's exon.
const Transcript kE1{"chr1", "GE", "tE1", '+', {{11001, 11400}, {11601, 12000}}};
const Transcript kE2{"chr1", "GE", "tE2", '+', {{11001, 12100}}};
const Transcript kF{"chr1", "GF", "tF", '+', {{12051, 13000}}};

struct Case {
    std::string name;
    std::vector<Transcript> annotation;
    std::vector<std::pair<Transcript, int>> expressed;
    bool paired, sorted;
    std::string options;
};

const std::vector<Case> kCases = {
    {"paired", {kA1, kA2, kA3, kB, kC1, kC2, kD}, {{kA1, 60}, {kA2, 25}, {kA3, 15}, {kB, 40}, {kC1, 30}, {kC2, 10}}, true, true, ""},
    {"merged", {kA1, kA2, kE1, kE2, kF}, {{kA1, 20}, {kA2, 20}, {kE1, 30}, {kE2, 20}, {kF, 25}}, true, true, "-c"},
    {"single", {kA1, kA2, kA3, kB, kC1, kC2}, {{kA1, 50}, {kA2, 30}, {kA3, 20}, {kB, 25}, {kC1, 15}, {kC2, 15}}, false, true, ""},
    {"unsorted", {kA1, kA2, kA3, kB, kC1, kC2, kD}, {{kA1, 30}, {kA2, 45}, {kA3, 10}, {kB, 20}, {kC1, 12}, {kC2, 25}}, true, false, ""},
};

} // namespace

TEST(Golden, SummariesOfFixedInputsAreUnchangedAtOneAndTwoThreads)
{
    const char* update = std::getenv("KESTROVE_UPDATE_GOLDEN");
    for (const Case& c : kCases) {
        testutil::TempDir dir;
        testutil::writeText(dir.file("genes.gtf"), gtfOf(c.annotation));
        testutil::samToBam(readsOf(c.expressed, c.paired, c.sorted), dir.file("reads.bam"), c.sorted);
        for (const int threads : {1, 2}) {
            SCOPED_TRACE(c.name + " -p " + std::to_string(threads));
            const auto result = testutil::kestroveIn(
                dir.path(), "-G genes.gtf -B reads.bam -o out --quiet -p " + std::to_string(threads) + " " + c.options);
            ASSERT_EQ(result.status, 0) << result.err;
            for (const std::string kind : {"transcripts", "genes"}) {
                const std::string golden = std::string(KESTROVE_GOLDEN_DIR) + "/" + c.name + "." + kind + ".dat";
                // An unsorted BAM is quantified as its sorted copy.
                const std::string sample = c.sorted ? "reads" : "reads.sorted";
                const std::string output = readText(dir.file("out/" + kind + "_summary_" + sample + ".dat"));
                if (update && std::string(update) == "1" && threads == 1)
                    testutil::writeText(golden, output);
                EXPECT_EQ(output, readText(golden)) << kind;
            }
        }
    }
}
