#include <map>
#include <string>

#include <gtest/gtest.h>
#include <zlib.h>

#include "Annotations.h"
#include "KestroveException.h"
#include "TestUtil.h"

namespace {

using testutil::TempDir;

std::string gtfLine(const std::string& chr, const std::string& feature, const std::string& start,
                    const std::string& end, const std::string& strand, const std::string& attributes)
{
    return chr + "\thavana\t" + feature + "\t" + start + "\t" + end + "\t.\t" + strand + "\t.\t" + attributes + "\n";
}

std::string ids(const std::string& gene, const std::string& transcript, const std::string& name = "")
{
    std::string text = "gene_id \"" + gene + "\"; transcript_id \"" + transcript + "\";";
    if (!name.empty())
        text += " gene_name \"" + name + "\";";
    return text;
}

class GtfReader : public ::testing::Test {
protected:
    Annotations load(const std::string& text, const std::map<std::string, std::string>& genesList = {})
    {
        std::string path = dir.file("annotation.gtf");
        testutil::writeText(path, text);
        Annotations annotations;
        annotations.parseGTF(path.c_str(), genesList, conf);
        return annotations;
    }

    TempDir dir;
    t_configuration conf;
};

} // namespace

TEST_F(GtfReader, ReverseStrandExonCreatesNamedGeneOnItsChromosome)
{
    Annotations a = load(gtfLine("chr1", "exon", "100", "200", "-", ids("G", "T", "N")));
    ASSERT_EQ(a.genes.size(), 1u);
    const Gene& g = a.genes.at("G");
    EXPECT_EQ(g.geneId, "G");
    EXPECT_EQ(g.geneName, "N");
    EXPECT_EQ(g.chromosome, "chr1");
    EXPECT_EQ(g.start, 100);
    EXPECT_EQ(g.end, 200);
    ASSERT_EQ(g.transcripts.size(), 1u);
    EXPECT_EQ(g.transcripts[0].transcriptId, "T");
    EXPECT_FALSE(g.transcripts[0].forwardStrand);
    ASSERT_EQ(g.transcripts[0].exons.size(), 1u);
    EXPECT_EQ(g.transcripts[0].exons[0].start, 100);
    EXPECT_EQ(g.transcripts[0].exons[0].end, 200);
    EXPECT_TRUE(a.transToGene.empty()) << "filled only when merging";
}

TEST_F(GtfReader, StrandOfTranscriptIsThatOfItsFirstLine)
{
    Annotations a = load(gtfLine("chr1", "exon", "300", "400", "-", ids("G", "T")) +
                         gtfLine("chr1", "exon", "100", "200", "+", ids("G", "T")) +
                         gtfLine("chr1", "exon", "100", "200", "+", ids("G", "U")));
    const Gene& g = a.genes.at("G");
    ASSERT_EQ(g.transcripts.size(), 2u);
    EXPECT_FALSE(g.transcripts[0].forwardStrand);
    EXPECT_EQ(g.transcripts[0].exons[0].start, 100) << "exons sorted by start";
    EXPECT_TRUE(g.transcripts[1].forwardStrand);
}

TEST_F(GtfReader, OnlyExonFeaturesAreRead)
{
    std::string attrs = ids("G", "T");
    Annotations a = load(gtfLine("chr1", "gene", "50", "900", "+", "gene_id \"G\";") +
                         gtfLine("chr1", "transcript", "50", "900", "+", attrs) +
                         gtfLine("chr1", "exon", "50", "300", "+", attrs) +
                         gtfLine("chr1", "CDS", "120", "250", "+", attrs) +
                         gtfLine("chr1", "start_codon", "120", "122", "+", attrs) +
                         gtfLine("chr1", "EXON", "600", "900", "+", attrs) +
                         gtfLine("chr1", "Exon", "1000", "1100", "+", attrs));
    const Gene& g = a.genes.at("G");
    ASSERT_EQ(g.transcripts.size(), 1u);
    ASSERT_EQ(g.transcripts[0].exons.size(), 2u);
    EXPECT_EQ(g.transcripts[0].exons[0].start, 50);
    EXPECT_EQ(g.transcripts[0].exons[1].start, 600);
    EXPECT_EQ(g.end, 900);
}

TEST_F(GtfReader, AttributeValuesAreCutAtSpaces)
{
    Annotations a = load(gtfLine("chr1", "exon", "100", "200", "+", ids("G", "T", "Two Words")));
    EXPECT_EQ(a.genes.at("G").geneName, "Two");
}

TEST_F(GtfReader, CoordinatesMustBeStrictSigned32BitIntegers)
{
    Annotations a = load(gtfLine("chr1", "exon", "1e3", "2000", "+", ids("A", "T1")) +
                         gtfLine("chr1", "exon", "+100", "200", "+", ids("B", "T2")) +
                         gtfLine("chr1", "exon", "100", "2147483648", "+", ids("C", "T3")) +
                         gtfLine("chr1", "exon", "100", "2147483647", "+", ids("D", "T4")) +
                         gtfLine("chr1", "exon", "-2147483648", "5", "+", ids("E", "T5")) +
                         gtfLine("chr1", "exon", "-2147483649", "5", "+", ids("F", "T6")) +
                         gtfLine("chr1", "exon", "+", "200", "+", ids("H", "T7")) +
                         gtfLine("chr1", "exon", "10x", "200", "+", ids("I", "T8")) +
                         gtfLine("chr1", "exon", "100", " 200", "+", ids("J", "T9")));
    EXPECT_EQ(a.genes.count("A"), 0u);
    ASSERT_EQ(a.genes.count("B"), 1u);
    EXPECT_EQ(a.genes.at("B").transcripts[0].exons[0].start, 100);
    EXPECT_EQ(a.genes.count("C"), 0u);
    ASSERT_EQ(a.genes.count("D"), 1u);
    EXPECT_EQ(a.genes.at("D").end, 2147483647);
    ASSERT_EQ(a.genes.count("E"), 1u);
    EXPECT_EQ(a.genes.at("E").start, -2147483647 - 1);
    EXPECT_EQ(a.genes.count("F"), 0u);
    EXPECT_EQ(a.genes.count("H"), 0u);
    EXPECT_EQ(a.genes.count("I"), 0u);
    ASSERT_EQ(a.genes.count("J"), 1u) << "the space is a separator, not part of the number";
    EXPECT_EQ(a.genes.at("J").end, 200);
}

TEST_F(GtfReader, GenesListKeepsOnlyListedGenes)
{
    std::string text = gtfLine("chr1", "exon", "100", "200", "+", ids("G1", "T1")) +
                       gtfLine("chr1", "exon", "300", "400", "+", ids("G2", "T2")) +
                       gtfLine("chr1", "exon", "500", "600", "+", ids("G3", "T3"));
    std::map<std::string, std::string> list = {{"G1", ""}};
    conf.processAllGenes = false;
    Annotations kept = load(text, list);
    ASSERT_EQ(kept.genes.size(), 1u);
    EXPECT_EQ(kept.genes.count("G1"), 1u);

    conf.excludeGenes = true;
    Annotations excluded = load(text, list);
    EXPECT_EQ(excluded.genes.size(), 2u);
    EXPECT_EQ(excluded.genes.count("G1"), 0u);

    conf.processAllGenes = true;
    conf.excludeGenes = false;
    EXPECT_EQ(load(text, list).genes.size(), 3u) << "a list without the genes-list option is ignored";
}

TEST_F(GtfReader, CommentsAreSkippedOnlyAtTheTop)
{
    std::string text = "#!genome-build GRCh38\n" + gtfLine("#chr1", "exon", "1", "2", "+", ids("C", "TC")) +
                       gtfLine("chr1", "exon", "100", "200", "+", ids("G1", "T1")) +
                       "#comment in the middle\n" +
                       gtfLine("#chr2", "exon", "300", "400", "+", ids("G2", "T2"));
    Annotations a = load(text);
    EXPECT_EQ(a.genes.size(), 2u);
    EXPECT_EQ(a.genes.count("C"), 0u);
    ASSERT_EQ(a.genes.count("G2"), 1u);
    EXPECT_EQ(a.genes.at("G2").chromosome, "#chr2") << "a later # line is an ordinary line";
}

TEST_F(GtfReader, BareMinusAttributeValueMarksReverseStrand)
{
    Annotations a = load(gtfLine("chr1", "exon", "100", "200", "+", ids("G", "T") + " tag \"-\";"));
    EXPECT_FALSE(a.genes.at("G").transcripts[0].forwardStrand);
}

TEST_F(GtfReader, ConsumedValueIsNotReadAsKeyword)
{
    // The gene name "-" and the gene id "exon" are values, not a strand or a feature.
    Annotations a = load(gtfLine("chr1", "exon", "100", "200", "+",
                                 "gene_id \"exon\"; transcript_id \"T\"; gene_name \"-\";"));
    ASSERT_EQ(a.genes.count("exon"), 1u);
    EXPECT_EQ(a.genes.at("exon").geneName, "-");
    EXPECT_TRUE(a.genes.at("exon").transcripts[0].forwardStrand);
    EXPECT_EQ(a.genes.at("exon").start, 100);
}

TEST_F(GtfReader, CarriageReturnStaysInLastToken)
{
    std::string line = "chr1\tsrc\texon\t100\t200\t.\t+\t.\tgene_id \"G\"; transcript_id \"T\"; gene_name N\r\n";
    Annotations a = load(line + line);
    ASSERT_EQ(a.genes.count("G"), 1u);
    EXPECT_EQ(a.genes.at("G").geneName, "N\r");
    EXPECT_EQ(a.genes.at("G").transcripts[0].exons.size(), 1u);
}

TEST_F(GtfReader, LastLineWithoutNewlineIsRead)
{
    std::string line = gtfLine("chr1", "exon", "100", "200", "+", ids("G", "T"));
    line.pop_back();
    EXPECT_EQ(load(line).genes.size(), 1u);
}

TEST_F(GtfReader, LongLinesAreReadWhole)
{
    std::string padding(3 << 20, 'x');
    std::string text = gtfLine("chr1", "exon", "100", "200", "+", ids("G1", "T1") + " note \"" + padding + "\";") +
                       gtfLine("chr1", "exon", "300", "400", "+", "note \"" + padding + "\"; " + ids("G2", "T2"));
    Annotations a = load(text);
    EXPECT_EQ(a.genes.size(), 2u);
    EXPECT_EQ(a.genes.count("C"), 0u);
    ASSERT_EQ(a.genes.count("G2"), 1u);
    EXPECT_EQ(a.genes.at("G2").transcripts[0].transcriptId, "T2");
}

TEST_F(GtfReader, FirstLineOfGeneDecidesNameAndChromosome)
{
    Annotations a = load(gtfLine("chr1", "exon", "100", "200", "+", ids("G", "T1", "First")) +
                         gtfLine("chr1", "exon", "300", "400", "+", ids("G", "T2", "Second")));
    EXPECT_EQ(a.genes.at("G").geneName, "First");
    EXPECT_EQ(a.genes.at("G").transcripts.size(), 2u);
}

TEST_F(GtfReader, ExonLineWithoutTranscriptIdIsDropped)
{
    testing::internal::CaptureStderr();
    Annotations a = load(gtfLine("chr1", "exon", "100", "200", "+", "gene_id \"G\";") +
                         gtfLine("chr1", "exon", "300", "400", "+", ids("G", "T")));
    std::string err = testing::internal::GetCapturedStderr();
    const Gene& g = a.genes.at("G");
    ASSERT_EQ(g.transcripts.size(), 1u);
    EXPECT_EQ(g.start, 300);
    EXPECT_NE(err.find("without transcript_id"), std::string::npos) << err;
}

TEST_F(GtfReader, LineWithoutGeneIdFormsGeneWithEmptyId)
{
    Annotations a = load(gtfLine("chr1", "exon", "100", "200", "+", "transcript_id \"T\";"));
    ASSERT_EQ(a.genes.count(""), 1u);
    EXPECT_EQ(a.genes.at("").transcripts[0].transcriptId, "T");
}

TEST_F(GtfReader, PseudoexonLineContributesNoExon)
{
    Annotations a = load(gtfLine("chr1", "pseudoexon", "100", "200", "+", ids("P", "TP")) +
                         gtfLine("chr1", "exon", "300", "400", "+", ids("G", "T")));
    EXPECT_EQ(a.genes.count("P"), 0u);
    EXPECT_EQ(a.genes.size(), 1u);
}

TEST_F(GtfReader, ExonKeywordWithoutCoordinatesDropsLine)
{
    Annotations a = load("chr1\tsrc\texon\t" + ids("G", "T") + "\n");
    EXPECT_TRUE(a.genes.empty());
}

TEST_F(GtfReader, FileWithoutExonsGivesNoGenes)
{
    EXPECT_TRUE(load("").genes.empty());
    EXPECT_TRUE(load("#only a comment\n").genes.empty());
    EXPECT_TRUE(load(gtfLine("chr1", "gene", "1", "100", "+", "gene_id \"G\";")).genes.empty());
}

TEST_F(GtfReader, GzipFileReadsLikePlainFile)
{
    std::string text = "#header\n" + gtfLine("chr1", "exon", "300", "400", "-", ids("G", "T", "N")) +
                       gtfLine("chr1", "exon", "100", "200", "-", ids("G", "T", "N"));
    std::string path = dir.file("annotation.gtf.gz");
    gzFile out = gzopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(gzwrite(out, text.data(), static_cast<unsigned>(text.size())), static_cast<int>(text.size()));
    ASSERT_EQ(gzclose(out), Z_OK);

    Annotations a;
    a.parseGTF(path.c_str(), {}, conf);
    ASSERT_EQ(a.genes.count("G"), 1u);
    const t_transcript& t = a.genes.at("G").transcripts[0];
    EXPECT_EQ(t.exons.size(), 2u);
    EXPECT_EQ(t.start, 100);
    EXPECT_FALSE(t.forwardStrand);
}

TEST_F(GtfReader, TruncatedGzipFileIsAnError)
{
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += gtfLine("chr1", "exon", std::to_string(100 + i), "200000", "+", ids("G" + std::to_string(i), "T"));
    std::string full = dir.file("full.gtf.gz");
    gzFile out = gzopen(full.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    gzwrite(out, text.data(), static_cast<unsigned>(text.size()));
    gzclose(out);
    std::string compressed = testutil::readText(full);
    std::string cut = dir.file("cut.gtf.gz");
    testutil::writeText(cut, compressed.substr(0, compressed.size() / 2));

    Annotations a;
    try {
        a.parseGTF(cut.c_str(), {}, conf);
        FAIL() << "a truncated file must not load as a shorter annotation";
    } catch (const KestroveException& e) {
        EXPECT_EQ(e.code, ERR_GTF_OPEN);
    }
}

TEST_F(GtfReader, MissingFileThrowsGtfOpenError)
{
    Annotations a;
    std::string path = dir.file("missing.gtf");
    try {
        a.parseGTF(path.c_str(), {}, conf);
        FAIL() << "no exception";
    } catch (const KestroveException& e) {
        EXPECT_EQ(static_cast<int>(e.code), 107);
        EXPECT_EQ(std::string(e.what()), "Error 107: Failed to open the GTF file: " + path + ": No such file or directory");
    }
    EXPECT_TRUE(a.genes.empty());
}

TEST_F(GtfReader, DirectoryInsteadOfFileThrowsGtfOpenError)
{
    Annotations a;
    EXPECT_THROW(a.parseGTF(dir.path().c_str(), {}, conf), KestroveException);
}
