// Runs that must fail before touching anything, reruns that must not destroy an
// earlier result, and annotations and alignments that do not fit together.

#include <fnmatch.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <htslib/bgzf.h>
#include <zlib.h>

#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "annotation/Annotations.h"
#include "util/Files.h"
#include "TestUtil.h"
#include "output/WriteResults.h"

namespace fs = boost::filesystem;
using testutil::contains;
using testutil::exon;
using testutil::kestroveIn;
using testutil::quoted;
using testutil::readText;
using testutil::split;
using testutil::writeText;

namespace {

// Single-end 50-base reads, `count` of them from `start` on, one base apart.
std::string reads(const std::string& reference, int start, int count, int flag = 0)
{
    std::string sam;
    for (int i = start; i < start + count; ++i)
        sam += testutil::samRecord("r" + reference + std::to_string(i), flag, reference, i, "50M");
    return sam;
}

std::string header(const std::vector<std::string>& references)
{
    std::string text = "@HD\tVN:1.6\tSO:coordinate\n";
    for (const std::string& name : references)
        text += "@SQ\tSN:" + name + "\tLN:100000\n";
    return text;
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

// Records of one reference in reverse order of position, so that a run must sort them.
void unsortedBam(const std::string& path, int count, const std::string& prefix = "r")
{
    std::string records = "@HD\tVN:1.6\tSO:unsorted\n@SQ\tSN:chr1\tLN:100000\n";
    for (int i = count; i >= 1; --i)
        records += testutil::samRecord(prefix + std::to_string(i), 0, "chr1", 1000 + i % 90000, "50M");
    testutil::samToBam(records, path, false);
}

// A command started in `directory` beside the test, through a pipe that first carries
// its process id (the command execs); finish() gives its exit status.
FILE* start(const std::string& directory, const std::string& command, pid_t& pid)
{
    FILE* pipe = ::popen(("cd " + quoted(directory) + " && echo $$ && exec " + command).c_str(), "r");
    if (pipe == nullptr || std::fscanf(pipe, "%d", &pid) != 1)
        throw std::runtime_error("cannot start " + command);
    return pipe;
}

int finish(FILE* started)
{
    const int raw = ::pclose(started);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

struct stat statOf(const std::string& path)
{
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st;
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
    testutil::samToBam("@HD\tVN:1.6\tSO:unsorted\n@SQ\tSN:chr1\tLN:100000\n" + reads("chr1", 1500, 1) + reads("chr1", 1100, 1),
                       dir.file("reads.bam"), false);
    writeText(dir.file("a-file"), "");
    writeText(dir.file("elsewhere.gtf"), exon("scaffold1", 1000, 2000, "G", "T") + exon("scaffold9", 1000, 2000, "H", "U"));
    writeText(dir.file("a.gff3"), "##gff-version 3\nchr1\tsrc\tgene\t1000\t2000\t.\t+\t.\tID=g1\n"
                                  "chr1\tsrc\tmRNA\t1000\t2000\t.\t+\t.\tID=t1;Parent=g1\n"
                                  "chr1\tsrc\texon\t1000\t2000\t.\t+\t.\tID=e1;Parent=t1\n");
    writeText(dir.file("no-transcript.gtf"),
              exon("chr1", 1000, 2000, "G", "T") + "chr1\tsrc\texon\t3000\t4000\t.\t+\t.\tgene_id \"G\";\n");
    writeText(dir.file("list.txt"), "absent\n");
    fs::create_directory(dir.file("a-dir"));
    ASSERT_EQ(::mkfifo(dir.file("a-fifo").c_str(), 0644), 0);
    std::string gtf;
    for (int g = 0; g < 3000; ++g)
        gtf += exon("chr1", 1000 + g, 1100 + g, "G" + std::to_string(g), "T" + std::to_string(g));
    gzFile gz = gzopen(dir.file("gzip.gtf.gz").c_str(), "wb");
    gzwrite(gz, gtf.data(), static_cast<unsigned>(gtf.size()));
    gzclose(gz);
    BGZF* bgzf = bgzf_open(dir.file("whole.gtf.gz").c_str(), "w");
    ASSERT_EQ(bgzf_write(bgzf, gtf.data(), gtf.size()), static_cast<ssize_t>(gtf.size()));
    ASSERT_EQ(bgzf_close(bgzf), 0);
    // Without its end-of-file block a bgzip file is still complete gzip data.
    const uintmax_t size = fs::file_size(dir.file("whole.gtf.gz"));
    for (const auto& [from, to, length] : {std::tuple{"gzip.gtf.gz", "cut.gtf.gz", fs::file_size(dir.file("gzip.gtf.gz")) / 2},
                                           std::tuple{"whole.gtf.gz", "cut.bgz.gtf.gz", size / 2},
                                           std::tuple{"whole.gtf.gz", "no-end.gtf.gz", size - 28}}) {
        fs::copy_file(dir.file(from), dir.file(to));
        fs::resize_file(dir.file(to), length);
    }
    fs::remove(dir.file("gzip.gtf.gz"));

    const struct { std::string args; std::string message; } cases[] = {
        {"-G genes.gtf -B reads.bam -o a-file/out", "Error: output directory a-file/out cannot be created"},
        {"-G genes.gtf -B reads.bam -o a-file", "Error: output directory a-file exists and is not a directory"},
        {"-G absent.gtf -B reads.bam", "Error 107: Failed to open the GTF file: absent.gtf: No such file or directory"},
        {"-G a-dir -B reads.bam", "Error 107: Failed to open the GTF file: a-dir: is a directory"},
        {"-G a-fifo -B reads.bam", "Error 107: Failed to open the GTF file: a-fifo: is a FIFO (named pipe)"},
        {"-G genes.gtf -B a-fifo", "a-fifo is a FIFO (named pipe), not a regular file; kestrove needs a BAM file"},
        {"-G genes.gtf -B a-dir", "a-dir is a directory; kestrove needs a BAM file"},
        {"-G cut.gtf.gz -B reads.bam", "Error 107: Failed to open the GTF file: cut.gtf.gz: truncated gzip data"},
        {"-G cut.bgz.gtf.gz -B reads.bam", "cut.bgz.gtf.gz: truncated"},
        {"-G no-end.gtf.gz -B reads.bam", "no-end.gtf.gz: truncated bgzip data (no end-of-file block)"},
        {"-G a.gff3 -B reads.bam", "a.gff3: line 4: it looks like GFF3 (attributes written key=value), not GTF; convert it first"},
        {"-G no-transcript.gtf -B reads.bam", "no-transcript.gtf: line 2: exon line without a transcript_id attribute"},
        {"-G whole.gtf.gz -B reads.bam -L list.txt", "whole.gtf.gz: no gene found: the genes list names none of its genes"},
        {"-G genes.gtf -B reads.bam -L absent.txt", "absent.txt"},
        {"-G genes.gtf -B reads.bam other.bam", "unexpected argument other.bam"},
        {"-G elsewhere.gtf -B reads.bam", "Error: no reference of elsewhere.gtf (scaffold1, scaffold9) is in reads.bam (chr1)"},
    };
    const std::set<std::string> before = listing(dir.path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto result = kestroveIn(dir.path(), c.args);
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
    ASSERT_EQ(kestroveIn(dir.path(), "-G genes.gtf -B reads.bam -o out").status, 0);
    const std::string transcripts = readText(dir.file("out/transcripts_summary_reads.dat"));
    const std::string genes = readText(dir.file("out/genes_summary_reads.dat"));
    const std::string record = readText(dir.file("out/provenance_reads.json"));

    // Working files of a killed run are removed by the next; those of a live one, which
    // holds their lock, are not, whatever its process id (another PID namespace's).
    for (const char* name : {".transcripts_summary_reads.dat.1.0badc0de.running",
                             ".genes_summary_reads.dat.1.0badc0de.tmp"})
        writeText(dir.file(std::string("out/") + name), "stale\n");
    const std::string live = ".transcripts_summary_reads.dat.1.5eed5eed.running";
    const int liveLock = files::createLockedFile(dir.file("out/" + live));
    ASSERT_GE(liveLock, 0);

    // The summaries of this run exceed the file-size limit.
    const auto result = testutil::run("cd " + quoted(dir.path()) + " && bash -c " +
                                      quoted("ulimit -f 2; exec " + quoted(testutil::kestroveExe()) +
                                             " -G genes.gtf -B reads.bam -o out"));
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_TRUE(contains(result.err, "[writeFinalResults] fail to write file > ") && contains(result.err, "(File too large)"))
        << result.err;
    EXPECT_EQ(readText(dir.file("out/transcripts_summary_reads.dat")), transcripts);
    EXPECT_EQ(readText(dir.file("out/genes_summary_reads.dat")), genes);
    EXPECT_EQ(readText(dir.file("out/provenance_reads.json")), record);
    EXPECT_EQ(readText(dir.file("out/transcripts_summary_reads.dat.partial")).rfind("tracking_ID\t", 0), 0u);
    EXPECT_EQ(listing(dir.file("out")),
              (std::set<std::string>{"transcripts_summary_reads.dat", "genes_summary_reads.dat", "provenance_reads.json",
                                     "mixtures_reads.dat", "transcripts_summary_reads.dat.partial", live}));
    ::close(liveLock);

    // A complete rerun supersedes the rows set aside, so the directory no longer looks unfinished.
    ASSERT_EQ(kestroveIn(dir.path(), "-G genes.gtf -B reads.bam -o out").status, 0);
    EXPECT_EQ(listing(dir.file("out")),
              (std::set<std::string>{"transcripts_summary_reads.dat", "genes_summary_reads.dat", "provenance_reads.json",
                                     "mixtures_reads.dat"}));
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

    pid_t pid = 0;
    FILE* run = start(dir.path(), quoted(testutil::kestroveExe()) + " -G genes.gtf -B reads.bam > /dev/null 2>&1", pid);
    const std::string temporaries = "reads.sorted.bam.tmp." + std::to_string(pid) + ".*";
    const bool sorting = testutil::awaitFile(dir.path(), temporaries);
    ::kill(pid, SIGTERM);
    const int status = finish(run);
    if (status == 0)
        GTEST_SKIP() << "the sort finished before it could be interrupted";
    EXPECT_TRUE(sorting);
    EXPECT_EQ(status, 1);
    for (const auto& name : testutil::filesIn(dir.path()))
        EXPECT_NE(::fnmatch(temporaries.c_str(), name.c_str(), 0), 0) << name;
    EXPECT_FALSE(testutil::exists(dir.file(stale)));
    EXPECT_FALSE(testutil::exists(dir.file("reads.sorted.bam")));
}

TEST_F(Safety, SameGeneIdOnTwoReferencesIsOneGenePerReference)
{
    writeText(dir.file("genes.gtf"), exon("chr5", 1000, 2000, "A", "Ta") + exon("chr1", 1000, 2000, "LOC", "T1") +
                                         exon("chr5", 5000, 6000, "LOC", "T1") + exon("chr1", 1000, 2000, "LOC", "T2") +
                                         exon("chr2", 3000, 4000, "LOC", "T1") + exon("chr1", 8000, 9000, "Z", "Tz"));
    testutil::samToBam(header({"chr1", "chr2", "chr5"}) + reads("chr1", 1100, 20) + reads("chr2", 3100, 12) +
                           reads("chr5", 1100, 5) + reads("chr5", 5100, 8), dir.file("reads.bam"), true);
    const auto result = kestroveIn(dir.path(), "-G genes.gtf -B reads.bam");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(contains(result.err, "Warning: 1 gene id(s) of genes.gtf lie on several references")) << result.err;

    // Namesakes follow each other in the order their references first appear.
    const std::string genes = dir.file("output/genes_summary_reads.dat");
    const std::string transcripts = dir.file("output/transcripts_summary_reads.dat");
    EXPECT_EQ(testutil::column(genes, "gene_ID") + testutil::column(genes, "frags_locus"), "A LOC LOC LOC Z 5 20 8 12 0 ");
    EXPECT_EQ(testutil::column(genes, "locus"), "chr5:1000-2000 chr1:1000-2000 chr5:5000-6000 chr2:3000-4000 chr1:8000-9000 ");
    EXPECT_EQ(testutil::column(transcripts, "tracking_ID"), "Ta T1 T2 T1 T1 Tz ");
    EXPECT_EQ(testutil::column(transcripts, "locus"),
              "chr5:1000-2000 chr1:1000-2000 chr1:1000-2000 chr5:5000-6000 chr2:3000-4000 chr1:8000-9000 ");
}

TEST(RectangularSummary, EveryRowHasTheHeadersFields)
{
    for (const bool clustering : {false, true}) {
        SCOPED_TRACE(clustering);
        testutil::TempDir dir;
        t_directories dirs;
        dirs.outputDir = dir.path();
        t_configuration conf;
        conf.clusterPdfs = clustering;
        WriteResults writer;
        writer.setConfigurations(dirs, conf, "s");
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
        std::string message;
    } cases[] = {
        {twoGenes, {"chr1"}, reads("chr1", 1100, 10), "", "Warning: 1 gene(s) lie on 1 reference(s) absent from reads.bam (chr9)"},
        {twoGenes, {"chr1"}, reads("chr1", 5000, 10), "", "Warning: no read of reads.bam overlaps a gene"},
        {twoGenes, {"chr1"}, reads("chr1", 1100, 40, 16) + reads("chr1", 1300, 1), "-D fwd",
         "fragments are compatible with a transcript; the library strandedness (-D fwd) may be wrong"},
        {exon("chr1", 1000, 2000, "G", "T"), {"chr1"}, reads("chr1", 1100, 40) + reads("chr1", 1300, 1), "-D fwd", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        fs::remove_all(dir.file("output"));
        writeText(dir.file("genes.gtf"), c.gtf);
        testutil::samToBam(header(c.references) + c.reads, dir.file("reads.bam"), true);
        const auto result = kestroveIn(dir.path(), "-G genes.gtf -B reads.bam " + c.options);
        EXPECT_EQ(result.status, 0) << result.err;
        if (c.message.empty())
            EXPECT_FALSE(contains(result.err, "Warning")) << result.err;
        else
            EXPECT_TRUE(contains(result.err, c.message)) << result.err;
    }
}

TEST_F(Safety, SortedCopiesAndSamplesAreNamedAfterTheBamFileItself)
{
    writeText(dir.file("genes.gtf"), exon("chr1", 1000, 100000, "G", "T"));
    fs::create_directory(dir.file("exp.2024"));
    unsortedBam(dir.file("exp.2024/ctrl"), 30, "c");
    unsortedBam(dir.file("exp.2024/treat"), 50, "t");
    testutil::samToBam(header({"chr1"}) + reads("chr1", 1100, 20), dir.file("reads"), true);
    writeText(dir.file("exp.sorted.bam"), "the user's own file\n");
    const struct { std::string bam, sample, sortedCopy; std::size_t records; } cases[] = {
        {"exp.2024/ctrl", "ctrl.sorted", "exp.2024/ctrl.sorted.bam", 30},
        {"exp.2024/treat", "treat.sorted", "exp.2024/treat.sorted.bam", 50}, {"reads", "reads", "", 20},
    };
    for (const auto& c : cases) {
        const auto result = kestroveIn(dir.path(), "-G genes.gtf -o out -B " + c.bam);
        ASSERT_EQ(result.status, 0) << c.bam << "\n" << result.err;
        const std::string genes = dir.file("out/genes_summary_" + c.sample + ".dat");
        EXPECT_EQ(testutil::column(genes, "frags_locus"), std::to_string(c.records) + " ");
    }
    // Each sample keeps its own copy, and nothing outside the sample's folder is touched.
    for (const auto& c : {cases[0], cases[1]})
        EXPECT_EQ(testutil::bamRecords(dir.file(c.sortedCopy)).size(), c.records) << c.sortedCopy;
    EXPECT_EQ(readText(dir.file("exp.sorted.bam")), "the user's own file\n");
    EXPECT_EQ(testutil::filesIn(dir.file("exp.2024")),
              (std::set<std::string>{"ctrl", "ctrl.sorted.bam", "ctrl.sorted.bam.bai", "treat", "treat.sorted.bam",
                                     "treat.sorted.bam.bai"}));
}

// An index is the user's file: it is replaced only with a warning, and one the run may
// not read is left alone. Runs are unprivileged so that permissions count.
TEST_F(Safety, IndexesAreReplacedOnlyWithAWarningAndUnreadableOnesLeftAlone)
{
    testutil::TempDir bin;
    std::string exe = testutil::kestroveExe();
    std::string asUser;
    if (::geteuid() == 0) {
        exe = bin.file("kestrove");
        fs::copy_file(testutil::kestroveExe(), exe);
        asUser = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    const std::string sam = header({"chr1"}) + reads("chr1", 1100, 20);
    const std::string partialIndex = "a.bam.bai.tmp.1.0123456789abcdef.0";
    struct Case {
        std::string name;
        std::function<void(const std::string&)> prepare;  // given the folder holding a.bam
        int status;
        std::string message;
        bool indexRewritten;
    };
    const std::vector<Case> cases = {
        {"unreadable", [](const std::string& d) { ::chmod((d + "/a.bam.bai").c_str(), 0); }, 1,
         "Cannot read the index file a.bam.bai: Permission denied", false},
        {"not an index", [](const std::string& d) { writeText(d + "/a.bam.bai", "not an index\n"); }, 0,
         "Warning: a.bam.bai cannot be read as an index of a.bam; a new index is built in its place.", true},
        {"older than the BAM", [](const std::string& d) { fs::last_write_time(d + "/a.bam.bai", 1577836800); }, 0,
         "Warning: the index a.bam.bai is older than a.bam, which may have changed since it was indexed; a new "
         "index is built in its place.", true},
        {"older, in a folder the run may not write",
         [](const std::string& d) {
             fs::last_write_time(d + "/a.bam.bai", 1577836800);
             ::chmod(d.c_str(), 0555);
         },
         0, "is older than a.bam, which may have changed since it was indexed; its folder is not writable: it is used as it is.",
         false},
        {"left half-written by a killed run",
         [&](const std::string& d) {
             fs::remove(d + "/a.bam.bai");
             writeText(d + "/" + partialIndex, "BAI\1");
         }, 0, "", true},
        {"unsorted, in a folder the run may not write",
         [](const std::string& d) {
             unsortedBam(d + "/a.bam", 20);
             fs::remove(d + "/a.bam.bai");
             ::chmod(d.c_str(), 0555);
         }, 1, "a.bam is not sorted by coordinate, and its sorted copy a.sorted.bam cannot be written: no write access "
         "to the folder . (Permission denied)", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testutil::TempDir data, out;
        for (const auto* d : {&data, &out})
            ::chmod(d->path().c_str(), 0777);
        writeText(data.file("g.gtf"), exon("chr1", 1000, 2000, "G", "T"));
        testutil::samToBam(sam, data.file("a.bam"), true);
        fs::last_write_time(data.file("a.bam"), 1600000000);
        c.prepare(data.path());
        const std::set<std::string> before = testutil::filesIn(data.path());
        const struct stat indexBefore = statOf(data.file("a.bam.bai"));
        const auto result = testutil::run("cd " + quoted(data.path()) + " && " + asUser + testutil::quoted(exe) +
                                          " -G g.gtf -B a.bam -p 2 -o " + quoted(out.file("o")));
        ::chmod(data.path().c_str(), 0777);
        EXPECT_EQ(result.status, c.status) << result.err;
        // No message: nothing to warn about. Every thread's reader opens the file: what they meet is told once.
        EXPECT_TRUE(c.message.empty() ? !contains(result.err, "Warning") : contains(result.err, c.message)) << result.err;
        if (!c.message.empty()) {
            EXPECT_EQ(result.err.find(c.message), result.err.rfind(c.message)) << result.err;
        }
        const struct stat indexAfter = statOf(data.file("a.bam.bai"));
        EXPECT_EQ(indexAfter.st_mtime != indexBefore.st_mtime || indexAfter.st_ino != indexBefore.st_ino, c.indexRewritten);
        std::set<std::string> expected = before;
        expected.erase(partialIndex);
        if (c.indexRewritten) {
            expected.insert("a.bam.bai");
            EXPECT_EQ(readText(data.file("a.bam.bai")).substr(0, 4), std::string("BAI\1"));
        } else {
            EXPECT_EQ(indexAfter.st_mode, indexBefore.st_mode);
        }
        EXPECT_EQ(testutil::filesIn(data.path()), expected);
    }
}

// kestrove ... | head: the progress on standard output stops, the results do not.
TEST_F(Safety, ClosedStandardOutputDoesNotStopTheRun)
{
    writeText(dir.file("genes.gtf"), exon("chr1", 1000, 2000, "G", "T") + exon("chr1", 5000, 6000, "H", "U"));
    testutil::samToBam(header({"chr1"}) + reads("chr1", 1100, 30) + reads("chr1", 5100, 10), dir.file("reads.bam"), true);
    ASSERT_EQ(kestroveIn(dir.path(), "-G genes.gtf -B reads.bam -o whole").status, 0);
    // A pipe whose reader is gone before kestrove writes its first line.
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    ::close(pipeEnds[0]);
    const auto result = testutil::run("cd " + quoted(dir.path()) + " && bash -c " +
                                      quoted(quoted(testutil::kestroveExe()) + " -G genes.gtf -B reads.bam -o piped >&" +
                                             std::to_string(pipeEnds[1]) + "; echo $?"));
    ::close(pipeEnds[1]);
    EXPECT_EQ(result.out, "0\n") << result.err;
    EXPECT_EQ(listing(dir.file("piped")),
              (std::set<std::string>{"transcripts_summary_reads.dat", "genes_summary_reads.dat", "provenance_reads.json",
                                     "mixtures_reads.dat"}));
    for (const char* name : {"/transcripts_summary_reads.dat", "/genes_summary_reads.dat"})
        EXPECT_EQ(readText(dir.file("piped") + name), readText(dir.file("whole") + name)) << name;
}

// Two runs of one BAM file at once from different PID namespaces (containers, hosts
// sharing a folder), where each one's process id means nothing to the other and both
// may be process 1: the first is stopped while its working files are on disk, the
// second runs whole and cleans up meanwhile, and neither loses the other's files.
TEST_F(Safety, RunsOfOneBamFromTwoPidNamespacesBothSucceed)
{
    if (testutil::run("unshare --pid --fork --mount-proc true").status != 0)
        GTEST_SKIP() << "no PID namespaces here (needs root)";
    struct Row {
        std::string stoppedWhile;  // the first run's files on disk at that point
        std::string first, second; // output folders
    };
    const std::vector<Row> rows = {
        {"reads.sorted.bam.tmp.*", "first", "second"},
        {"out/.transcripts_summary_reads.sorted.dat.*.running", "out", "out"},
    };
    // Enough estimation work that the first run is caught in it.
    testutil::simulate(dir.file("reads"),
                       "--genes 30 --fragments 100000 --seed 4 --unsorted --gtf " + quoted(dir.file("genes.gtf")));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.stoppedWhile);
        const auto slash = row.stoppedWhile.find('/');
        const std::string folder = slash == std::string::npos ? dir.path() : dir.file(row.stoppedWhile.substr(0, slash));
        const std::string run = "unshare --pid --fork --mount-proc " + quoted(testutil::kestroveExe()) +
                                " -G genes.gtf -B reads.bam --sort-memory 1M -o ";
        pid_t unshare = 0;
        FILE* first = start(dir.path(), run + row.first + " > /dev/null", unshare);
        EXPECT_TRUE(testutil::awaitFile(folder, row.stoppedWhile.substr(slash + 1))) << "the first run's files never appeared";
        // The run is the child of unshare.
        const auto result = testutil::run(
            "cd " + quoted(dir.path()) + " && first=$(pgrep -P " + std::to_string(unshare) + "); kill -STOP $first; ls "
            + row.stoppedWhile + " | wc -l; " + run + row.second + " > /dev/null; echo second $?; ls " + row.stoppedWhile
            + " | wc -l; kill -CONT $first");
        const int firstStatus = finish(first);
        const auto lines = split(result.out, '\n');
        ASSERT_EQ(lines.size(), 3u) << result.out << result.err;
        EXPECT_GT(std::stoi(lines[0]), 0) << "the first run was not stopped in time";
        EXPECT_EQ(lines[1], "second 0") << result.err;
        EXPECT_EQ(lines[2], lines[0]) << "the second run removed the first one's files";
        EXPECT_EQ(firstStatus, 0);
        for (const std::string& folder : {row.first, row.second})
            EXPECT_EQ(listing(dir.file(folder)),
                      (std::set<std::string>{"genes_summary_reads.sorted.dat", "provenance_reads.sorted.json",
                                             "mixtures_reads.sorted.dat", "transcripts_summary_reads.sorted.dat"}));
        EXPECT_EQ(readText(dir.file(row.first + "/genes_summary_reads.sorted.dat")),
                  readText(dir.file(row.second + "/genes_summary_reads.sorted.dat")));
        EXPECT_EQ(testutil::bamRecords(dir.file("reads.sorted.bam")).size(), 200000u);
    }
}

// Exons of another assembly's coordinates, near 2^31 on a reference of 20000 bases,
// once sized a gene's densities in gigabytes.
TEST_F(Safety, ExonsPastTheReferenceEndAreCutInBoundedMemory)
{
    writeText(dir.file("genes.gtf"), exon("chr1", 1000, 1500, "G", "T") + exon("chr1", 1601, 2147483000, "G", "T")
                                         + exon("chr1", 1000, 1500, "G", "T2") + exon("chr1", 500000, 2100000000, "G", "T2")
                                         + exon("chr1", 2147000000, 2147483000, "H", "U") + exon("chr1", 3000, 4000, "K", "V"));
    std::vector<testutil::Pair> pairs;
    for (int i = 0; i < 40; ++i)
        pairs.emplace_back("chr1", 1000 + 5 * i, 1250 + 5 * i);
    testutil::samToBam(testutil::pairsSam(pairs), dir.file("reads.bam"), true);

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const std::string limit = ""; // the sanitizers' shadow memory alone needs terabytes of address space
#else
    const std::string limit = "ulimit -v 4000000 && ";
#endif
    const auto result = testutil::run("cd " + quoted(dir.path()) + " && " + limit + quoted(testutil::kestroveExe())
                                      + " -G genes.gtf -B reads.bam");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(contains(result.err, "3 exon(s) of genes.gtf reach past the end of their reference in the alignments, as in "
                                     "an annotation of another assembly; first: gene G, exon 1601-2147483000 on chr1 of "
                                     "length 20000. 1 cut at the reference end, 1 left out, 1 kept in genes wholly beyond it"))
        << result.err;
    const std::string transcripts = dir.file("output/transcripts_summary_reads.dat");
    EXPECT_EQ(testutil::column(transcripts, "tracking_ID"), "T T2 U V ");
    EXPECT_EQ(testutil::column(transcripts, "length"),
              std::to_string(501 + 20000 - 1601 + 1) + " 501 " + std::to_string(2147483000 - 2147000000 + 1) + " 1001 ");
    EXPECT_EQ(testutil::column(dir.file("output/genes_summary_reads.dat"), "status"), "OK FAIL FAIL ");
}
