// Reading the annotation and merging overlapping genes: each row is GTF text and
// the genes it must give, written out compactly.

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "annotation/Annotations.h"
#include "annotation/AutoGroups.h"
#include "util/Errors.h"
#include "TestUtil.h"

using testutil::exon;

namespace {

std::string line(const std::string& chr, const std::string& feature, const std::string& start, const std::string& end,
                 const std::string& attributes, char strand = '+')
{
    return chr + "\tsrc\t" + feature + "\t" + start + "\t" + end + "\t.\t" + strand + "\t.\t" + attributes + "\n";
}

const std::string kIds = "gene_id \"G\"; transcript_id \"T\";";

// "id(name)chr:start-end[transcript strand exons ...]" per gene, in map order.
std::string describe(const Annotations& a)
{
    std::string text;
    for (const auto& [id, g] : a.genes) {
        text += id + "(" + g.geneName + ")" + g.chromosome + ":" + std::to_string(g.start) + "-" + std::to_string(g.end);
        for (const t_transcript& t : g.transcripts) {
            text += "[" + t.transcriptId + (t.forwardStrand ? "+" : "-");
            int64_t covered = 0;
            for (const t_exon& e : t.exons) {
                text += " " + std::to_string(e.start) + "-" + std::to_string(e.end);
                covered += int64_t{e.end} - e.start + 1;
            }
            // Shown only when it disagrees with the exons it is made of.
            if (covered != t.length && covered <= std::numeric_limits<int32_t>::max())
                text += " length " + std::to_string(t.length);
            text += "]";
        }
        text += " ";
    }
    return text;
}

Annotations load(const std::string& path, const std::string& text, const GeneSelection& selection)
{
    testutil::writeText(path, text);
    Annotations annotations;
    testing::internal::CaptureStderr();
    annotations.parseGTF(path.c_str(), {}, selection);
    testing::internal::GetCapturedStderr();
    return annotations;
}

// The genes read, or "error: " and the reason a GTF was refused; the warnings go to `err`.
std::string outcome(const std::string& path, const std::string& text, std::string& err)
{
    testutil::writeText(path, text);
    Annotations annotations;
    testing::internal::CaptureStderr();
    std::string result;
    try {
        annotations.parseGTF(path.c_str(), {}, GeneSelection{});
        result = describe(annotations);
    } catch (const KestroveException& e) {
        result = "error: " + e.message.substr(e.message.find(path) + path.size() + 2);
    }
    err = testing::internal::GetCapturedStderr();
    return result;
}

TEST(Annotations, GtfLinesGiveGenesTranscriptsAndExons)
{
    const std::string padding(3 << 20, 'x');
    std::string noNewline = line("chr1", "exon", "100", "200", kIds);
    noNewline.pop_back();
    struct Row {
        std::string gtf;
        std::string genes;
        std::string warning = "";  // a part of what goes to standard error; empty: nothing may
    };
    const std::vector<Row> rows = {
        {line("chr1", "exon", "100", "200", kIds + " gene_name \"N\";", '-'), "G(N)chr1:100-200[T- 100-200] "},
        {line("chr1", "exon", "300", "400", kIds, '-') + line("chr1", "exon", "100", "200", kIds)
             + line("chr1", "exon", "100", "200", "gene_id \"G\"; transcript_id \"U\";"),
         "G()chr1:100-400[T- 100-200 300-400][U+ 100-200] ", "the other strand than their transcript's first line"
                                                              ", whose strand is kept (first: T at line 2)"},
        {line("chr1", "gene", "50", "900", "gene_id \"G\";") + line("chr1", "transcript", "50", "900", kIds)
             + line("chr1", "exon", "50", "300", kIds) + line("chr1", "CDS", "120", "250", kIds)
             + line("chr1", "EXON", "600", "900", kIds) + line("chr1", "Exon", "1000", "1100", kIds),
         "G()chr1:50-900[T+ 50-300 600-900] "},
        {line("chr1", "exon", "1e3", "2000", kIds) + line("chr1", "exon", "100", "2147483648", kIds)
             + line("chr1", "exon", "-2147483649", "5", kIds) + line("chr1", "exon", "+", "200", kIds)
             + line("chr1", "exon", "10x", "200", kIds) + line("chr1", "exon", "+100", " 200", kIds)
             + line("chr1", "exon", "-2147483648", "2147483647", "gene_id \"H\"; transcript_id \"U\";"),
         "G()chr1:100-200[T+ 100-200] H()chr1:-2147483648-2147483647[U+ -2147483648-2147483647] ",
         "5 with a coordinate that is not a number (first at line 1)"},
        // Comments anywhere, even one that reads like an exon line.
        {"#!genome-build\n" + line("#chr1", "exon", "1", "2", "gene_id \"C\"; transcript_id \"C\";")
             + line("chr1", "exon", "100", "200", kIds) + "#middle\n"
             + line("#chr2", "exon", "300", "400", "gene_id \"H\"; transcript_id \"U\";"), "G()chr1:100-200[T+ 100-200] "},
        // Free text in other attributes neither flips the strand nor moves the exon.
        {line("chr1", "exon", "100", "200", kIds + " tag \"-\"; note \"moved from gene_id H - see transcript_id U\";"),
         "G()chr1:100-200[T+ 100-200] "},
        {line("chr1", "exon", "100", "200", "gene_id \"exon\"; transcript_id \"T\"; gene_name \"-\";"),
         "exon(-)chr1:100-200[T+ 100-200] "},
        {line("chr1", "exon", "100", "200", "gene_id \"G 1\"; transcript_id \"T;1\"; gene_name \"Two Words\";"),
         "G 1(Two Words)chr1:100-200[T;1+ 100-200] "},
        {line("chr1", "exon", "100", "200", "transcript_id T;gene_name N ; gene_id  G"), "G(N)chr1:100-200[T+ 100-200] "},
        {line("chr1", "exon", "100", "200", "gene_id \"G\"; gene_id \"H\"; transcript_id \"T\";"),
         "G()chr1:100-200[T+ 100-200] "},
        {line("chr1", "exon", "100", "200", "note \"say \\\"gene_id H\\\"\"; gene_id \"G\"; transcript_id \"T\";"),
         "G()chr1:100-200[T+ 100-200] "},
        {line("chr1", "exon", "100", "200", kIds) + line("chr1", "exon", "100", "200", kIds), "G()chr1:100-200[T+ 100-200] ",
         "1 duplicate exon(s) of their transcript, counted once (first at line 2)"},
        {line("chr1", "exon", "100", "200", kIds) + line("chr1", "exon", "400", "300", kIds), "G()chr1:100-200[T+ 100-200] ",
         "a.gtf: 1 with start after end (first at line 2)\n"},
        {line("chr1", "exon", "100", "200", "gene_id \"\"; transcript_id \"T\";"),
         "error: line 1: exon line without a gene_id attribute"},
        {"chr1\tsrc\texon\t100\t200\t.\t+\t.\tgene_id \"G\"; transcript_id \"T\"; gene_name N\r\n",
         "G(N)chr1:100-200[T+ 100-200] "},
        {noNewline, "G()chr1:100-200[T+ 100-200] "},
        {line("chr1", "exon", "100", "200", kIds + " note \"" + padding + "\";")
             + line("chr1", "exon", "300", "400", "note \"" + padding + "\"; gene_id \"H\"; transcript_id \"U\";"),
         "G()chr1:100-200[T+ 100-200] H()chr1:300-400[U+ 300-400] "},
        {line("chrX", "exon", "100", "200", kIds) + line("chrY", "exon", "5000", "6000", kIds)
             + line("chrX", "exon", "300", "400", kIds),
         // One gene per reference, the second filed right after the first.
         "G()chrX:100-400[T+ 100-200 300-400] G\x01" "000001()chrY:5000-6000[T+ 5000-6000] ",
         "have exon lines on several references; each reference holds a transcript of its own (first: T on chrX and chrY)"},
        // Overlapping and repeated exons of a transcript are its union; another transcript keeps its own.
        {line("chr1", "exon", "300", "400", kIds) + line("chr1", "exon", "100", "200", kIds)
             + line("chr1", "exon", "150", "320", kIds) + line("chr1", "exon", "500", "600", kIds)
             + line("chr1", "exon", "401", "450", kIds) + line("chr1", "exon", "500", "600", kIds)
             + line("chr1", "exon", "120", "130", "gene_id \"G\"; transcript_id \"U\";"),
         "G()chr1:100-600[T+ 100-400 401-450 500-600][U+ 120-130] ",
         "overlap another exon of their transcript (first at line 3)"},
        {line("chr1", "exon", "100", "200", kIds) + line("chr1", "exon", "300", "400", "transcript_id \"T\";"),
         "error: line 2: exon line without a gene_id attribute"},
        {line("chr1", "mRNA", "100", "200", "ID=t1;Parent=g1"), "error: no gene found: it looks like GFF3"},
        {line("chr1", "pseudoexon", "100", "200", kIds) + "chr1\tsrc\texon\t" + kIds + "\n",
         "error: no gene found: no exon line could be used", "1 with fewer than 9 columns (first at line 2)"},
        {"", "error: no gene found: no line has the feature exon"},
    };
    testutil::TempDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.gtf.substr(0, 300));
        std::string err;
        const std::string result = outcome(dir.file("a.gtf"), row.gtf, err);
        if (row.genes.rfind("error: ", 0) == 0)
            EXPECT_EQ(result.substr(0, row.genes.size()), row.genes);
        else
            EXPECT_EQ(result, row.genes);
        if (row.warning.empty())
            EXPECT_EQ(err, "");
        else
            EXPECT_TRUE(testutil::contains(err, row.warning)) << err;
    }
}

TEST(Annotations, OverlappingGenesMergeIntoTheFirst)
{
    struct Row { std::string gtf; std::string genes; };
    const std::vector<Row> rows = {
        {exon("chr1", 100, 200, "A", "TA") + exon("chr1", 450, 500, "A", "TA") + exon("chr1", 480, 900, "B", "TB1")
             + exon("chr1", 450, 470, "B", "TB2"), "A()chr1:100-900[TA+ 100-200 450-500][TB1+ 480-900][TB2+ 450-470] "},
        {exon("chr1", 100, 200, "A", "TA") + exon("chr1", 800, 900, "A", "TA") + exon("chr1", 300, 400, "B", "TB"),
         "A()chr1:100-900[TA+ 100-200 800-900] B()chr1:300-400[TB+ 300-400] "},
        {exon("chr1", 100, 200, "A", "TA") + exon("chr1", 200, 300, "B", "TB", "", '-'),
         "A()chr1:100-300[TA+ 100-200][TB- 200-300] "},
        {exon("chr1", 100, 200, "A", "TA") + exon("chr1", 201, 300, "B", "TB"),
         "A()chr1:100-200[TA+ 100-200] B()chr1:201-300[TB+ 201-300] "},
        {exon("chr1", 100, 200, "A", "TA") + exon("chr2", 100, 200, "B", "TB"),
         "A()chr1:100-200[TA+ 100-200] B()chr2:100-200[TB+ 100-200] "},
        {exon("chr1", 100, 300, "A", "TA") + exon("chr1", 250, 600, "B", "TB") + exon("chr1", 550, 800, "D", "TD"),
         "A()chr1:100-800[TA+ 100-300][TB+ 250-600][TD+ 550-800] "},
        {exon("chr1", 100, 1000, "A", "TA") + exon("chr1", 200, 300, "B", "TB") + exon("chr1", 400, 500, "C", "TC"),
         "A()chr1:100-1000[TA+ 100-1000][TC+ 400-500][TB+ 200-300] "},
        {exon("chr1", 500, 900, "A", "TA") + exon("chr1", 100, 600, "Z", "TZ"), "Z()chr1:100-900[TZ+ 100-600][TA+ 500-900] "},
        {exon("chr1", 100, 200, "A", "T") + exon("chr1", 150, 400, "B", "T"), "A()chr1:100-400[T+ 100-400] "},
    };
    testutil::TempDir dir;
    GeneSelection merging;
    merging.mergeOverlapping = true;
    for (const Row& row : rows)
        EXPECT_EQ(describe(load(dir.file("m.gtf"), row.gtf, merging)), row.genes) << row.gtf;
}

// The merged gene's estimates go back to the annotated genes in proportion to their
// transcripts' alphas; below ten compatible fragments a gene of several transcripts
// keeps no alphas.
TEST(Annotations, MergedEstimatesAreCarriedBackToTheAnnotatedGenes)
{
    struct Row {
        uint64_t frags, compFrags;
        std::vector<double> merged;
        uint64_t bFrags, bComp;
        std::vector<double> bAlphas;
    };
    const std::vector<Row> rows = {
        {100, 50, {0.5, 0.3, 0.2}, 50, 25, {0.6, 0.4}}, {41, 20, {0.5, 0.25, 0.25}, 20, 10, {0.5, 0.5}},
        {40, 18, {0.5, 0.25, 0.25}, 20, 9, {0.0, 0.0}},
    };
    testutil::TempDir dir;
    GeneSelection merging;
    merging.mergeOverlapping = true;
    for (const Row& row : rows) {
        Annotations a = load(dir.file("m.gtf"), exon("chr1", 100, 200, "A", "TA") + exon("chr1", 450, 500, "A", "TA")
                                 + exon("chr1", 480, 900, "B", "TB1") + exon("chr1", 450, 470, "B", "TB2"), merging);
        Gene& merged = a.genes.at("A");
        merged.fragsLocus = row.frags;
        merged.compFragsLocus = row.compFrags;
        merged.alphas = row.merged;
        a.mergeAnnotations();
        const Gene& b = a.genes.at("B");
        EXPECT_EQ(b.fragsLocus, row.bFrags) << row.frags;
        EXPECT_EQ(b.compFragsLocus, row.bComp) << row.frags;
        ASSERT_EQ(b.alphas.size(), 2u);
        EXPECT_NEAR(b.alphas[0], row.bAlphas[0], 1e-12) << row.frags;
        EXPECT_NEAR(b.alphas[1], row.bAlphas[1], 1e-12) << row.frags;
        EXPECT_EQ(a.genes.at("A").alphas, std::vector<double>{1.0});
    }
}

// A gene's tying is made when the gene is estimated and again when its row is written:
// both must see the tying the options ask for.
TEST(Annotations, TranscriptGroupsFollowTheTyingOptions)
{
    struct Case {
        const char* name;
        std::vector<int32_t> lengths;
        bool global;
        bool automatic;
        std::vector<uint64_t> groups;
        uint64_t nrGroups;
    };
    const std::vector<Case> cases = {
        {"one group per transcript", {250, 1000, 1100}, false, false, {0, 1, 2}, 3},
        {"global tying", {250, 1000, 1100}, true, false, {0, 0, 0}, 1},
        {"by length class", {250, 1000, 1100}, false, true, {0, 1, 1}, 2},
        {"two singletons merge", {250, 1000}, false, true, {0, 0}, 1},
        {"a transcript of no length", {250, 0}, false, false, {0, 0}, 0}, {"no transcript", {}, true, false, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Gene gene;
        gene.transcripts.resize(c.lengths.size());
        for (size_t t = 0; t < c.lengths.size(); ++t)
            gene.transcripts[t].length = c.lengths[t];
        const Tying tying{.automatic = c.automatic, .global = c.global};
        uint64_t nrGroups = 99;
        EXPECT_EQ(transcriptGroups(gene, tying, nrGroups), c.groups);
        EXPECT_EQ(nrGroups, c.nrGroups);
        const t_initValues values = initialValues(gene, tying, 3);
        EXPECT_EQ(values.trans2group, c.groups);
        EXPECT_EQ(values.betas.size(), c.nrGroups);
        EXPECT_EQ(values.alphas.size(), c.lengths.size());
    }
}

} // namespace
