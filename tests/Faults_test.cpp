// How a run ends when something outside the program goes wrong: the output disk
// fills, the BAM file is cut short or its index does not describe it, the genes
// list names genes the annotation lacks, the process is interrupted, memory runs
// out. Each case drives the real executable and checks what a user would see: one
// clear message on standard error, exit status 1, and no summary under its final
// name that looks complete but is not.

#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "TestUtil.h"

namespace fs = boost::filesystem;
using testutil::run;

namespace {

// Memory limits (ulimit -v) cannot be combined with the sanitizers' shadow memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

std::string quoted(const std::string& text) { return "'" + text + "'"; }

std::string kestrove() { return quoted(testutil::kestroveExe()); }

// A simulated experiment: name.gtf, name.bam and its index in dir.
void simulate(const testutil::TempDir& dir, const std::string& name, int genes, int fragments, int seed)
{
    auto result = run(quoted(testutil::toolPath("simulate")) + " --genes " + std::to_string(genes) + " --fragments "
                      + std::to_string(fragments) + " --seed " + std::to_string(seed) + " --gtf "
                      + quoted(dir.file(name + ".gtf")) + " --bam " + quoted(dir.file(name + ".bam")) + " --truth "
                      + quoted(dir.file(name + ".truth")));
    ASSERT_EQ(result.status, 0) << result.err;
}

std::set<std::string> entries(const std::string& directory)
{
    std::set<std::string> names;
    boost::system::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec))
        names.insert(it->path().filename().string());
    return names;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Offsets of the BGZF blocks of a file, each block starting with its gzip header
// whose extra field gives the block's size.
std::vector<uint64_t> bgzfBlockOffsets(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

const char* const kRunTimeHeader = "tracking_ID\tgene_ID\tgene_name\tlocus\tlength\tfragment_validity_coverage\t"
                                   "abundance\tfrags_locus\tfrags_expt\tFPKM_THN";

// After a failed run: neither summary under its final name, no temporary file
// left, and what was appended during the gene pass kept under ".partial".
void expectOnlyPartialSummary(const std::set<std::string>& outputFiles, const std::string& partialText)
{
    EXPECT_EQ(outputFiles, (std::set<std::string>{"transcripts_summary_a.dat.partial"}));
    EXPECT_EQ(partialText.rfind(kRunTimeHeader, 0), 0u) << partialText.substr(0, 200);
}

class Faults : public testing::Test {
protected:
    testutil::TempDir dir;
};

} // namespace

// ---------------------------------------------------------------------------
// The output disk fills during the run.

TEST_F(Faults, FullOutputDiskFailsTheRunAndKeepsNoSummaryUnderItsFinalName)
{
    if (::geteuid() != 0 || run("unshare -m true").status != 0)
        GTEST_SKIP() << "needs root to mount a small file system in a private mount namespace";
    simulate(dir, "a", 60, 20000, 11);
    fs::create_directories(dir.file("disk"));
    // The mount exists only inside the namespace, so the outcome is listed from there.
    const std::string script = "mount -t tmpfs -o size=12k tmpfs " + quoted(dir.file("disk")) + " || exit 99; "
                               + kestrove() + " -G " + quoted(dir.file("a.gtf")) + " -B " + quoted(dir.file("a.bam"))
                               + " -o " + quoted(dir.file("disk/out")) + " > " + quoted(dir.file("stdout"))
                               + "; status=$?; ls -A " + quoted(dir.file("disk/out")) + " > "
                               + quoted(dir.file("listing")) + "; head -c 200 "
                               + quoted(dir.file("disk/out/transcripts_summary_a.dat.partial")) + " > "
                               + quoted(dir.file("partial")) + "; exit $status";
    auto result = run("unshare -m sh -c " + quoted(script));
    if (result.status == 99)
        GTEST_SKIP() << "tmpfs cannot be mounted here";

    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_TRUE(contains(result.err, "[logTrans] fail to write file > " + dir.file("disk/out/transcripts_summary_a.dat")
                                         + " (No space left on device)"))
        << result.err;
    EXPECT_TRUE(contains(result.err, "[writeFinalResults] fail to write file > ")) << result.err;
    EXPECT_TRUE(contains(result.err, "kept as " + dir.file("disk/out/transcripts_summary_a.dat.partial")))
        << result.err;
    EXPECT_FALSE(contains(testutil::readText(dir.file("stdout")), "Quantification completed"));
    std::set<std::string> listed;
    for (const std::string& name : lines(testutil::readText(dir.file("listing"))))
        listed.insert(name);
    expectOnlyPartialSummary(listed, testutil::readText(dir.file("partial")));
}

TEST_F(Faults, FileSizeLimitFailsTheRunAndKeepsNoSummaryUnderItsFinalName)
{
    simulate(dir, "a", 60, 20000, 11);
    // bash counts ulimit -f in KiB; the limit is hit by the summaries, not before.
    auto result = run("cd " + quoted(dir.path()) + " && bash -c " + quoted("ulimit -f 12; exec " + kestrove()
                                                                              + " -G a.gtf -B a.bam -o out > /dev/null"));
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_TRUE(contains(result.err, "(File too large)")) << result.err;
    EXPECT_TRUE(contains(result.err, "[writeFinalResults] fail to write file > ")) << result.err;
    expectOnlyPartialSummary(entries(dir.file("out")),
                             testutil::readText(dir.file("out/transcripts_summary_a.dat.partial")));
}

// ---------------------------------------------------------------------------
// The BAM file is cut short.

TEST_F(Faults, BamCutAtABlockBoundaryIsRefusedByName)
{
    simulate(dir, "a", 40, 60000, 12);
    const std::vector<uint64_t> blocks = bgzfBlockOffsets(dir.file("a.bam"));
    ASSERT_GT(blocks.size(), 10u);
    // A cut at a block boundary leaves only whole blocks: nothing fails to decompress.
    fs::resize_file(dir.file("a.bam"), blocks[blocks.size() / 2]);
    auto result = run("cd " + quoted(dir.path()) + " && " + kestrove() + " -G a.gtf -B a.bam -o out");
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(contains(result.err, "a.bam and its index a.bam.bai disagree")) << result.err;
    EXPECT_TRUE(contains(result.err, "Either the BAM file is truncated")) << result.err;
    EXPECT_TRUE(contains(result.err, "Error 103: Failed to open the BAM index file")) << result.err;
    EXPECT_FALSE(fs::exists(dir.file("out")));
}

TEST_F(Faults, BamCutInsideABlockIsRefusedByName)
{
    simulate(dir, "a", 40, 60000, 12);
    const std::vector<uint64_t> blocks = bgzfBlockOffsets(dir.file("a.bam"));
    ASSERT_GT(blocks.size(), 10u);
    fs::resize_file(dir.file("a.bam"), blocks[blocks.size() / 2] + 1000);
    auto result = run("cd " + quoted(dir.path()) + " && " + kestrove() + " -G a.gtf -B a.bam -o out");
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(contains(result.err, " of a.bam: the BAM file is truncated or corrupted")) << result.err;
    EXPECT_TRUE(contains(result.err, "Error 105")) << result.err;
    EXPECT_FALSE(fs::exists(dir.file("out")));
}

TEST_F(Faults, BamCutShortWithoutIndexIsRefusedBeforeAnIndexIsWritten)
{
    simulate(dir, "a", 40, 60000, 12);
    fs::remove(dir.file("a.bam.bai"));
    const std::vector<uint64_t> blocks = bgzfBlockOffsets(dir.file("a.bam"));
    ASSERT_GT(blocks.size(), 10u);
    fs::resize_file(dir.file("a.bam"), blocks[blocks.size() / 2]);
    auto result = run("cd " + quoted(dir.path()) + " && " + kestrove() + " -G a.gtf -B a.bam -o out");
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(contains(result.err, "a.bam is truncated: its end-of-file marker is missing")) << result.err;
    // An index of the cut file would make the next run read it as complete.
    EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"a.bam", "a.gtf", "a.truth"}));
}

// ---------------------------------------------------------------------------
// The index does not describe the BAM file beside it.

TEST_F(Faults, IndexOfAnotherBamFileIsRefused)
{
    simulate(dir, "a", 40, 20000, 13);
    simulate(dir, "b", 40, 20000, 14);
    fs::copy_file(dir.file("b.bam.bai"), dir.file("a.bam.bai"), fs::copy_option::overwrite_if_exists);
    auto result = run("cd " + quoted(dir.path()) + " && " + kestrove() + " -G a.gtf -B a.bam -o out");
    EXPECT_EQ(result.status, 1);
    // Read through the wrong index, the file either yields other counts or fails to decompress.
    EXPECT_TRUE(contains(result.err, "a.bam")) << result.err;
    EXPECT_TRUE(contains(result.err, "index belongs to another file")) << result.err;
    EXPECT_FALSE(fs::exists(dir.file("out")));
}

TEST_F(Faults, IndexOlderThanAChangedBamFileIsRefused)
{
    simulate(dir, "a", 40, 20000, 13);
    simulate(dir, "b", 40, 30000, 14);
    // The BAM file is replaced after it was indexed; its old index stays.
    fs::copy_file(dir.file("b.bam"), dir.file("a.bam"), fs::copy_option::overwrite_if_exists);
    fs::last_write_time(dir.file("a.bam.bai"), fs::last_write_time(dir.file("a.bam")) - 60);
    auto result = run("cd " + quoted(dir.path()) + " && " + kestrove() + " -G a.gtf -B a.bam -o out");
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(contains(result.err, "(it is older than the BAM file, which may have changed since it was indexed)"))
        << result.err;
    EXPECT_TRUE(contains(result.err, "samtools index a.bam")) << result.err;
    EXPECT_FALSE(fs::exists(dir.file("out")));
}

TEST_F(Faults, IndexOlderThanAnUnchangedBamFileServesTheRunUnchanged)
{
    simulate(dir, "a", 30, 20000, 15);
    auto fresh = run("cd " + quoted(dir.path()) + " && " + kestrove() + " -G a.gtf -B a.bam -o fresh");
    ASSERT_EQ(fresh.status, 0) << fresh.err;
    // A copy that did not keep the file times: same bytes, index now the older file.
    fs::last_write_time(dir.file("a.bam.bai"), fs::last_write_time(dir.file("a.bam")) - 3600);
    auto older = run("cd " + quoted(dir.path()) + " && " + kestrove() + " -G a.gtf -B a.bam -o older");
    ASSERT_EQ(older.status, 0) << older.err;
    EXPECT_EQ(testutil::readText(dir.file("older/genes_summary_a.dat")),
              testutil::readText(dir.file("fresh/genes_summary_a.dat")));
    EXPECT_EQ(testutil::readText(dir.file("older/transcripts_summary_a.dat")),
              testutil::readText(dir.file("fresh/transcripts_summary_a.dat")));
}

// ---------------------------------------------------------------------------
// The genes list names genes that the annotation lacks.

TEST_F(Faults, GenesListNamingAbsentGenesNamesTheFirstFiveAndRunsTheRest)
{
    simulate(dir, "a", 5, 5000, 16);
    testutil::writeText(dir.file("list.txt"),
                        "SIMG00002\nNOPE1\nNOPE2\nNOPE3\nNOPE4\nNOPE5\nNOPE6\nNOPE7\nSIMG00004\n");
    auto result = run("cd " + quoted(dir.path()) + " && " + kestrove() + " -G a.gtf -B a.bam -o out -L list.txt");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(contains(result.err, "Warning: 7 of the 9 genes in the genes list are not in a.gtf: NOPE1, NOPE2, "
                                     "NOPE3, NOPE4, NOPE5 and 2 more\n"))
        << result.err;
    const auto rows = lines(testutil::readText(dir.file("out/genes_summary_a.dat")));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].rfind("SIMG00002\t", 0), 0u);
    EXPECT_EQ(rows[2].rfind("SIMG00004\t", 0), 0u);
}

TEST_F(Faults, GenesListNamingNoGeneOfTheAnnotationEndsTheRun)
{
    simulate(dir, "a", 5, 5000, 16);
    testutil::writeText(dir.file("list.txt"), "simg00001\nSIMG1\n");
    auto result = run("cd " + quoted(dir.path()) + " && " + kestrove() + " -G a.gtf -B a.bam -o out -L list.txt");
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(contains(result.err, "Warning: 2 of the 2 genes in the genes list are not in a.gtf: SIMG1, simg00001\n"))
        << result.err;
    EXPECT_TRUE(contains(result.out, "\nThere are no genes to process.\n")) << result.out;
    EXPECT_FALSE(fs::exists(dir.file("out")));
}

TEST_F(Faults, GenesListWithWindowsLineEndsIsExplained)
{
    simulate(dir, "a", 5, 5000, 16);
    testutil::writeText(dir.file("list.txt"), "SIMG00001\r\nSIMG00003\r\n");
    auto result = run("cd " + quoted(dir.path()) + " && " + kestrove() + " -G a.gtf -B a.bam -o out -L list.txt");
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(contains(result.err, "2 of the 2 genes in the genes list are not in a.gtf: SIMG00001, SIMG00003\n"))
        << result.err;
    EXPECT_TRUE(contains(result.err, "The genes list has Windows line ends")) << result.err;
}

TEST_F(Faults, ExcludedGeneAbsentFromTheAnnotationIsNamed)
{
    simulate(dir, "a", 3, 3000, 16);
    testutil::writeText(dir.file("list.txt"), "SIMG00001\nSIMG0002\n");
    auto result = run("cd " + quoted(dir.path()) + " && " + kestrove()
                      + " -G a.gtf -B a.bam -o out -L list.txt --exclude-genes");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(contains(result.err, "Warning: 1 of the 2 genes in the genes list is not in a.gtf: SIMG0002\n"))
        << result.err;
    const auto rows = lines(testutil::readText(dir.file("out/genes_summary_a.dat")));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].rfind("SIMG00002\t", 0), 0u);
}

// ---------------------------------------------------------------------------
// The process is interrupted during the gene pass.

class Interruption : public testing::TestWithParam<std::pair<const char*, const char*>> {
protected:
    testutil::TempDir dir;
};

TEST_P(Interruption, SetsTheTranscriptSummaryAsideAndEndsWithStatusOne)
{
    const auto [signal, announcement] = GetParam();
    simulate(dir, "a", 100, 60000, 17);
    // Every gene runs all its EM iterations, so the gene pass lasts seconds; the
    // signal goes out as soon as the first gene is announced.
    // A shell starts background commands with SIGINT ignored, which the run respects.
    const std::string script = "env --default-signal=INT " + kestrove()
                               + " -G a.gtf -B a.bam -o out -i 1000 -T 1e-9 -q 0 > stdout 2> stderr & "
                               "pid=$!; i=0; "
                               "until grep -q \"Processing gene\" stdout 2>/dev/null || [ $i -ge 1200 ]; do "
                               "sleep 0.05; i=$((i+1)); done; "
                               "kill -" + std::string(signal) + " $pid; wait $pid; echo $? > status";
    auto result = run("cd " + quoted(dir.path()) + " && sh -c " + quoted(script));
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string err = testutil::readText(dir.file("stderr"));
    ASSERT_EQ(testutil::readText(dir.file("status")), "1\n") << "the run was not interrupted in time: " << err;
    EXPECT_TRUE(contains(err, announcement)) << err;
    EXPECT_TRUE(contains(err, "The transcript summary written so far is kept as out/transcripts_summary_a.dat.partial"))
        << err;
    expectOnlyPartialSummary(entries(dir.file("out")),
                             testutil::readText(dir.file("out/transcripts_summary_a.dat.partial")));
    EXPECT_FALSE(contains(testutil::readText(dir.file("stdout")), "Quantification completed"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Interruption,
    testing::Values(std::make_pair("INT", "\nInterrupted (SIGINT): the run did not finish.\n"),
                    std::make_pair("TERM", "\nTerminated (SIGTERM): the run did not finish.\n")),
    [](const testing::TestParamInfo<Interruption::ParamType>& info) { return std::string(info.param.first); });

// ---------------------------------------------------------------------------
// Memory runs out, or would without the locus size limit.

TEST_F(Faults, AllocationFailureInsideAGeneIsError110)
{
    if (kSanitized)
        GTEST_SKIP() << "a memory limit cannot be set under the sanitizers";
    simulate(dir, "small", 1, 200, 18);
    simulate(dir, "a", 1, 200000, 18);
    // The limit leaves room for a whole run on a small gene (under 16 MB of address space),
    // not for a gene of 200000 fragments (over 40 MB).
    const std::string limit = "ulimit -v 28000; exec ";
    auto small = run("cd " + quoted(dir.path()) + " && bash -c "
                     + quoted(limit + kestrove() + " -G small.gtf -B small.bam -o small"));
    ASSERT_EQ(small.status, 0) << "the memory limit is too tight for this machine: " << small.err;

    auto result = run("cd " + quoted(dir.path()) + " && bash -c "
                      + quoted(limit + kestrove() + " -G a.gtf -B a.bam -o out"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("Error 110: Memory allocation error\n", 0), 0u) << result.err;
    expectOnlyPartialSummary(entries(dir.file("out")),
                             testutil::readText(dir.file("out/transcripts_summary_a.dat.partial")));
}

TEST_F(Faults, LocusAboveMaxTotalFragsIsSkippedWithoutLoadingItsReads)
{
    if (kSanitized)
        GTEST_SKIP() << "a memory limit cannot be set under the sanitizers";
    simulate(dir, "a", 1, 200000, 18);
    auto result = run("cd " + quoted(dir.path()) + " && bash -c "
                      + quoted("ulimit -v 100000; exec " + kestrove() + " -G a.gtf -B a.bam -o out -x 1000"));
    ASSERT_EQ(result.status, 0) << result.err;
    const auto rows = lines(testutil::readText(dir.file("out/genes_summary_a.dat")));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].substr(rows[1].size() - 5), "\tFAIL");
}

TEST_F(Faults, ClusteringProfileOfAVeryLongTranscriptTakesNoMemoryPerBase)
{
    if (kSanitized)
        GTEST_SKIP() << "a memory limit cannot be set under the sanitizers";
    fs::create_directories(dir.file("results"));
    // Twenty million bases would take 160 MB as one double per base.
    const std::string head = "tracking_ID\tgene_ID\tgene_name\tlocus\tlength\tfragment_validity_coverage\tabundance\t"
                             "frags_locus\tfrags_expt\tFPKM_THN\tcomp_frags_locus\tcomp_frags_expt\tFPKM_CHN\n";
    testutil::writeText(dir.file("results/transcripts_summary_x.dat"),
                        head + "T1\tG1\tG1\tchr1:1-9\t20000000\t1.00\t1.00000\t900\t900\t1.0\t900\t900\t1.0\t1\t"
                               "5000000\t1\n"
                               "T2\tG2\tG2\tchr1:1-9\t20000000\t1.00\t1.00000\t900\t900\t1.0\t900\t900\t1.0\t1\t"
                               "15000000\t1\n");
    auto result = run("bash -c " + quoted("ulimit -v 100000; exec " + quoted(testutil::toolPath("kestrove-cluster"))
                                          + " " + quoted(dir.file("results"))));
    ASSERT_EQ(result.status, 0) << result.err;
    const auto rows = lines(testutil::readText(dir.file("results/norm_pdfs")));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].rfind("T1\t", 0), 0u);
    EXPECT_EQ(rows[2].rfind("T2\t", 0), 0u);
}

TEST_F(Faults, PartialSummaryOfAnUnfinishedRunIsNotTakenForClustering)
{
    fs::create_directories(dir.file("results"));
    const std::string head = "tracking_ID\tgene_ID\tgene_name\tlocus\tlength\tfragment_validity_coverage\tabundance\t"
                             "frags_locus\tfrags_expt\tFPKM_THN\tcomp_frags_locus\tcomp_frags_expt\tFPKM_CHN\n";
    // By name the partial file of run a comes before the complete summary of run b.
    testutil::writeText(dir.file("results/transcripts_summary_a.dat.partial"),
                        std::string(kRunTimeHeader) + "\nT1\tG1\tG1\tchr1:1-9\t500\t1.00\t1.00000\t900\t900\t1.0\n");
    testutil::writeText(dir.file("results/transcripts_summary_b.dat"),
                        head + "T1\tG1\tG1\tchr1:1-9\t500\t1.00\t1.00000\t900\t900\t1.0\t900\t900\t1.0\t1\t100\t1\n"
                               "T2\tG2\tG2\tchr1:1-9\t500\t1.00\t1.00000\t900\t900\t1.0\t900\t900\t1.0\t1\t300\t1\n");
    auto result = run(quoted(testutil::toolPath("kestrove-cluster")) + " " + quoted(dir.file("results")));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(lines(testutil::readText(dir.file("results/norm_pdfs"))).size(), 3u);
}
