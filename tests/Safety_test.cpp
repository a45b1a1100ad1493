// Runs that must fail before touching anything, reruns that must not destroy an
// earlier result, and annotations and alignments that do not fit together.

#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <iostream>
#include <set>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "Annotations.h"
#include "TestUtil.h"
#include "WriteResults.h"

namespace fs = boost::filesystem;
using testutil::contains;
using testutil::exon;
using testutil::quoted;
using testutil::readText;
using testutil::split;
using testutil::writeText;

namespace {

// Single-end 50-base reads, `count` of them from `start` on, one base apart.
std::string reads(const std::string& reference, int start, int count, int flag = 0)
{
    std::string sam;
    for (int i = 0; i < count; ++i)
        sam += "r" + reference + std::to_string(start + i) + "\t" + std::to_string(flag) + "\t" + reference + "\t" +
               std::to_string(start + i) + "\t60\t50M\t*\t0\t0\t*\t*\n";
    return sam;
}

std::string header(const std::vector<std::string>& references)
{
    std::string text = "@HD\tVN:1.6\tSO:coordinate\n";
    for (const std::string& name : references)
        text += "@SQ\tSN:" + name + "\tLN:100000\n";
    return text;
}

testutil::CommandResult kestrove(const testutil::TempDir& dir, const std::string& args)
{
    return testutil::run("cd " + quoted(dir.path()) + " && " + quoted(testutil::kestroveExe()) + " " + args);
}

std::set<std::string> listing(const std::string& directory)
{
    std::set<std::string> names;
    for (fs::recursive_directory_iterator it(directory), end; it != end; ++it)
        names.insert(fs::relative(it->path(), directory).string());
    return names;
}

// A process id that no process has: a child's, once it has been reaped.
pid_t deadPid()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

class Safety : public testing::Test {
protected:
    testutil::TempDir dir;
};

} // namespace

TEST_F(Safety, FaultyInputsStopTheRunBeforeAnythingIsWritten)
{
    writeText(dir.file("genes.gtf"), exon("chr1", 1000, 2000, "G", "T"));
    // Unsorted, so a run that got as far as the alignments would write a sorted copy.
    testutil::samToBam("@HD\tVN:1.6\tSO:unsorted\n@SQ\tSN:chr1\tLN:100000\n" + reads("chr1", 1500, 1, 0) +
                           reads("chr1", 1100, 1, 0),
                       dir.file("reads.bam"), false);
    writeText(dir.file("a-file"), "");
    writeText(dir.file("elsewhere.gtf"), exon("scaffold1", 1000, 2000, "G", "T") + exon("scaffold9", 1000, 2000, "H", "U"));
    fs::create_directory(dir.file("a-dir"));
    const std::string gtf = exon("chr1", 1000, 2000, "G", "T");
    gzFile cut = gzopen(dir.file("cut.gtf.gz").c_str(), "wb");
    for (int i = 0; i < 2000; ++i)
        gzwrite(cut, gtf.data(), static_cast<unsigned>(gtf.size()));
    gzclose(cut);
    fs::resize_file(dir.file("cut.gtf.gz"), fs::file_size(dir.file("cut.gtf.gz")) / 2);

    const struct {
        std::string args;
        std::string message;
    } cases[] = {
        {"-G genes.gtf -B reads.bam -o a-file/out", "Error: output directory a-file/out cannot be created"},
        {"-G genes.gtf -B reads.bam -o a-file", "Error: output directory a-file exists and is not a directory"},
        {"-G absent.gtf -B reads.bam", "Error 107: Failed to open the GTF file: absent.gtf: No such file or directory"},
        {"-G a-dir -B reads.bam", "Error 107: Failed to open the GTF file: a-dir: is a directory"},
        {"-G cut.gtf.gz -B reads.bam", "Error 107: Failed to open the GTF file: cut.gtf.gz: truncated gzip data"},
        {"-G genes.gtf -B reads.bam -L absent.txt", "absent.txt"},
        {"-G genes.gtf -B reads.bam other.bam", "unexpected argument other.bam"},
        {"-G elsewhere.gtf -B reads.bam", "Error: no reference of elsewhere.gtf (scaffold1, scaffold9) is in reads.bam (chr1)"},
    };
    const std::set<std::string> before = listing(dir.path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto result = kestrove(dir, c.args);
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(contains(result.err, c.message)) << result.err;
        EXPECT_EQ(listing(dir.path()), before);
    }
}

TEST_F(Safety, FailedRerunKeepsTheEarlierPairAndItsOwnRowsAsPartial)
{
    std::string gtf;
    for (int g = 0; g < 40; ++g)
        gtf += exon("chr1", 1000 + 1000 * g, 1600 + 1000 * g, "G" + std::to_string(g), "T" + std::to_string(g));
    writeText(dir.file("genes.gtf"), gtf);
    testutil::samToBam(header({"chr1"}) + reads("chr1", 1100, 30), dir.file("reads.bam"), true);
    ASSERT_EQ(kestrove(dir, "-G genes.gtf -B reads.bam -o out").status, 0);
    const std::string transcripts = readText(dir.file("out/transcripts_summary_reads.dat"));
    const std::string genes = readText(dir.file("out/genes_summary_reads.dat"));
    const std::string record = readText(dir.file("out/provenance.json"));

    // Working files of a killed run are removed by the next; those of a live one are not.
    const std::string dead = std::to_string(deadPid());
    const std::string live = std::to_string(::getpid());
    for (const std::string& name : {".transcripts_summary_reads.dat." + dead + ".running",
                                    ".genes_summary_reads.dat." + dead + ".tmp",
                                    ".transcripts_summary_reads.dat." + live + ".running"})
        writeText(dir.file("out/" + name), "stale\n");

    // The summaries of this run exceed the file-size limit.
    const auto result = testutil::run("cd " + quoted(dir.path()) + " && bash -c " +
                                      quoted("ulimit -f 2; exec " + quoted(testutil::kestroveExe()) +
                                             " -G genes.gtf -B reads.bam -o out"));
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_EQ(readText(dir.file("out/transcripts_summary_reads.dat")), transcripts);
    EXPECT_EQ(readText(dir.file("out/genes_summary_reads.dat")), genes);
    EXPECT_EQ(readText(dir.file("out/provenance.json")), record);
    EXPECT_EQ(readText(dir.file("out/transcripts_summary_reads.dat.partial")).rfind("tracking_ID\t", 0), 0u);
    EXPECT_EQ(listing(dir.file("out")),
              (std::set<std::string>{"transcripts_summary_reads.dat", "genes_summary_reads.dat", "provenance.json",
                                     "transcripts_summary_reads.dat.partial",
                                     ".transcripts_summary_reads.dat." + live + ".running"}));

    // A complete rerun supersedes the rows set aside, so the directory no longer looks unfinished.
    ASSERT_EQ(kestrove(dir, "-G genes.gtf -B reads.bam -o out").status, 0);
    EXPECT_EQ(listing(dir.file("out")).count("transcripts_summary_reads.dat.partial"), 0u);
}

TEST_F(Safety, InterruptedSortLeavesNoTemporaries)
{
    writeText(dir.file("genes.gtf"), exon("chr1", 1000, 2000, "G", "T"));
    // Records in reverse order: the run has to sort them, which takes a while.
    std::string records;
    for (int i = 99999; i >= 1; i -= 2)
        records += "r" + std::to_string(i) + "\t0\tchr1\t" + std::to_string(i % 99000 + 1) + "\t60\t50M\t*\t0\t0\t*\t*\n";
    testutil::samToBam("@HD\tVN:1.6\tSO:unsorted\n@SQ\tSN:chr1\tLN:100000\n" + records + records + records + records,
                       dir.file("reads.bam"), false);
    const std::string stale = "reads.sorted.bam.tmp." + std::to_string(deadPid()) + ".0";
    writeText(dir.file(stale), "");

    const std::string script = quoted(testutil::kestroveExe()) + " -G genes.gtf -B reads.bam > /dev/null 2>&1 & "
                               "for i in $(seq 2000); do ls reads.sorted.bam.tmp.$!.* > /dev/null 2>&1 && break; "
                               "sleep 0.005; done; kill -TERM $!; wait $!; echo $?; ls reads.sorted.bam.tmp.$!.* 2>&1";
    const auto result = testutil::run("cd " + quoted(dir.path()) + " && sh -c " + quoted(script));
    const auto lines = split(result.out, '\n');
    ASSERT_GE(lines.size(), 2u) << result.out;
    if (lines[0] == "0")
        GTEST_SKIP() << "the sort finished before it could be interrupted";
    EXPECT_EQ(lines[0], "1");
    EXPECT_TRUE(contains(lines[1], "No such file")) << result.out;
    EXPECT_FALSE(testutil::exists(dir.file(stale)));
    EXPECT_FALSE(testutil::exists(dir.file("reads.sorted.bam")));
}

TEST_F(Safety, SameGeneIdOnTwoReferencesIsOneGenePerReference)
{
    writeText(dir.file("genes.gtf"), exon("chr5", 1000, 2000, "A", "Ta") + exon("chr1", 1000, 2000, "LOC", "T1") +
                                         exon("chr5", 5000, 6000, "LOC", "T1") + exon("chr1", 1000, 2000, "LOC", "T2") +
                                         exon("chr2", 3000, 4000, "LOC", "T1") + exon("chr1", 8000, 9000, "Z", "Tz"));
    testutil::samToBam(header({"chr1", "chr2", "chr5"}) + reads("chr1", 1100, 20) + reads("chr2", 3100, 12) +
                           reads("chr5", 1100, 5) + reads("chr5", 5100, 8),
                       dir.file("reads.bam"), true);
    const auto result = kestrove(dir, "-G genes.gtf -B reads.bam");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(contains(result.err, "Warning: 1 gene id(s) of genes.gtf lie on several references")) << result.err;

    // Namesakes follow each other in the order their references first appear.
    std::vector<std::string> geneRows;
    for (const std::string& row : split(readText(dir.file("output/genes_summary_reads.dat")), '\n')) {
        const auto f = split(row, '\t');
        geneRows.push_back(f[0] + " " + f[2] + " " + f[3]);
    }
    EXPECT_EQ(geneRows, (std::vector<std::string>{"gene_ID locus frags_locus", "A chr5:1000-2000 5",
                                                  "LOC chr1:1000-2000 20", "LOC chr5:5000-6000 8",
                                                  "LOC chr2:3000-4000 12", "Z chr1:8000-9000 0"}));
    std::vector<std::string> transcriptRows;
    for (const std::string& row : split(readText(dir.file("output/transcripts_summary_reads.dat")), '\n'))
        transcriptRows.push_back(split(row, '\t')[0] + " " + split(row, '\t')[3]);
    EXPECT_EQ(transcriptRows, (std::vector<std::string>{"tracking_ID locus", "Ta chr5:1000-2000", "T1 chr1:1000-2000",
                                                        "T2 chr1:1000-2000", "T1 chr5:5000-6000",
                                                        "T1 chr2:3000-4000", "Tz chr1:8000-9000"}));
}

TEST(GtfQuirks, MalformedAndRepeatedExonLinesAreSkippedAndReported)
{
    const std::string good = exon("chr1", 100, 200, "G", "T");
    const struct {
        std::string second;
        std::string warning;
    } cases[] = {
        {good, "1 duplicate exon(s) of their transcript, counted once (first at line 3)"},
        {exon("chr1", 400, 300, "G", "T"), "1 with start after end (first at line 3)"},
        {exon("chr1", 300, 400, "G", "T").replace(15, 3, "3e2"), "1 with a coordinate that is not a number (first at line 3)"},
        {"chr1\tt\texon\t300\t400\t+\tgene_id \"G\"; transcript_id \"T\";\n", "1 with fewer than 9 columns (first at line 3)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        testutil::TempDir dir;
        writeText(dir.file("a.gtf"), "#!header\n" + good + c.second);
        testing::internal::CaptureStderr();
        Annotations annotations;
        t_configuration conf;
        annotations.parseGTF(dir.file("a.gtf").c_str(), {}, conf);
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_EQ(annotations.genes.size(), 1u);
        const t_transcript& t = annotations.genes.at("G").transcripts.at(0);
        EXPECT_EQ(t.exons.size(), 1u);
        EXPECT_EQ(t.length, 101);
        EXPECT_EQ(err, "Warning: exon lines skipped in " + dir.file("a.gtf") + ": " + c.warning + "\n");
    }
}

TEST(RectangularSummary, EveryRowHasTheHeadersFields)
{
    for (const bool clustering : {false, true}) {
        SCOPED_TRACE(clustering);
        testutil::TempDir dir;
        t_directories dirs;
        dirs.outputDir = dir.path();
        t_configuration conf;
        conf.sampleName = "s";
        conf.clusterPdfs = clustering;
        WriteResults writer;
        writer.setConfigurations(dirs, conf);
        Annotations annotations;
        for (const std::string id : {"OK", "SKIPPED"}) {
            Gene& g = annotations.genes[id];
            g.geneId = id;
            g.transcripts.resize(2);
            for (size_t t = 0; t < 2; ++t) {
                g.transcripts[t].transcriptId = id + std::to_string(t);
                g.transcripts[t].length = 100;
            }
        }
        annotations.genes["OK"].compFragsLocus = 10;
        annotations.genes["OK"].alphas = {0.5, 0.5};
        ASSERT_TRUE(writer.writeFinalResults(annotations));

        const auto rows = split(readText(dir.file("transcripts_summary_s.dat")), '\n');
        ASSERT_EQ(rows.size(), 5u);
        const size_t width = split(rows[0], '\t').size();
        EXPECT_EQ(width, clustering ? 20u : 13u);
        for (const std::string& row : rows)
            EXPECT_EQ(split(row + "\tend", '\t').size(), width + 1) << row;
    }
}

TEST_F(Safety, InputsThatDoNotMatchAreReported)
{
    const std::string twoGenes = exon("chr1", 1000, 2000, "G", "T") + exon("chr9", 1000, 2000, "H", "U");
    const struct {
        std::string gtf;
        std::vector<std::string> references;
        std::string reads;
        std::string options;
        int status;
        std::string message;
    } cases[] = {
        {twoGenes, {"chr1"}, reads("chr1", 1100, 10), "", 0,
         "Warning: 1 gene(s) lie on 1 reference(s) absent from reads.bam (chr9)"},
        {twoGenes, {"chr1"}, reads("chr1", 5000, 10), "", 0, "Warning: no read of reads.bam overlaps a gene"},
        {twoGenes, {"chr1"}, reads("chr1", 1100, 40, 16) + reads("chr1", 1300, 1), "-D fwd", 0,
         "fragments are compatible with a transcript; the library strandedness (-D fwd) may be wrong"},
        {exon("chr1", 1000, 2000, "G", "T"), {"chr1"}, reads("chr1", 1100, 40) + reads("chr1", 1300, 1), "-D fwd", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        fs::remove_all(dir.file("output"));
        writeText(dir.file("genes.gtf"), c.gtf);
        testutil::samToBam(header(c.references) + c.reads, dir.file("reads.bam"), true);
        const auto result = kestrove(dir, "-G genes.gtf -B reads.bam " + c.options);
        EXPECT_EQ(result.status, c.status) << result.err;
        if (c.message.empty())
            EXPECT_FALSE(contains(result.err, "Warning")) << result.err;
        else
            EXPECT_TRUE(contains(result.err, c.message)) << result.err;
    }
}
