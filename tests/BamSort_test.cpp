#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <htslib/sam.h>

#include "alignments/BamSort.h"
#include "util/Units.h"
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
        const BamSortResult result = sortBamByCoordinate(dir.file("in.bam"), dir.file("out.bam"),
                                                         row.memory == 0 ? defaultSortMemory() : row.memory, true);
        ASSERT_EQ(result.status, BamSortStatus::ok) << result.message;
        EXPECT_EQ(result.indexPath, dir.file("out.bam.bai"));
        EXPECT_GE(result.spilledRuns, row.minRuns) << row.records;
        EXPECT_LE(result.spilledRuns, row.maxRuns) << row.records;
        std::string header;
        const auto sorted = testutil::bamRecords(dir.file("out.bam"), &header);
        std::vector<std::string> names, lines = testutil::bamRecords(dir.file("in.bam")), sortedLines = sorted;
        for (const std::string& record : sorted)
            names.push_back(record.substr(0, record.find('\t')));
        EXPECT_EQ(names, expectedOrder(records)) << row.records;
        std::sort(lines.begin(), lines.end());
        std::sort(sortedLines.begin(), sortedLines.end());
        EXPECT_EQ(sortedLines, lines) << row.records;
        EXPECT_EQ(header.rfind("@HD\tVN:1.6\tSO:coordinate\n", 0), 0u) << header;
        EXPECT_TRUE(testutil::contains(header, "@PG\tID:aligner"));
        EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"in.bam", "out.bam", "out.bam.bai"}));
        // The index written with the output is the one htslib builds from it afterwards.
        ASSERT_EQ(sam_index_build2(dir.file("out.bam").c_str(), dir.file("afterwards.bai").c_str(), 0), 0);
        EXPECT_EQ(testutil::readText(dir.file("out.bam.bai")), testutil::readText(dir.file("afterwards.bai")));
    }
}

TEST(SortMemory, SizesTakeBinaryUnitsAndRefuseTheRest)
{
    const struct {
        std::string text;
        std::size_t bytes;  // 0: refused
    } cases[] = {
        {"512M", std::size_t{512} << 20}, {"2G", std::size_t{2} << 30}, {"2g", std::size_t{2} << 30},
        {"1024K", std::size_t{1} << 20},  {"3GB", std::size_t{3} << 30}, {"1T", std::size_t{1} << 40},
        {"1023K", 0}, {"512", 0}, {"M", 0}, {"1.5G", 0}, {"-1G", 0}, {"2 G", 0}, {"2GiB", 0}, {"", 0},
        {"99999999999999T", 0},
    };
    for (const auto& c : cases) {
        std::size_t bytes = 7;
        EXPECT_EQ(units::parseByteSize(c.text, bytes), c.bytes != 0) << c.text;
        EXPECT_EQ(bytes, c.bytes != 0 ? c.bytes : 7) << c.text;
    }
}

// The bound holds for all the sort takes, not only for its records: htslib's buffers
// and the index written with the output count against it. Measured in a child, from
// its peak resident memory against what it held before.
TEST(SortMemory, PeakStaysUnderTheBound)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' shadow memory counts as resident";
#endif
    TempDir dir;
    {
        // 48 MB of records, 1.5 times the bound, spliced or not.
        std::mt19937 rng(4);
        const std::string bases(2000, 'A'), qualities(2000, 'I');
        std::string sam = kHeader;
        for (int i = 0; i < 16000; ++i)
            sam += "r" + std::to_string(i) + "\t0\tchr" + std::to_string(1 + rng() % 2) + "\t"
                + std::to_string(1 + rng() % 90000) + "\t60\t" + (i % 4 == 0 ? "1000M5000N1000M" : "2000M")
                + "\t*\t0\t0\t" + bases + "\t" + qualities + "\n";
        testutil::samToBam(sam, dir.file("in.bam"), false);
    }
    const auto kilobytes = [](const std::string& key) {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind(key, 0) == 0)
                return std::stoll(line.substr(key.size()));
        return -1LL;
    };
    constexpr std::size_t kBound = std::size_t{32} << 20;
    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const long long before = kilobytes("VmRSS:");
        const BamSortResult result = sortBamByCoordinate(dir.file("in.bam"), dir.file("out.bam"), kBound, true);
        const long long grown = result.status == BamSortStatus::ok && result.spilledRuns > 0
            ? kilobytes("VmHWM:") - before : -1;
        ::_exit(::write(channel[1], &grown, sizeof grown) == sizeof grown ? 0 : 1);
    }
    long long grown = -1;
    EXPECT_EQ(::read(channel[0], &grown, sizeof grown), static_cast<ssize_t>(sizeof grown));
    ::waitpid(child, nullptr, 0);
    for (int end : channel)
        ::close(end);
    EXPECT_GT(grown, 0);
    EXPECT_LE(static_cast<std::size_t>(grown) << 10, kBound);
    EXPECT_EQ(sam_index_build2(dir.file("out.bam").c_str(), dir.file("afterwards.bai").c_str(), 0), 0);
    EXPECT_EQ(testutil::readText(dir.file("out.bam.bai")), testutil::readText(dir.file("afterwards.bai")));
}

// Under an address-space limit (ulimit -v) the default leaves room for the rest of the
// process; measured in a child, whose limit ends with it.
TEST(SortMemory, DefaultFitsUnderTheAddressSpaceLimit)
{
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    statm >> pages;
    const std::size_t mapped = pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    for (const std::size_t room : {std::size_t{64} << 20, std::size_t{256} << 20, std::size_t{1} << 30}) {
        int channel[2];
        ASSERT_EQ(::pipe(channel), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            const rlimit limit{mapped + room, mapped + room};
            std::size_t memory = ::setrlimit(RLIMIT_AS, &limit) == 0 ? defaultSortMemory() : 0;
            ::_exit(::write(channel[1], &memory, sizeof memory) == sizeof memory ? 0 : 1);
        }
        std::size_t memory = 0;
        EXPECT_EQ(::read(channel[0], &memory, sizeof memory), static_cast<ssize_t>(sizeof memory));
        ::waitpid(child, nullptr, 0);
        for (int end : channel)
            ::close(end);
        EXPECT_GE(memory, std::size_t{16} << 20) << room;
        EXPECT_LE(memory, std::max(room / 2, std::size_t{16} << 20)) << room;
    }
    EXPECT_LE(defaultSortMemory(), std::size_t{768} << 20);
}

// A run's scratch files are its own for as long as it lives, whatever its process id
// says to another run; a killed run's are anybody's to remove.
TEST(ScratchFiles, CleanUpTakesOnlyFilesNoLiveRunHolds)
{
    TempDir dir;
    const std::string target = dir.file("a.sorted.bam");
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // Left without its destructor, as a killed run leaves them.
        auto* held = new ScratchFiles(target);
        std::string names = held->create() + "\n" + held->create();
        char go = 0;
        ::_exit(::write(ready[1], names.data(), names.size()) < 0 || ::read(release[0], &go, 1) < 0 ? 1 : 0);
    }
    char buffer[8192] = {};
    ASSERT_GT(::read(ready[0], buffer, sizeof buffer - 1), 0);
    const std::vector<std::string> held = testutil::lines(buffer);
    ASSERT_EQ(held.size(), 2u);

    const struct { std::string name; bool keptWhileHeld; } cases[] = {
        {held[0].substr(dir.path().size() + 1), true}, {held[1].substr(dir.path().size() + 1), true},
        // Unlocked: a live process id in the name does not keep it.
        {"a.sorted.bam.tmp." + std::to_string(::getpid()) + ".0", false}, {"a.sorted.bam.tmp.1.0", false},
        {"a.sorted.bam.tmp.", false}, {"a.sorted.bam", true}, {"b.sorted.bam.tmp.1.0", true},
        {"a.sorted.bam.bai", true},
    };
    for (const auto& c : cases)
        if (!testutil::exists(dir.file(c.name)))
            testutil::writeText(dir.file(c.name), "x");
    {
        ScratchFiles second(target);
        const std::string own = second.create();
        EXPECT_TRUE(testutil::exists(own));
        for (const auto& c : cases)
            EXPECT_EQ(testutil::exists(dir.file(c.name)), c.keptWhileHeld) << c.name;
    }
    ASSERT_EQ(::write(release[1], "x", 1), 1);
    ::waitpid(child, nullptr, 0);
    for (int end : {ready[0], ready[1], release[0], release[1]})
        ::close(end);
    // Once the holder is gone its files are stale too.
    ScratchFiles third(target);
    EXPECT_EQ(filesIn(dir.path()), (std::set<std::string>{"a.sorted.bam", "a.sorted.bam.bai", "b.sorted.bam.tmp.1.0"}));
}

} // namespace
