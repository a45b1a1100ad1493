// Reading alignments: how a BAM file is opened (indexed, sorted, refused), how a
// record's CIGAR becomes blocks, how mates become one fragment, what a locus counts.

#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <tuple>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "alignments/BamIO.h"
#include "TestUtil.h"

namespace {

using testutil::occurrences;
using testutil::samRecord;
using testutil::TempDir;
namespace fs = std::filesystem;

const std::string kHeader = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:100000\n@SQ\tSN:chr2\tLN:50000\n";
const std::string kUnsorted = "@SQ\tSN:chr1\tLN:100000\n" + samRecord("b", 0, "chr1", 900, "50M")
    + samRecord("a", 0, "chr1", 100, "50M");

using Blocks = std::vector<std::pair<int32_t, int32_t>>;

// What a read keeps of its record, in a form that does not depend on the fragment map's layout.
struct Read { int32_t start; Blocks blocks; int32_t length; bool paired, firstMate, forward; std::string name; };

std::map<std::string, std::vector<Read>> extract(const std::string& records, const std::string& region = "chr1:1-100000",
                                                 uint16_t skippedFlags = 0)
{
    TempDir dir;
    const std::string bam = dir.file("reads.bam");
    testutil::samToBam(kHeader + records, bam, true);
    BamIO reader(bam.c_str(), skippedFlags);
    EXPECT_EQ(reader.openBam(), 0);
    FragmentMap fragments;
    reader.readBam(region, fragments);
    std::map<std::string, std::vector<Read>> result;
    for (const auto& [key, reads] : fragments)
        for (const t_read& r : reads) {
            Blocks blocks;
            for (const t_exon& b : r.blocks)
                blocks.emplace_back(b.start, b.end);
            result[key].push_back({r.start, blocks, r.length, r.paired, r.firstMate, r.forward, r.name});
        }
    return result;
}

TEST(BamFiles, CigarOperationsShapeBlocksAndAlignedLength)
{
    struct Row { int pos; std::string cigar; Blocks blocks; int32_t length; };
    const std::vector<Row> rows = {
        {100, "50M", {{100, 149}}, 50}, {200, "10S40M", {{200, 239}}, 40}, {300, "20M2D30M", {{300, 351}}, 50},
        {400, "20M3I30M", {{400, 449}}, 53}, {500, "5H10=2X10=5S", {{500, 521}}, 22},
        {1000, "30M200N70M", {{1000, 1029}, {1230, 1299}}, 100},
        {2000, "10M5N10M1D5M10N5M", {{2000, 2009}, {2015, 2030}, {2041, 2045}}, 30},
        {3000, "10M5N", {{3000, 3009}}, 10}, {100, "10M5N5N10M", {{100, 109}, {120, 129}}, 20},
        {200, "50N10M3N", {{250, 259}}, 10}, {100, "20S", {}, 0}, {100, "5N0M5N", {}, 0},
    };
    for (const Row& row : rows) {
        auto fragments = extract(samRecord("q", 16, "chr1", row.pos, row.cigar));
        if (row.blocks.empty()) {
            EXPECT_EQ(fragments.count("q"), 0u) << row.cigar;  // aligns no reference base
            continue;
        }
        ASSERT_EQ(fragments["q"].size(), 1u) << row.cigar;
        const Read& r = fragments["q"][0];
        EXPECT_EQ(r.start, row.pos) << row.cigar;
        EXPECT_EQ(r.blocks, row.blocks) << row.cigar;
        EXPECT_EQ(r.length, row.length) << row.cigar;
        EXPECT_FALSE(r.forward || r.paired || r.firstMate) << row.cigar;
    }
}

TEST(BamFiles, MatesJoinOnlyWhenTheMatePositionPointsBack)
{
    struct Row {
        std::string name;
        std::string records;
        // key -> starts of its reads, in order
        std::map<std::string, std::vector<int32_t>> entries;
    };
    const std::vector<Row> rows = {
        {"proper pair", samRecord("p", 99, "chr1", 1001, "50M", "=", 1301) + samRecord("p", 147, "chr1", 1301, "50M", "=", 1001),
         {{"p", {1001, 1301}}}},
        {"mate pointing elsewhere", samRecord("a", 0, "chr1", 500, "50M") + samRecord("p", 99, "chr1", 1001, "50M", "=", 1301)
             + samRecord("p", 147, "chr1", 1301, "50M", "=", 1101),
         {{"a", {500}}, {"p", {1001}}, {"p-2-2", {1301}}}},
        {"third record", samRecord("p", 99, "chr1", 1001, "50M", "=", 1301) + samRecord("p", 147, "chr1", 1301, "50M", "=", 1001)
             + samRecord("p", 355, "chr1", 1500, "50M", "=", 1001),
         {{"p", {1001, 1301}}, {"p-1-1", {1500}}}},
        {"later plain name", samRecord("p", 65, "chr1", 1001, "50M", "=", 1401) + samRecord("p", 129, "chr1", 1201, "50M", "=", 1801)
             + samRecord("p", 129, "chr1", 1401, "50M", "=", 1001),
         {{"p", {1001, 1401}}, {"p-1-1", {1201}}}},
        {"derived key taken", samRecord("p-2-2", 0, "chr1", 900, "50M") + samRecord("p", 0, "chr1", 1001, "50M")
             + samRecord("p", 0, "chr1", 1101, "50M"),
         {{"p-2-2", {900}}, {"p", {1001}}, {"p-2-2-2", {1101}}}},
        {"pairs overlapping", samRecord("a", 99, "chr1", 1001, "50M", "=", 1201) + samRecord("b", 99, "chr1", 1101, "50M", "=", 1301)
             + samRecord("a", 147, "chr1", 1201, "50M", "=", 1001) + samRecord("c", 99, "chr1", 1251, "50M", "=", 1401)
             + samRecord("b", 147, "chr1", 1301, "50M", "=", 1101) + samRecord("c", 147, "chr1", 1401, "50M", "=", 1251),
         {{"a", {1001, 1201}}, {"b", {1101, 1301}}, {"c", {1251, 1401}}}},
        {"only unmapped records left out", samRecord("kept", 0, "chr1", 100, "50M") + samRecord("unmapped", 4, "chr1", 120, "*")
             + samRecord("secondary", 256, "chr1", 140, "50M") + samRecord("duplicate", 1024, "chr1", 150, "50M"),
         {{"kept", {100}}, {"secondary", {140}}, {"duplicate", {150}}}},
    };
    for (const Row& row : rows) {
        auto fragments = extract(row.records);
        std::map<std::string, std::vector<int32_t>> entries;
        for (const auto& [key, reads] : fragments)
            for (const Read& r : reads)
                entries[key].push_back(r.start);
        EXPECT_EQ(entries, row.entries) << row.name;
    }
    const auto pair = extract(rows[0].records)["p"];
    EXPECT_TRUE(pair[0].paired && pair[0].firstMate && pair[0].forward);
    EXPECT_TRUE(pair[1].paired && !pair[1].firstMate && !pair[1].forward);
    EXPECT_EQ(extract(rows[1].records)["p-2-2"][0].name, "p-2");
}

TEST(BamFiles, EachRecordCountsInEveryMatchingFlagCounter)
{
    TempDir dir;
    const std::string bam = dir.file("r.bam");
    testutil::samToBam(kHeader + samRecord("lone", 0x49, "chr1", 100, "50M", "=", 100)
                           + samRecord("lone", 0x85, "chr1", 100, "*", "=", 100)
                           + samRecord("pair", 99, "chr1", 200, "50M", "=", 300)
                           + samRecord("pair", 147, "chr1", 300, "50M", "=", 200)
                           + samRecord("unmappedPair", 13, "chr1", 400, "*", "=", 400), bam, true);
    BamIO reader(bam.c_str());
    ASSERT_EQ(reader.openBam(), 0);
    const t_flagStats s = reader.nrProperlyPairedFrags("chr1:0-999999999");
    EXPECT_EQ(std::vector<uint64_t>({s.total, s.mapped, s.properlyPaired, s.singletons, s.read1, s.read2}),
              std::vector<uint64_t>({5, 3, 2, 1, 2, 2}));
}

// With threads a reference is counted in parts: each record must count once, in the part
// where it starts, however far it reaches, so that the parts sum to the whole reference.
TEST(BamFiles, ReferencePartsSumToTheWholeReference)
{
    TempDir dir;
    const std::string bam = dir.file("r.bam");
    std::vector<std::pair<int, std::string>> placed = {
        {1, samRecord("first", 0, "chr1", 1, "50M")}, {100, samRecord("lone", 0x49, "chr1", 100, "50M", "=", 100)},
        {100, samRecord("lone", 0x85, "chr1", 100, "*", "=", 100)}, {60000, samRecord("second", 0x100, "chr1", 60000, "50M")},
        {80000, samRecord("unplacedPair", 13, "chr1", 80000, "*", "=", 80000)}, {99951, samRecord("last", 16, "chr1", 99951, "50M")}};
    // Pairs and spliced reads across the stretch boundaries of every cut below; the
    // secondary record is left out with --primary-only, the unmapped pair placed at a base.
    for (int at : {4990, 5000, 5001, 19999, 20000, 33333, 50000, 74999}) {
        const std::string name = "p" + std::to_string(at);
        placed.emplace_back(at, samRecord(name, 99, "chr1", at, "20M30000N30M", "=", at + 40));
        placed.emplace_back(at + 40, samRecord(name, 147, "chr1", at + 40, "50M", "=", at));
    }
    std::stable_sort(placed.begin(), placed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string records;
    for (const auto& record : placed)
        records += record.second;
    testutil::samToBam(kHeader + records, bam, true);
    for (const uint16_t skipped : {uint16_t{0}, kNonPrimaryFlags}) {
        BamIO reader(bam.c_str(), skipped);
        ASSERT_EQ(reader.openBam(), 0);
        const std::vector<BamIO::ReferencePart> whole = reader.referenceParts("chr1", 0);
        ASSERT_EQ(whole.size(), 1u);
        const BamIO::RecordCounts expected = reader.countRecords(whole[0]);
        EXPECT_EQ(expected.stats.total + expected.skippedMapped, 22u);
        struct Cut { uint64_t recordsPerPart; std::size_t parts; };
        for (const Cut& cut : std::vector<Cut>{{1, 22}, {2, 11}, {5, 4}, {7, 3}, {1000, 1}}) {
            SCOPED_TRACE(std::to_string(cut.recordsPerPart) + " records a part, skipped flags " + std::to_string(skipped));
            const std::vector<BamIO::ReferencePart> parts = reader.referenceParts("chr1", cut.recordsPerPart);
            ASSERT_EQ(parts.size(), cut.parts);
            EXPECT_EQ(parts.front().begin, 0);
            EXPECT_EQ(parts.back().end, HTS_POS_MAX);
            BamIO::RecordCounts sum;
            for (std::size_t i = 0; i < parts.size(); ++i) {
                if (i > 0) {
                    EXPECT_EQ(parts[i].begin, parts[i - 1].end);
                }
                sum += reader.countRecords(parts[i]);
            }
            const t_flagStats& s = sum.stats;
            const t_flagStats& e = expected.stats;
            EXPECT_EQ(std::vector<uint64_t>({s.total, s.mapped, s.properlyPaired, s.singletons, s.read1, s.read2,
                                             s.secondary, sum.skippedMapped}),
                      std::vector<uint64_t>({e.total, e.mapped, e.properlyPaired, e.singletons, e.read1, e.read2,
                                             e.secondary, expected.skippedMapped}));
        }
        EXPECT_EQ(reader.referenceParts("chr2", 1).size(), 1u);
        EXPECT_TRUE(reader.referenceParts("chr3", 1).empty());
    }
}

// A locus that the index shows far beyond its record budget is counted without being
// kept. The estimate comes from the compressed bytes a query would read, so it is right
// to within a bin or two of records, whole for the reference, none where there are none.
TEST(BamFiles, IndexEstimatesTheRecordsOfARegion)
{
    TempDir dir;
    const std::string bam = dir.file("e.bam");
    // Bases and qualities at random, so that each 16 kb bin of the index holds more than
    // the 64 KiB of compressed records below which htslib folds a bin into its parent.
    constexpr int kRecords = 20000;
    std::mt19937 rng(7);
    std::string records;
    for (int i = 0; i < kRecords; ++i) {
        std::string bases(100, 'A');
        std::string qualities(100, 'I');
        for (int j = 0; j < 100; ++j) {
            bases[j] = "ACGT"[rng() % 4];
            qualities[j] = static_cast<char>('!' + rng() % 40);
        }
        const int64_t position = 1 + int64_t{i} * 99900 / kRecords;
        records += "r" + std::to_string(i) + "\t0\tchr1\t" + std::to_string(position) + "\t60\t100M\t*\t0\t0\t" + bases
            + "\t" + qualities + "\n";
    }
    testutil::samToBam(kHeader + records, bam, true);
    BamIO reader(bam.c_str());
    ASSERT_EQ(reader.openBam(), 0);
    struct Row {
        int tid;
        hts_pos_t begin, end;
        uint64_t least, most;
    };
    const std::vector<Row> rows = {
        {0, 0, HTS_POS_MAX, kRecords, kRecords},
        {0, 0, 50000, 7000, 15000},
        {0, 25000, 75000, 7000, 15000},
        {0, 90000, 100000, 1000, 6000},
        {0, 500, 510, 0, 6000},
        {1, 0, HTS_POS_MAX, 0, 0},
        {2, 0, 100, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.tid) + ":" + std::to_string(row.begin) + "-" + std::to_string(row.end));
        const uint64_t estimate = reader.estimatedRecords(row.tid, row.begin, row.end);
        EXPECT_GE(estimate, row.least);
        EXPECT_LE(estimate, row.most);
    }
}

// Aligners' secondary, QC-failed, duplicate and supplementary records: counted by kind
// and told once; left out of the experiment, the loci and the fragments only with
// --primary-only, duplicates never.
TEST(BamFiles, AlignerFlaggedRecordsAreToldAndLeftOutOnlyWithPrimaryOnly)
{
    struct Row {
        int flag;
        std::vector<int> kinds;  // secondary, QC-failed, duplicate, supplementary
        bool keptWithPrimaryOnly;
    };
    const std::vector<Row> rows = {
        {0x100, {1, 0, 0, 0}, false}, {0x200, {0, 1, 0, 0}, false}, {0x400, {0, 0, 1, 0}, true},
        {0x800, {0, 0, 0, 1}, false}, {0x500, {1, 0, 1, 0}, false}, {0x10, {0, 0, 0, 0}, true},
    };
    for (const Row& row : rows) {
        for (const bool primaryOnly : {false, true}) {
            // Each row runs at one thread and, with the option, at two.
            const std::string options = primaryOnly ? " --primary-only -p 2" : " -p 1";
            SCOPED_TRACE("flag " + std::to_string(row.flag) + options);
            TempDir dir;
            const std::string records = samRecord("base", 0, "chr1", 100, "50M") + samRecord("x", row.flag, "chr1", 300, "50M");
            testutil::samToBam(kHeader + records, dir.file("a.bam"), true);
            testutil::writeText(dir.file("g.gtf"), testutil::exon("chr1", 50, 1500, "G", "T"));
            const auto result = testutil::kestroveIn(dir.path(), "-G g.gtf -B a.bam -o out" + options);
            ASSERT_EQ(result.status, 0) << result.err;
            const bool kept = row.keptWithPrimaryOnly || !primaryOnly;
            const std::string fragments = kept ? "2 " : "1 ";
            const std::string genes = dir.file("out/genes_summary_a.dat");
            EXPECT_EQ(testutil::column(genes, "frags_expt") + testutil::column(genes, "frags_locus")
                          + testutil::column(genes, "comp_frags_locus"), fragments + fragments + fragments);
            EXPECT_EQ(extract(records, "chr1:1-100000", primaryOnly ? kNonPrimaryFlags : 0).count("x"), kept ? 1u : 0u);

            const bool flagged = row.kinds != std::vector<int>{0, 0, 0, 0};
            EXPECT_EQ(occurrences(result.err, "Note: a.bam holds "), flagged ? 1u : 0u) << result.err;
            const std::string counts = std::to_string(row.kinds[0]) + " secondary (0x100), " + std::to_string(row.kinds[1])
                + " QC-failed (0x200), " + std::to_string(row.kinds[2]) + " duplicate (0x400) and "
                + std::to_string(row.kinds[3]) + " supplementary (0x800) records";
            EXPECT_EQ(testutil::contains(result.err, counts), flagged) << result.err;
            // Without the option the note names it whenever it would change the results.
            EXPECT_EQ(testutil::contains(result.err, "--primary-only leaves out"), !row.keptWithPrimaryOnly && !primaryOnly)
                << result.err;
        }
    }
}

// Records in the middle of a block are read in place, without their sequence,
// qualities and tags; the others as htslib reads them. Either way a read must come out
// as its SAM text says: names of every padding, sequences and tags, unmapped flags.
TEST(BamFiles, ReadsComeOutAsTheirRecordsSayWhereverTheyLie)
{
    const std::string sequence(20, 'A');
    struct Row { std::string name; std::string record; Blocks blocks; };
    const std::vector<Row> rows = {
        {"n", samRecord("n", 0, "chr1", 2000, "10M"), {{2000, 2009}}},
        {"na", samRecord("na", 0, "chr1", 2100, "10M"), {{2100, 2109}}},
        {"nab", samRecord("nab", 0, "chr1", 2200, "10M"), {{2200, 2209}}},
        {"nabc", samRecord("nabc", 0, "chr1", 2300, "10M"), {{2300, 2309}}},
        {"withSequence", "withSequence\t0\tchr1\t2400\t60\t5S10M3I2M\t*\t0\t0\t" + sequence + "\t" + sequence
             + "\tNM:i:3\tXA:Z:other\n", {{2400, 2411}}},
        {"unmappedWithCigar", samRecord("unmappedWithCigar", 4, "chr1", 2500, "10M"), {}},
    };
    // Reads around each row, so that rows lie inside a block, short of its end.
    std::string records;
    for (const Row& row : rows) {
        const int pos = std::stoi(row.record.substr(row.record.find("chr1\t") + 5));
        for (int i = 0; i < 400; ++i)
            records += samRecord("f" + std::to_string(pos) + "_" + std::to_string(i), 0, "chr1", pos - 90 + i / 5, "20M");
        records += row.record;
        for (int i = 0; i < 20; ++i)
            records += samRecord("g" + std::to_string(pos) + "_" + std::to_string(i), 0, "chr1", pos + 1 + i / 5, "20M");
    }
    auto fragments = extract(records);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.blocks.empty()) {
            EXPECT_EQ(fragments.count(row.name), 0u);
            continue;
        }
        ASSERT_EQ(fragments[row.name].size(), 1u);
        EXPECT_EQ(fragments[row.name][0].blocks, row.blocks);
        EXPECT_EQ(fragments[row.name][0].name, row.name);
    }
    EXPECT_EQ(fragments.size(), rows.size() - 1 + rows.size() * 420);
}

// A fragment map in a comparable form: key, then each read's start, end and blocks.
std::string describe(const FragmentMap& fragments)
{
    std::ostringstream text;
    for (const auto& [key, reads] : fragments) {
        text << key;
        for (const t_read& r : reads) {
            text << ' ' << r.start << '-' << r.end;
            for (const t_exon& b : r.blocks)
                text << ':' << b.start << '-' << b.end;
        }
        text << '\n';
    }
    return text.str();
}

// Overlapping loci read in one pass must each get what their own region query returns:
// spliced reads reaching into later loci, placed unmapped mates, reads without an
// aligned base, nested loci, and loci that stop holding their reads or leave the pass.
TEST(BamFiles, OnePassOverOverlappingLociGivesEachLocusItsOwnQuery)
{
    const std::vector<std::string> cigars = {"50M", "20M600N30M", "10S40M", "25M2500N25M", "50S", "30M5I15M"};
    std::vector<std::tuple<int, std::string>> records;
    uint32_t state = 12345;
    const auto next = [&state](uint32_t n) {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % n;
    };
    for (int i = 0; i < 600; ++i) {
        const int pos = 1 + static_cast<int>(next(6000));
        const std::string name = "r" + std::to_string(next(250));
        const int flags[] = {99, 147, 83, 163, 0, 16, 133, 73};
        const int flag = flags[next(8)];
        records.emplace_back(pos, samRecord(name, flag, "chr1", pos, flag == 133 ? "*" : cigars[next(6)], "=",
                                            1 + static_cast<int>(next(6000))));
    }
    // Reads just inside and just outside each edge of every region below.
    for (const int edge : {100, 900, 500, 2500, 600, 700, 3000, 3100, 2400, 4000, 4500, 4600, 5990}) {
        for (const int pos : {edge - 50, edge - 49, edge, edge + 1})
            records.emplace_back(pos, samRecord("edge" + std::to_string(pos), 0, "chr1", pos, "50M"));
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); });
    std::string sam = kHeader;
    for (const auto& [pos, text] : records)
        sam += text;
    TempDir dir;
    const std::string bam = dir.file("r.bam");
    testutil::samToBam(sam, bam, true);
    BamIO reader(bam.c_str());
    ASSERT_EQ(reader.openBam(), 0);

    const std::vector<std::string> regions = {"chr1:100-900",   "chr1:500-2500", "chr1:600-700", "chr1:3000-3100",
                                              "chr1:2400-4000", "chr1:4500-4600", "chr1:5990-7000"};
    struct Case { uint64_t recordBudget, sharedBudget; };
    for (const Case c : {Case{UINT64_MAX, UINT64_MAX}, Case{60, UINT64_MAX}, Case{UINT64_MAX, 10}}) {
        std::vector<FragmentMap> maps(regions.size());
        std::vector<std::unique_ptr<FragmentMapBuilder>> builders;
        std::vector<LocusRead> loci(regions.size());
        int tid = -1;
        for (std::size_t i = 0; i < regions.size(); ++i) {
            builders.push_back(std::make_unique<FragmentMapBuilder>(maps[i]));
            ASSERT_TRUE(reader.locate(regions[i], tid, loci[i].begin, loci[i].end));
            loci[i].fragments = &reader.fragmentBuffer(i);
            loci[i].consumer = builders[i].get();
            loci[i].recordBudget = c.recordBudget;
        }
        std::vector<std::size_t> doneOrder;
        reader.countAndReadLoci(tid, loci, c.sharedBudget, [&](std::size_t i) { doneOrder.push_back(i); });
        ASSERT_EQ(doneOrder.size(), regions.size());
        std::size_t incomplete = 0;
        std::size_t left = 0;
        for (std::size_t i = 0; i < regions.size(); ++i) {
            SCOPED_TRACE(regions[i] + " budgets " + std::to_string(c.recordBudget) + "/" + std::to_string(c.sharedBudget));
            left += loci[i].left;
            // A locus leaves as soon as the loci beside the first hold the budget.
            if (loci[i].left) {
                EXPECT_LE(loci[i].stats.total, c.sharedBudget + regions.size());
                continue;
            }
            const t_flagStats own = reader.nrProperlyPairedFrags(regions[i].c_str());
            const t_flagStats& s = loci[i].stats;
            EXPECT_EQ(std::vector<uint64_t>({s.total, s.mapped, s.properlyPaired, s.singletons, s.read1, s.read2}),
                      std::vector<uint64_t>({own.total, own.mapped, own.properlyPaired, own.singletons, own.read1, own.read2}));
            EXPECT_EQ(loci[i].complete, own.total <= c.recordBudget);
            incomplete += !loci[i].complete;
            if (!loci[i].complete)
                continue;
            FragmentMap alone;
            reader.readBam(regions[i], alone);
            EXPECT_EQ(describe(maps[i]), describe(alone));
        }
        // Each case must reach what it is about.
        EXPECT_EQ(incomplete > 0, c.recordBudget != UINT64_MAX);
        EXPECT_EQ(left > 0, c.sharedBudget != UINT64_MAX);
        EXPECT_FALSE(loci[0].left) << "the locus that begins first has no reason to leave";
    }
}

// Whole runs on a BAM file in each state a user may hand over.
TEST(BamFiles, RunOpensIndexesSortsOrRefusesTheAlignmentFile)
{
    const std::string oneRead = kHeader + samRecord("a", 0, "chr1", 100, "50M");
    const std::string threeReferences = kHeader + "@SQ\tSN:chr3\tLN:50000\n" + samRecord("a", 0, "chr1", 100, "50M");
    // b.bam indexed, a.bam given b's index.
    const auto indexOf = [](const std::string& indexed, const std::string& given) {
        return [=](const TempDir& d) {
            testutil::samToBam(indexed, d.file("b.bam"), true);
            testutil::samToBam(given, d.file("a.bam"), false);
            fs::copy_file(d.file("b.bam.bai"), d.file("a.bam.bai"));
        };
    };
    const std::set<std::string> withOtherIndex = {"a.bam", "a.bam.bai", "b.bam", "b.bam.bai", "g.gtf"};
    struct Row {
        std::string name;
        std::function<void(const TempDir&)> prepare;
        std::string bamArgument;
        int status;
        std::string message;  // on standard error, or standard output when the run succeeds
        std::set<std::string> files;
    };
    const std::vector<Row> rows = {
        {"indexed", [&](const TempDir& d) { testutil::samToBam(oneRead, d.file("a.bam"), true); }, "a.bam", 0,
         "\n\n> Alignments are loaded.\n",  // neither sorted nor indexed
         {"a.bam", "a.bam.bai", "g.gtf", "out"}},
        {"unsorted", [&](const TempDir& d) { testutil::samToBam(kUnsorted, d.file("a.bam"), false); }, "a.bam", 0,
         "Sorting the alignments.\n", {"a.bam", "a.sorted.bam", "a.sorted.bam.bai", "g.gtf", "out"}},
        {"reference beyond the BAI range",
         [](const TempDir& d) {
             testutil::samToBam("@SQ\tSN:chr1\tLN:1500000000\n" + samRecord("a", 0, "chr1", 100, "50M"), d.file("a.bam"), false);
         }, "a.bam", 0, "Creating the index file.\n", {"a.bam", "a.bam.csi", "g.gtf", "out"}},
        {"missing", [](const TempDir&) {}, "a.bam", 1, "Error 101", {"g.gtf"}},
        {"sam", [&](const TempDir& d) { testutil::writeText(d.file("a.sam"), oneRead); }, "a.sam", 1,
         "a.sam is a SAM file; kestrove needs BAM", {"a.sam", "g.gtf"}},
        {"index place taken",
         [&](const TempDir& d) {
             testutil::samToBam(oneRead, d.file("a.bam"), false);
             fs::create_directory(d.file("a.bam.bai"));
             testutil::writeText(d.file("a.bam.bai/keep"), "");
         }, "a.bam", 1, "Cannot write the index file", {"a.bam", "a.bam.bai", "g.gtf"}},
        {"index of a BAM with fewer references", indexOf(oneRead, threeReferences), "a.bam", 1, "Error 103", withOtherIndex},
        {"index of a BAM with more references", indexOf(threeReferences, oneRead), "a.bam", 1, "Error 103", withOtherIndex},
        {"sorted copy's place taken",
         [](const TempDir& d) {
             testutil::samToBam(kUnsorted, d.file("a.bam"), false);
             fs::create_directory(d.file("a.sorted.bam"));
             testutil::writeText(d.file("a.sorted.bam/keep"), "");
         }, "a.bam", 1, "Error 111: Failed to sort the BAM file", {"a.bam", "a.sorted.bam", "g.gtf"}},
    };
    for (const Row& row : rows) {
        TempDir dir;
        testutil::writeText(dir.file("g.gtf"), testutil::exon("chr1", 50, 1500, "G", "T"));
        row.prepare(dir);
        const auto result = testutil::kestroveIn(dir.path(), "-G g.gtf -o out -B " + row.bamArgument);
        EXPECT_EQ(result.status, row.status) << row.name << "\n" << result.err;
        EXPECT_TRUE(testutil::contains(row.status == 0 ? result.out : result.err, row.message))
            << row.name << "\n" << result.out << result.err;
        // A failure is told once.
        EXPECT_EQ(occurrences(result.err, "Error 1"), row.status == 0 ? 0u : 1u) << row.name << "\n" << result.err;
        EXPECT_EQ(testutil::filesIn(dir.path()), row.files) << row.name;
    }
}

// Where the results go is settled before an unsorted BAM file is sorted: a folder that
// cannot be made stops the run with nothing written, "." and ".." are folders like any other.
TEST(BamFiles, OutputFolderIsCheckedBeforeTheAlignmentsAreSorted)
{
    struct Row {
        std::string arguments;
        int status;
        std::string message;           // on standard error
        std::set<std::string> files;   // in the folder of the inputs
    };
    const std::set<std::string> inputs = {"a.bam", "g.gtf", "run", "a-file"};
    const std::set<std::string> sorted = {"a.bam", "g.gtf", "run", "a-file", "a.sorted.bam", "a.sorted.bam.bai"};
    std::set<std::string> resultsHere = sorted;
    resultsHere.insert({"genes_summary_a.sorted.dat", "transcripts_summary_a.sorted.dat", "provenance_a.sorted.json",
                        "mixtures_a.sorted.dat"});
    const std::string kCompleted = "> Quantification completed 100%";
    std::set<std::string> resultsInOut = sorted;
    resultsInOut.insert("out");
    const std::vector<Row> rows = {
        {"-o ..", 0, kCompleted, resultsHere}, {"-o ../", 0, kCompleted, resultsHere},
        {"-o ../out/.", 0, kCompleted, resultsInOut}, {"-o ../out/x/..", 0, kCompleted, resultsInOut},
        {"-o /proc/kestrove-out", 1, "Error: output directory /proc/kestrove-out cannot be created", inputs},
        {"-o ../out -l", 1, "../out/logfiles exists and is not a directory", {"a.bam", "g.gtf", "run", "a-file", "out"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.arguments);
        TempDir dir;
        testutil::writeText(dir.file("g.gtf"), testutil::exon("chr1", 50, 1500, "G", "T"));
        testutil::samToBam(kUnsorted, dir.file("a.bam"), false);
        testutil::writeText(dir.file("a-file"), "");
        fs::create_directory(dir.file("run"));
        if (row.arguments == "-o ../out -l") {
            fs::create_directory(dir.file("out"));
            testutil::writeText(dir.file("out/logfiles"), "");
        }
        const auto result = testutil::kestroveIn(dir.file("run"), "-G ../g.gtf -B ../a.bam " + row.arguments);
        EXPECT_EQ(result.status, row.status) << result.err;
        EXPECT_TRUE(testutil::contains(result.err, row.message)) << result.err;
        EXPECT_EQ(testutil::filesIn(dir.path()), row.files);
    }
}

} // namespace
