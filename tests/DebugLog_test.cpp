#include <iomanip>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "DebugLog.h"
#include "TestUtil.h"

using testutil::readText;
using testutil::TempDir;

namespace {

t_read fragmentRead(const std::string& name, std::vector<int32_t> starts, std::vector<int32_t> lengths)
{
    t_read read;
    read.name = name;
    read.transStarts = std::move(starts);
    read.fragLengths = std::move(lengths);
    read.transEnds.assign(read.transStarts.size(), 0);
    return read;
}

Gene twoTranscriptGene()
{
    Gene gene;
    gene.geneId = "G2";
    gene.geneName = "Two";
    t_transcript a;
    a.transcriptId = "T1";
    t_transcript b;
    b.transcriptId = "T2";
    gene.transcripts = {a, b};
    return gene;
}

} // namespace

TEST(GeneLog, ConfigurationBlockListsTrainingSwitchesAndThresholds)
{
    t_configuration conf;
    conf.trainBetas = false;
    conf.nrIterations = 250;
    std::stringstream log;
    DebugLog().printConfiguration(conf, log);
    EXPECT_EQ(log.str(),
              "Initial Configuration:"
              "\nTraining status(0: not trained, 1: trained) of alphas : 1"
              "\nTraining status(0: not trained, 1: trained) of betas  : 0"
              "\nTraining status(0: not trained, 1: trained) of mus    : 0"
              "\nTraining status(0: not trained, 1: trained) of sigmas : 0"
              "\nTraining status(0: not trained, 1: trained) of nus    : 0"
              "\nTraining status(0: not trained, 1: trained) of lambdas: 0"
              "\nThreshold for minimum of difference in sum(log(likelihood)) between two iterations required to "
              "CONTINUE the estimation process: 0.5"
              "\nThreshold for minimum of difference of the parameter values between two iterations required to "
              "CONTINUE the estimation process: 1e-05"
              "\nNumber of iterations: 250"
              "\nObserv Alphas: 1"
              "\nNumber of blocks: 3"
              "\nDebug mode: 0");
}

TEST(GeneLog, InitialValuesUseFiveSignificantDigitsFromTheAlphasOn)
{
    t_initValues values;
    values.alphas = {1.0 / 3, 1.0 / 3, 1.0 / 3};
    values.betas = {{0.5, 0.5}, {0.25, 0.75}};
    values.mus = {{750.0}, {2250.0}};
    values.sigmas = {{750.0}, {750.0}};
    values.lambdas = {{1234.0 / 3000}, {1.0}, {0.5}};
    values.nus = {{0.0}, {0.0}, {123456.0}};
    std::stringstream log;
    DebugLog().printInitialValues(values, log);
    EXPECT_EQ(log.str(),
              "\n\nInitial parameters:"
              "\nInitial alphas           : 0.33333\t0.33333\t0.33333\t"
              "\nInitial betas group( 0 ) : 0.5\t0.5\t"
              "\nInitial betas group( 1 ) : 0.25\t0.75\t"
              "\nInitial mus              : 750\t2250\t"
              "\nInitial sigmas           : 750\t750\t"
              "\nInitial lambdas          : 0.41133\t1\t0.5\t"
              "\nInitial nus              : 0\t0\t1.2346e+05\t"
              "\n\nAssumed mean of the distribution of fragment lengths : 200\n"
              "Assumed standard deviation of the distribution of fragment lengths : 80\n");
}

TEST(GeneLog, GeneInformationNumbersTiedGroupsFromOne)
{
    Gene gene = twoTranscriptGene();
    t_transcript c;
    c.transcriptId = "T3";
    gene.transcripts.push_back(c);
    gene.compFragsLocus = 4;
    t_initValues values;
    values.trans2group = {0, 0, 1};
    std::stringstream log;
    DebugLog().printGeneInformation(gene, "chr7:100-900", values, log);
    EXPECT_EQ(log.str(),
              "\nGene information[gene name, gene ID]: Two, G2"
              "\nLocus : chr7:100-900"
              "\nNumber of valid fragments: 4\n"
              "\nIsoform IDs : T1 T2 T3 "
              "\nIsoform group IDs : 1 1 2 \n");
}

TEST(GeneLog, FinalWeightsAreFixedFiveDecimalsInEightCharacterColumns)
{
    std::stringstream log;
    log << std::setprecision(5);
    DebugLog().printFinalWeights({0.25, 0.75}, {{0.5, 0.5}, {1.0, 0.0}}, log);
    log << ' ' << 0.125;
    EXPECT_EQ(log.str(),
              "\nFinal Alphas           : 0.25000 0.75000 "
              "\nFinal Betas group( 1 ) : 0.50000 0.50000 "
              "\nFinal Betas group( 2 ) : 1.00000 0.00000  0.125");
}

TEST(GeneLog, LogFileIsNamedAfterTheGeneNameThenItsId)
{
    TempDir tmp;
    DebugLog writer;
    Gene gene = twoTranscriptGene();

    // No logfiles directory: nothing opens, nothing is said.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(writer.writeLogFile(tmp.path(), gene, "text"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    boost::filesystem::create_directory(tmp.file("logfiles"));
    EXPECT_TRUE(writer.writeLogFile(tmp.path(), gene, "by name\n"));
    EXPECT_EQ(readText(tmp.file("logfiles/Two.log")), "by name\n");

    // A name the file system refuses (longer than a file name may be) falls back to the id.
    gene.geneName = std::string(300, 'x');
    EXPECT_TRUE(writer.writeLogFile(tmp.path(), gene, "by id\n"));
    EXPECT_EQ(readText(tmp.file("logfiles/G2.log")), "by id\n");

    // A name with a path in it stays inside logfiles.
    gene.geneName = "../escaped";
    EXPECT_TRUE(writer.writeLogFile(tmp.path(), gene, "kept inside\n"));
    EXPECT_EQ(readText(tmp.file("logfiles/_.._escaped.log")), "kept inside\n");
    EXPECT_FALSE(testutil::exists(tmp.file("escaped.log")));
}

TEST(ValidityFile, ThreeSectionsOfOneLinePerFragment)
{
    TempDir tmp;
    Annotations ann;
    Gene gene = twoTranscriptGene();
    gene.validities = {{true, false}, {true, true}, {false, true}, {true, true}};
    ann.genes["G2"] = gene;
    auto it = ann.genes.begin();

    FragmentMap fragments;
    fragments["a"] = {fragmentRead("a", {51, 0}, {171, 0}), t_read{}};
    fragments["b"] = {fragmentRead("b", {10, 12}, {200, 198})};
    fragments["c"] = {fragmentRead("c", {0, 7}, {0, 150})};
    fragments["d-4-4"] = {fragmentRead("d-4", {3, 5}, {90, 90})};

    const std::string path = tmp.file("Two_validities.dat");
    EXPECT_EQ(DebugLog().validitiesToFile(fragments, it, path), 1);
    EXPECT_EQ(readText(path),
              "# name: fragment_startsites_trans_coord\n# rows: 4\n# columns: 2\n"
              "a 51 0\nb 10 12\nc 0 7\nd-4 3 5\n"
              "\n# name: fragment_startsites_validity_mat\n# rows: 4\n# columns: 2\n"
              "a 1 0\nb 1 1\nc 0 1\nd-4 1 1\n"
              "\n# name: fragment_lengths\n# rows: 4\n# columns: 2\n"
              "a 171 0\nb 200 198\nc 0 150\nd-4 90 90\n");
}

TEST(ValidityFile, SingleEndFragmentsHaveZeroLengths)
{
    TempDir tmp;
    Annotations ann;
    Gene gene = twoTranscriptGene();
    gene.validities = {{true, true}};
    ann.genes["G2"] = gene;
    auto it = ann.genes.begin();
    FragmentMap fragments;
    fragments["s"] = {fragmentRead("s", {40, 90}, {0, 0})};
    const std::string path = tmp.file("v.dat");
    ASSERT_EQ(DebugLog().validitiesToFile(fragments, it, path), 1);
    const std::string text = readText(path);
    EXPECT_NE(text.find("# name: fragment_lengths\n# rows: 1\n# columns: 2\ns 0 0\n"), std::string::npos) << text;
}

TEST(ValidityFile, UnopenablePathReturnsZeroSilently)
{
    TempDir tmp;
    Annotations ann;
    ann.genes["G2"] = twoTranscriptGene();
    auto it = ann.genes.begin();
    FragmentMap fragments;
    testing::internal::CaptureStderr();
    EXPECT_EQ(DebugLog().validitiesToFile(fragments, it, tmp.file("no/such/dir/x.dat")), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
