// What happens to one gene between its locus and its summary rows, observed through
// whole runs of the executables on small hand-written annotations and alignments.

#include <algorithm>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include "TestUtil.h"

using testutil::readText;

namespace {

std::string quoted(const std::string& text) { return "'" + text + "'"; }

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> result;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');)
        result.push_back(field);
    return result;
}

std::string column(const std::vector<std::string>& rows, size_t c)
{
    std::string result;
    for (size_t i = 1; i < rows.size(); ++i)
        result += fields(rows[i]).at(c) + " ";
    return result;
}

std::string exon(const std::string& chromosome, int start, int end, const std::string& gene,
                 const std::string& transcript, const std::string& name = "")
{
    std::string line = chromosome + "\ttest\texon\t" + std::to_string(start) + "\t" + std::to_string(end) +
                       "\t.\t+\t.\tgene_id \"" + gene + "\"; transcript_id \"" + transcript + "\";";
    if (!name.empty())
        line += " gene_name \"" + name + "\";";
    return line + "\n";
}

// Proper pairs of 50-base reads, written in coordinate order.
class Alignments {
public:
    explicit Alignments(std::string references = "@SQ\tSN:chr1\tLN:20000\n@SQ\tSN:chr2\tLN:20000\n")
        : references_(std::move(references))
    {
    }

    Alignments& pair(const std::string& reference, int left, int right)
    {
        const std::string name = "p" + std::to_string(serial_++);
        records_.push_back({reference, left, record(name, 99, reference, left, right, right + 50 - left)});
        records_.push_back({reference, right, record(name, 147, reference, right, left, left - right - 50)});
        return *this;
    }

    std::string sam() const
    {
        auto sorted = records_;
        std::stable_sort(sorted.begin(), sorted.end(), [this](const Line& a, const Line& b) {
            return std::make_tuple(references_.find("SN:" + a.reference + "\t"), a.pos) <
                   std::make_tuple(references_.find("SN:" + b.reference + "\t"), b.pos);
        });
        std::string text = "@HD\tVN:1.6\tSO:coordinate\n" + references_;
        for (const auto& line : sorted)
            text += line.text;
        return text;
    }

private:
    struct Line {
        std::string reference;
        int pos;
        std::string text;
    };

    static std::string record(const std::string& name, int flag, const std::string& reference, int pos,
                              int matePos, int templateLength)
    {
        return name + "\t" + std::to_string(flag) + "\t" + reference + "\t" + std::to_string(pos) + "\t60\t50M\t=\t" +
               std::to_string(matePos) + "\t" + std::to_string(templateLength) + "\t*\t*\n";
    }

    std::string references_;
    std::vector<Line> records_;
    int serial_ = 0;
};

// Gene GA ("alpha"): one transcript of two exons, 400 + 300 = 700 bases, three pairs in
// its first exon and one pair in its intron (in the locus, compatible with nothing).
// Gene GB (no name): one exon of 1000 bases with six pairs. So the experiment has 10
// fragments, 9 of them compatible.
const std::string kTwoGenes = exon("chr1", 1001, 1400, "GA", "tA", "alpha") + exon("chr1", 1601, 1900, "GA", "tA", "alpha") +
                              exon("chr1", 5001, 6000, "GB", "tB");

Alignments twoGenesReads()
{
    Alignments reads;
    reads.pair("chr1", 1010, 1200).pair("chr1", 1050, 1250).pair("chr1", 1100, 1300);
    reads.pair("chr1", 1420, 1500);
    for (int i = 0; i < 6; ++i)
        reads.pair("chr1", 5100 + 100 * i, 5300 + 100 * i);
    return reads;
}

bool hasTwoHardwareThreads() { return boost::thread::hardware_concurrency() >= 2; }

class GeneRun : public testing::Test {
protected:
    void write(const std::string& gtf, const Alignments& reads)
    {
        testutil::writeText(dir.file("genes.gtf"), gtf);
        testutil::samToBam(reads.sam(), dir.file("reads.bam"), true);
    }

    testutil::CommandResult quantify(const std::string& options, const std::string& exe = testutil::kestroveExe())
    {
        return testutil::run("cd " + quoted(dir.path()) + " && " + quoted(exe) +
                             " -G genes.gtf -B reads.bam -o out " + options);
    }

    std::vector<std::string> geneRows() const { return lines(readText(dir.file("out/genes_summary_reads.dat"))); }
    std::vector<std::string> transcriptRows() const
    {
        return lines(readText(dir.file("out/transcripts_summary_reads.dat")));
    }

    testutil::TempDir dir;
};

} // namespace

TEST_F(GeneRun, FpkmDividesLocusFragmentsByLengthAndExperimentSize)
{
    write(kTwoGenes, twoGenesReads());
    const auto result = quantify("");
    ASSERT_EQ(result.status, 0) << result.err;

    // THN: 1e9 x 4 / (700 x 10) for GA, 1e9 x 6 / (1000 x 10) for GB.
    // CHN: 1e9 x 3 / (700 x 9) and 1e9 x 6 / (1000 x 9).
    const auto transcripts = transcriptRows();
    ASSERT_EQ(transcripts.size(), 3u);
    EXPECT_EQ(transcripts[1], "tA\tGA\talpha\tchr1:1001-1900\t700\t1.00\t1.00000\t4\t10\t571428.57143\t3\t9\t476190.47619");
    EXPECT_EQ(transcripts[2], "tB\tGB\tGB\tchr1:5001-6000\t1000\t1.00\t1.00000\t6\t10\t600000.00000\t6\t9\t666666.66667");
    const auto genes = geneRows();
    ASSERT_EQ(genes.size(), 3u);
    EXPECT_EQ(genes[1], "GA\talpha\tchr1:1001-1900\t4\t10\t571428.571429\t3\t9\t476190.476190\tOK");
    EXPECT_EQ(genes[2], "GB\tGB\tchr1:5001-6000\t6\t10\t600000.000000\t6\t9\t666666.666667\tOK");
}

TEST_F(GeneRun, ChromosomeMissingFromTheBamCountsAsProcessedWithoutFragments)
{
    write(kTwoGenes + exon("chrZ", 100, 900, "GC", "tC", "gamma"), twoGenesReads());
    const auto result = quantify("");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("\n> 3 genes processed.\n\nExperiment finished on "), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("genes skipped"), std::string::npos);

    const auto genes = geneRows();
    ASSERT_EQ(genes.size(), 4u);
    const auto gc = fields(genes[3]);
    EXPECT_EQ(gc[0], "GC");
    EXPECT_EQ(gc[2], "chrZ:100-900");
    EXPECT_EQ(gc[3], "0");
    EXPECT_EQ(gc.back(), "FAIL");
    // The other genes are untouched by it.
    EXPECT_EQ(genes[1], "GA\talpha\tchr1:1001-1900\t4\t10\t571428.571429\t3\t9\t476190.476190\tOK");
}

TEST_F(GeneRun, GeneAboveMaxTotalFragsIsWrittenAsFailedAndReportedSkipped)
{
    write(kTwoGenes, twoGenesReads());
    for (int blocks : {1, 3}) {
        SCOPED_TRACE("blocks " + std::to_string(blocks));
        const auto result = quantify("--max-total-frags 5 --blocks " + std::to_string(blocks));
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_NE(result.out.find("\n> 1 genes processed.\n> 1 genes skipped.\n\nExperiment finished on "),
                  std::string::npos)
            << result.out;

        // GB (6 fragments) is skipped; GA alone makes the compatible count of the experiment.
        const auto transcripts = transcriptRows();
        ASSERT_EQ(transcripts.size(), 3u);
        const auto tb = fields(transcripts[2]);
        EXPECT_EQ(tb, (std::vector<std::string>{"tB", "GB", "GB", "chr1:5001-6000", "1000", "0", "0", "0", "10", "0",
                                                "0", "3", "0"}));
        EXPECT_EQ(fields(transcripts[1]).size(), 13u);

        const auto genes = geneRows();
        ASSERT_EQ(genes.size(), 3u);
        EXPECT_EQ(genes[2], "GB\tGB\tchr1:5001-6000\t0\t10\t0\t0\t3\t0\tFAIL");
        EXPECT_EQ(fields(genes[1]).back(), "OK");
    }
}

TEST_F(GeneRun, GenesAreWrittenOnceEachInByteWiseIdOrder)
{
    // Upper case sorts before "_" and lower case; "G10" before "G9".
    const std::string gtf = exon("chr1", 9001, 9500, "g1", "t_g1") + exon("chr1", 7001, 7500, "G_2", "t_G_2") +
                            exon("chr1", 1001, 1500, "G9", "t_G9a") + exon("chr1", 1001, 1400, "G9", "t_G9b") +
                            exon("chr1", 3001, 3500, "G10", "t_G10") + exon("chr2", 1001, 1500, "A", "t_A");
    Alignments reads;
    reads.pair("chr1", 1100, 1300).pair("chr1", 3100, 3300).pair("chr1", 9100, 9300).pair("chr2", 1100, 1200);
    write(gtf, reads);
    const auto result = quantify("");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("\n> 5 genes processed.\n"), std::string::npos) << result.out;

    EXPECT_EQ(column(geneRows(), 0), "A G10 G9 G_2 g1 ");
    EXPECT_EQ(column(transcriptRows(), 0), "t_A t_G10 t_G9a t_G9b t_G_2 t_g1 ");
    EXPECT_EQ(column(geneRows(), 9), "OK OK OK FAIL OK ");
}

TEST_F(GeneRun, ProgressNamesAGeneByItsIdOnlyWhenItsNameIsLongerThan34)
{
    const std::string name34(34, 'n');
    const std::string name35(35, 'm');
    write(exon("chr1", 1001, 1500, "GSHORT", "t1", name34) + exon("chr1", 3001, 3500, "GLONG", "t2", name35),
          Alignments().pair("chr1", 1100, 1200).pair("chr1", 3100, 3200));
    const auto result = quantify("");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("Processing gene " + name34 + "["), std::string::npos) << result.out;
    std::string byId = "Processing gene GLONG";
    byId.resize(50, ' ');
    EXPECT_NE(result.out.find(byId + "["), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find(name35), std::string::npos);
}

TEST_F(GeneRun, LogOfAnEstimatedGeneIsNamedAfterItAndFollowsTheDocumentedOrder)
{
    write(kTwoGenes + exon("chrZ", 100, 900, "GC", "tC", "gamma"), twoGenesReads());
    const auto result = quantify("--log-files");
    ASSERT_EQ(result.status, 0) << result.err;

    ASSERT_TRUE(testutil::exists(dir.file("out/logfiles/alpha.log")));
    // A gene without a name is logged under its id; one that never reaches estimation has no log.
    EXPECT_TRUE(testutil::exists(dir.file("out/logfiles/GB.log")));
    EXPECT_FALSE(testutil::exists(dir.file("out/logfiles/gamma.log")));
    EXPECT_FALSE(testutil::exists(dir.file("out/logfiles/GC.log")));

    const std::string log = readText(dir.file("out/logfiles/alpha.log"));
    EXPECT_EQ(log.rfind("Experiment started on ", 0), 0u);
    const std::vector<std::string> inOrder = {
        "\nInitial Configuration:\nTraining status(0: not trained, 1: trained) of alphas : ",
        "\n\nInitial parameters:\nInitial alphas           : 1\t",
        "\nGene information[gene name, gene ID]: alpha, GA\nLocus : chr1:1001-1900\nNumber of valid fragments: 3\n",
        "\nIsoform IDs : tA \nIsoform group IDs : 1 \n",
        "\nFinal Alphas           : 1.00000 ",
        "\n\nExperiment finished on ",
        "\nTotal elapsed time: 00:00:0"};
    size_t at = 0;
    for (const auto& piece : inOrder) {
        const size_t found = log.find(piece, at);
        ASSERT_NE(found, std::string::npos) << "missing after offset " << at << ": " << piece << "\n" << log;
        at = found + piece.size();
    }
    EXPECT_EQ(log.back(), '\n');
}

TEST_F(GeneRun, LogNumbersTiedGroupsFromOne)
{
    // Lengths 250, 260 and 4000: automatic tying puts the first two in one length class.
    const std::string gtf = exon("chr1", 1001, 1250, "GT", "t1", "tied") + exon("chr1", 1001, 1130, "GT", "t2", "tied") +
                            exon("chr1", 1201, 1330, "GT", "t2", "tied") + exon("chr1", 1001, 5000, "GT", "t3", "tied");
    write(gtf, Alignments().pair("chr1", 1010, 1150).pair("chr1", 1020, 1190).pair("chr1", 2000, 2300));

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"--auto-group-tying", "1 1 2 "}, {"--global-tying", "1 1 1 "}, {"", "1 2 3 "}};
    for (const auto& [option, groups] : cases) {
        SCOPED_TRACE(option);
        const auto result = quantify("--log-files " + option, testutil::kestroveDevExe());
        ASSERT_EQ(result.status, 0) << result.err;
        const std::string log = readText(dir.file("out/logfiles/tied.log"));
        EXPECT_NE(log.find("\nIsoform IDs : t1 t2 t3 \nIsoform group IDs : " + groups + "\n"), std::string::npos)
            << log;
    }
}

TEST_F(GeneRun, GeneAtTheFragmentsThresholdIsDeferredAndEstimatedAlike)
{
    if (!hasTwoHardwareThreads())
        GTEST_SKIP() << "needs two hardware threads";
    write(kTwoGenes, twoGenesReads());
    const auto single = quantify("", testutil::kestroveDevExe());
    ASSERT_EQ(single.status, 0) << single.err;
    const auto expectedGenes = readText(dir.file("out/genes_summary_reads.dat"));
    const auto expectedTranscripts = readText(dir.file("out/transcripts_summary_reads.dat"));

    // GB counts exactly 6 fragments, GA 4: the display passes 100 % by the one deferred gene.
    for (const auto& [threshold, stars, percent] :
         std::vector<std::tuple<int, size_t, std::string>>{{6, 37, "150"}, {7, 25, "100"}}) {
        SCOPED_TRACE("threshold " + std::to_string(threshold));
        const auto result = quantify("--threads 2 --frags-threshold " + std::to_string(threshold),
                                     testutil::kestroveDevExe());
        ASSERT_EQ(result.status, 0) << result.err;
        std::string saving = "Saving results..";
        saving.resize(50, ' ');
        EXPECT_NE(result.out.find(saving + "[" + std::string(stars, '*') + "]   " + percent + "%\r"),
                  std::string::npos)
            << result.out;
        EXPECT_NE(result.out.find("\n> 2 genes processed.\n"), std::string::npos);
        EXPECT_EQ(readText(dir.file("out/genes_summary_reads.dat")), expectedGenes);
        EXPECT_EQ(readText(dir.file("out/transcripts_summary_reads.dat")), expectedTranscripts);
    }
}
