// How a run ends when something outside the program goes wrong: the output disk
// fills, the BAM file is cut short or its index does not describe it, the genes
// list names genes the annotation lacks, the process is interrupted. What a user
// must see: one clear message, exit status 1, and no summary under its final name
// that looks complete but is not.

#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "TestUtil.h"

namespace fs = boost::filesystem;
using testutil::contains;
using testutil::quoted;
using testutil::readText;

namespace {

std::string kestrove() { return quoted(testutil::kestroveExe()); }

// Offsets of the BGZF blocks of a file, each block starting with its gzip header
// whose extra field gives the block's size.
std::vector<uint64_t> bgzfBlockOffsets(const std::string& path)
{
    const std::string bytes = readText(path);
    std::vector<uint64_t> offsets;
    uint64_t at = 0;
    while (at + 18 <= bytes.size()) {
        const auto byte = [&](uint64_t i) { return static_cast<uint8_t>(bytes[at + i]); };
        if (byte(0) != 0x1f || byte(1) != 0x8b || byte(2) != 8 || byte(3) != 4)
            break;
        offsets.push_back(at);
        at += (static_cast<uint64_t>(byte(16)) | static_cast<uint64_t>(byte(17)) << 8) + 1;
    }
    return offsets;
}

class Faults : public testing::Test {
protected:
    testutil::CommandResult quantify(const std::string& options = "")
    {
        return testutil::kestroveIn(dir.path(), "-G a.gtf -B a.bam -o out " + options);
    }
    testutil::TempDir dir;
};

} // namespace

// A summary whose name is taken by a directory fails the run, and the rows of the
// run are kept aside.
TEST_F(Faults, SummaryThatCannotBeReplacedFailsTheRun)
{
    testutil::simulate(dir.file("a"), "--genes 5 --fragments 2000 --seed 11");
    fs::create_directories(dir.file("out/genes_summary_a.dat"));
    const auto result = quantify();
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_TRUE(contains(result.err, "[writeFinalResults] fail to write file > out/genes_summary_a.dat (Is a directory)"))
        << result.err;
    // No new transcript summary beside a missing gene summary; the run's rows are
    // kept aside complete: one row per transcript of the truth table, after the header.
    EXPECT_FALSE(testutil::exists(dir.file("out/transcripts_summary_a.dat")));
    EXPECT_EQ(testutil::lines(readText(dir.file("out/transcripts_summary_a.dat.partial"))).size(),
              testutil::lines(readText(dir.file("a.truth.tsv"))).size());
}

TEST_F(Faults, BamThatItsIndexDoesNotDescribeIsRefusedByName)
{
    testutil::simulate(dir.file("a"), "--genes 40 --fragments 60000 --seed 12");
    testutil::simulate(dir.file("b"), "--genes 40 --fragments 30000 --seed 14");
    for (const std::string name : {"a.bam", "a.bam.bai"})
        fs::copy_file(dir.file(name), dir.file("keep-" + name));
    const std::vector<uint64_t> blocks = bgzfBlockOffsets(dir.file("a.bam"));
    ASSERT_GT(blocks.size(), 10u);
    struct Row {
        std::string name;
        uint64_t cut;  // bytes of a.bam kept, 0 for all
        bool keepIndex;
        std::string other;  // a file of b copied over a's
        std::vector<std::string> messages;
        std::string options = "";
    };
    // Nothing is written: no output directory, and no index of a cut file, which
    // would make the next run read it as complete.
    const std::vector<Row> rows = {
        {"cut at a block boundary", blocks[blocks.size() / 2], true, "",
         {"a.bam and its index a.bam.bai disagree", "Either the BAM file is truncated",
          "Error 103: Failed to open the BAM index file"}},
        {"cut inside a block", blocks[blocks.size() / 2] + 1000, true, "",
         {" of a.bam: the BAM file is truncated or corrupted", "Error 105"}},
        {"cut without index", blocks[blocks.size() / 2], false, "", {"a.bam is truncated: its end-of-file marker is missing"}},
        {"index of another file", 0, true, "b.bam.bai", {"a.bam", "index belongs to another file"}},
        // A worker thread that meets the cut ends the run alike.
        {"cut inside a block, threads", blocks[blocks.size() / 2] + 1000, true, "", {"Error 105"}, "--threads 2"},
    };
    for (const Row& row : rows) {
        for (const std::string name : {"a.bam", "a.bam.bai"})
            fs::copy_file(dir.file("keep-" + name), dir.file(name), fs::copy_option::overwrite_if_exists);
        if (row.cut != 0)
            fs::resize_file(dir.file("a.bam"), row.cut);
        if (!row.other.empty())
            fs::copy_file(dir.file(row.other), dir.file("a" + row.other.substr(1)), fs::copy_option::overwrite_if_exists);
        // The index stays newer than the cut file: an older one would be rebuilt instead.
        if (row.keepIndex)
            fs::last_write_time(dir.file("a.bam.bai"), fs::last_write_time(dir.file("a.bam")) + 60);
        else
            fs::remove(dir.file("a.bam.bai"));
        const auto result = testutil::kestroveIn(dir.path(), "-G a.gtf -B a.bam -o out " + row.options,
                                                 testutil::kestroveDevExe());
        EXPECT_EQ(result.status, 1) << row.name;
        for (const std::string& message : row.messages)
            EXPECT_TRUE(contains(result.err, message)) << row.name << "\n" << result.err;
        EXPECT_FALSE(!row.keepIndex && contains(result.err, "[W::")) << row.name << "\n" << result.err;
        EXPECT_EQ(testutil::exists(dir.file("a.bam.bai")), row.keepIndex) << row.name;
        EXPECT_FALSE(testutil::exists(dir.file("out"))) << row.name;
    }
}

TEST_F(Faults, GenesListNamingAbsentGenesIsExplained)
{
    testutil::simulate(dir.file("a"), "--genes 5 --fragments 5000 --seed 16");
    struct Row {
        std::string list;
        std::string options;
        int status;
        std::string message;
        std::string genes;  // ids in the gene summary, which a failed run does not write
    };
    const std::vector<Row> rows = {
        {"SIMG00002\nNOPE1\nNOPE2\nNOPE3\nNOPE4\nNOPE5\nNOPE6\nNOPE7\nSIMG00004\n", "-L list.txt", 0,
         "Warning: 7 of the 9 genes in the genes list are not in a.gtf: NOPE1, NOPE2, NOPE3, NOPE4, NOPE5 and 2 more\n",
         "SIMG00002 SIMG00004 "},
        {"simg00001\nSIMG1\n", "-L list.txt", 1, "Warning: 2 of the 2 genes in the genes list are not in a.gtf: SIMG1, simg00001\n", ""},
        {"SIMG00001\r\nSIMG00003\r\n", "-L list.txt", 1, "The genes list has Windows line ends", ""},
        {"", "-L list.txt", 1, "List of the genes is empty!\n", ""},
        {"SIMG00001\n", "-L .", 1, "[initialize] fail to open file > . (is a directory)\n", ""},
        {"SIMG00001\nSIMG0002\nSIMG00003\nSIMG00004\n", "-L list.txt --exclude-genes", 0,
         "Warning: 1 of the 4 genes in the genes list is not in a.gtf: SIMG0002\n", "SIMG00002 SIMG00005 "},
    };
    for (const Row& row : rows) {
        fs::remove_all(dir.file("out"));
        testutil::writeText(dir.file("list.txt"), row.list);
        const auto result = quantify(row.options);
        EXPECT_EQ(result.status, row.status) << row.message << result.err;
        EXPECT_TRUE(contains(result.err, row.message)) << result.err;
        EXPECT_EQ(testutil::column(dir.file("out/genes_summary_a.dat"), "gene_ID"), row.genes) << row.message;
        EXPECT_EQ(testutil::exists(dir.file("out/genes_summary_a.dat")), row.status == 0) << row.message;
    }
}

TEST_F(Faults, InterruptionSetsTheTranscriptSummaryAsideAndEndsWithStatusOne)
{
    testutil::simulate(dir.file("a"), "--genes 100 --fragments 60000 --seed 17");
    for (const auto& [signal, announcement] : std::vector<std::pair<std::string, std::string>>{
             {"INT", "\nInterrupted (SIGINT): the run did not finish.\n"},
             {"TERM", "\nTerminated (SIGTERM): the run did not finish.\n"}}) {
        fs::remove_all(dir.file("out"));
        // Every gene runs all its EM iterations, so the gene pass lasts seconds; the
        // signal goes out as soon as the first gene is announced on the error stream,
        // which is read through a pipe and kept whole.
        const std::string script = "rm -f stdout stderr; { sh -c 'echo $$ > pid; exec \"$@\" > stdout' sh env --default-signal=INT "
            + kestrove() + " -G a.gtf -B a.bam -o out -i 1000 -T 1e-9 -q 0; echo $? > status; } 2>&1 "
            "| tee -p stderr | { grep -m1 -q 'Processing gene'; kill -" + signal + " $(cat pid); }";
        testutil::run("cd " + quoted(dir.path()) + " && " + script);
        const std::string err = readText(dir.file("stderr"));
        ASSERT_EQ(readText(dir.file("status")), "1\n") << "the run was not interrupted in time: " << err;
        EXPECT_TRUE(contains(err, announcement)) << err;
        EXPECT_TRUE(contains(err, "The transcript summary written so far is kept as out/transcripts_summary_a.dat.partial"));
        // Neither summary under its final name, no temporary file left, and what was
        // appended during the gene pass kept under ".partial".
        EXPECT_EQ(testutil::filesIn(dir.file("out")), (std::set<std::string>{"transcripts_summary_a.dat.partial"}));
        EXPECT_EQ(readText(dir.file("out/transcripts_summary_a.dat.partial")).rfind("tracking_ID\tgene_ID\t", 0), 0u);
        EXPECT_FALSE(contains(err, "Quantification completed"));
    }
}
