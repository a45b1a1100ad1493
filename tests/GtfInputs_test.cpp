// Whole runs on annotations that must be refused before the alignments are touched,
// and on one from another assembly that must neither exhaust memory nor pass unnoticed.

#include <htslib/bgzf.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestUtil.h"

namespace fs = std::filesystem;
using testutil::contains;
using testutil::exon;
using testutil::writeText;

namespace {

void writeBgzf(const std::string& path, const std::string& text)
{
    BGZF* file = bgzf_open(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(bgzf_write(file, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ASSERT_EQ(bgzf_close(file), 0);
}

void copyCut(const std::string& from, const std::string& to, uintmax_t size)
{
    fs::copy_file(from, to);
    fs::resize_file(to, size);
}

} // namespace

TEST(GtfInputs, FaultyAnnotationsAreRefusedBeforeTheAlignmentsAreSorted)
{
    testutil::TempDir dir;
    std::string gtf;
    for (int g = 0; g < 3000; ++g)
        gtf += exon("chr1", 1000 + g, 1100 + g, "G" + std::to_string(g), "T" + std::to_string(g));
    writeBgzf(dir.file("whole.gtf.gz"), gtf);
    const uintmax_t size = fs::file_size(dir.file("whole.gtf.gz"));
    // Without its end-of-file block a bgzip file is still complete gzip data.
    copyCut(dir.file("whole.gtf.gz"), dir.file("no-end.gtf.gz"), size - 28);
    copyCut(dir.file("whole.gtf.gz"), dir.file("cut.gtf.gz"), size / 2);
    writeText(dir.file("a.gff3"), "##gff-version 3\nchr1\tsrc\tgene\t1000\t2000\t.\t+\t.\tID=g1\n"
                                  "chr1\tsrc\tmRNA\t1000\t2000\t.\t+\t.\tID=t1;Parent=g1\n"
                                  "chr1\tsrc\texon\t1000\t2000\t.\t+\t.\tID=e1;Parent=t1\n");
    writeText(dir.file("no-transcript.gtf"),
              exon("chr1", 1000, 2000, "G", "T") + "chr1\tsrc\texon\t3000\t4000\t.\t+\t.\tgene_id \"G\";\n");
    writeText(dir.file("list.txt"), "absent\n");
    // Unsorted: a run that got as far as the alignments would write a sorted copy.
    testutil::samToBam("@HD\tVN:1.6\tSO:unsorted\n@SQ\tSN:chr1\tLN:100000\n"
                           + testutil::samRecord("r2", 0, "chr1", 1500, "50M")
                           + testutil::samRecord("r1", 0, "chr1", 1100, "50M"),
                       dir.file("reads.bam"), false);

    const struct {
        std::string args;
        std::string message;
    } cases[] = {
        {"-G no-end.gtf.gz", "no-end.gtf.gz: truncated bgzip data (no end-of-file block)"},
        {"-G cut.gtf.gz", "cut.gtf.gz: truncated"},
        {"-G a.gff3", "a.gff3: line 4: it looks like GFF3 (attributes written key=value), not GTF; convert it first"},
        {"-G no-transcript.gtf", "no-transcript.gtf: line 2: exon line without a transcript_id attribute"},
        {"-G whole.gtf.gz -L list.txt", "whole.gtf.gz: no gene found: the genes list names none of its genes"},
    };
    const std::set<std::string> before = testutil::filesIn(dir.path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto result = testutil::kestroveIn(dir.path(), c.args + " -B reads.bam -o out");
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(contains(result.err, c.message)) << result.err;
        EXPECT_EQ(testutil::filesIn(dir.path()), before);
    }

    const auto result = testutil::kestroveIn(dir.path(), "-G whole.gtf.gz -B reads.bam -o out");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(testutil::lines(testutil::readText(dir.file("out/genes_summary_reads.sorted.dat"))).size(), 3001u);
}

// Exons of another assembly's coordinates, near 2^31 on a reference of 20000 bases,
// once sized a gene's densities in gigabytes.
TEST(GtfInputs, ExonsPastTheReferenceEndAreCutInBoundedMemory)
{
    testutil::TempDir dir;
    writeText(dir.file("genes.gtf"), exon("chr1", 1000, 1500, "G", "T") + exon("chr1", 1601, 2147483000, "G", "T")
                                         + exon("chr1", 1000, 1500, "G", "T2") + exon("chr1", 500000, 2100000000, "G", "T2")
                                         + exon("chr1", 2147000000, 2147483000, "H", "U")
                                         + exon("chr1", 3000, 4000, "K", "V"));
    std::vector<testutil::Pair> pairs;
    for (int i = 0; i < 40; ++i)
        pairs.emplace_back("chr1", 1000 + 5 * i, 1250 + 5 * i);
    testutil::samToBam(testutil::pairsSam(pairs), dir.file("reads.bam"), true);

#ifdef __SANITIZE_ADDRESS__
    const std::string limit = ""; // the sanitizer's shadow memory alone needs terabytes of address space
#else
    const std::string limit = "ulimit -v 4000000 && ";
#endif
    const auto result = testutil::run("cd " + testutil::quoted(dir.path()) + " && " + limit
                                      + testutil::quoted(testutil::kestroveExe()) + " -G genes.gtf -B reads.bam");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(contains(result.err, "Warning: 3 exon(s) of genes.gtf reach past the end of their reference in the "
                                     "alignments, as in an annotation of another assembly; first: gene G, exon "
                                     "1601-2147483000 on chr1 of length 20000. 1 cut at the reference end, 1 left "
                                     "out, 1 kept in genes wholly beyond it, which get no reads"))
        << result.err;
    const std::string transcripts = dir.file("output/transcripts_summary_reads.dat");
    EXPECT_EQ(testutil::column(transcripts, "tracking_ID"), "T T2 U V ");
    EXPECT_EQ(testutil::column(transcripts, "length"),
              std::to_string(501 + 20000 - 1601 + 1) + " 501 " + std::to_string(2147483000 - 2147000000 + 1) + " 1001 ");
    EXPECT_EQ(testutil::column(dir.file("output/genes_summary_reads.dat"), "status"), "OK FAIL FAIL ");
}
