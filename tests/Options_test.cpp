// Option validation: each row is an argument list, whether the run may go on, and
// the one message a user sees.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Helper.h"
#include "KestroveException.h"
#include "ProgramParameters.h"

namespace {

struct Parsed {
    bool ok = false;
    std::string out;
    std::string err;
    t_configuration conf;
};

Parsed parse(std::vector<std::string> args, bool developmentPhase)
{
    args.insert(args.begin(), "kestrove");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    Parsed parsed;
    parsed.conf.developmentPhase = developmentPhase;
    t_directories dirs;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    parsed.ok = ProgramParameters().validateParameters(static_cast<int>(args.size()), argv.data(), dirs, parsed.conf);
    parsed.err = testing::internal::GetCapturedStderr();
    parsed.out = testing::internal::GetCapturedStdout();
    return parsed;
}

TEST(Options, ValuesAreCheckedAgainstTheirBounds)
{
    struct Row {
        std::vector<std::string> args;
        bool ok;
        std::string message;  // start of what the run prints
    };
    const std::vector<Row> rows = {
        {{"-b", "1", "-i", "5", "-M", "1", "-m", "1", "-x", "1"}, true, ""},
        {{"-b", "10", "-i", "1000", "-M", "50000000", "-x", "5000000"}, true, ""},
        {{"-q", "1", "-T", "1e-9", "-D", "rev"}, true, ""},
        {{"-b", "11"}, false, "Number of mixture components cannot be bigger than 10!\n"},
        {{"-i", "1001"}, false, "Number of iterations cannot be bigger than 1000!\n"},
        {{"-b", "0", "-i", "4"}, false,
         "Number of mixture components cannot be smaller than 1.\nNumber of iterations cannot be smaller than 5!\n"},
        {{"-x", "5000001"}, false, "You set the number of max fragments in a locus as 5000001."},
        {{"-x", "5000001", "-r"}, true, ""},
        {{"-x", "0"}, false, "Maximum number of fragments in a locus cannot be smaller than 1!\n"},
        {{"-M", "50000001"}, false, "Maximum number of valid fragments cannot be bigger than 50m!\n"},
        {{"-m", "0"}, false, "Minimum number of valid fragments cannot be smaller than 1!\n"},
        {{"-m", "3", "-M", "2"}, false, "Minimum number of valid fragments cannot be bigger than maximum"},
        {{"-T", "nan"}, false, "likelihood threshold cannot be smaller than 1e-9!\n"},
        {{"-q", "1.5"}, false, "min-param-diff"},
        {{"-D", "FWD"}, false, "library strandedness has to be either none/fwd/rev!\n"},
        {{"-e"}, false, ""},
        {{"-s"}, false, ""},
        {{"--help", "-b", "0"}, false, "General Options"},
        {{"-i", "70000"}, false, "Error options: "},
        {{"-x", "3000000000"}, false, "Error options: "},
        {{"--frags-threshold", "2"}, false, "Error options: "},
    };
    EXPECT_EQ(parse({"-G", "g", "-B", "b", "-D", "fwd"}, false).conf.strandedness, 1);
    EXPECT_EQ(parse({"-G", "g", "-B", "b", "-D", "rev"}, false).conf.strandedness, 2);
    const Parsed zeroThreads = parse({"-G", "g", "-B", "b", "--threads", "0"}, false);
    EXPECT_TRUE(zeroThreads.ok && zeroThreads.conf.nrThreads == 1) << zeroThreads.err;
    EXPECT_EQ(parse({"-G", "g", "-B", "b", "-p", "3", "-c"}, false).conf.nrThreads, 3);
    EXPECT_TRUE(parse({"-G", "g", "-B", "b", "-p", "3", "-c"}, false).conf.mergeAnnot);
    EXPECT_EQ(parse({"-G", "g", "-B", "b", "--threads", "512"}, true).conf.nrThreads, 256);
    for (const Row& row : rows) {
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"-G", "genes.gtf", "-B", "reads.bam"});
        const Parsed parsed = parse(args, false);
        std::string what = row.args[0] + " " + (row.args.size() > 1 ? row.args[1] : "");
        EXPECT_EQ(parsed.ok, row.ok) << what << "\n" << parsed.out << parsed.err;
        // Help goes to standard output; every refusal to standard error.
        const std::string& shown = row.ok || row.message == "General Options" ? parsed.out : parsed.err;
        EXPECT_EQ(shown.rfind(row.message, 0), 0u) << what << "\n" << shown;
    }
}

// The texts of the failures the program defines, and gene names turned into file names.
TEST(Options, FailureTextsAndFileNamesFollowTheirTables)
{
    const std::vector<std::pair<ErrorStatus, std::string>> texts = {
        {ERR_UNKNOWN, "Error 100: Unknown: chr1"}, {ERR_BAM_HEADER, "Error 102: Error in BAM header: chr1"},
        {ERR_REGION_PARSE, "Error 104: Failed to parse the region [chr1]"}, {ERR_NO_HITS, "Error 106: No hits: chr1"},
        {ERR_DIVISION_BY_ZERO, "Error 108: Division by 0: chr1"}, {ERR_NONE, "Error 109: None: chr1"}};
    for (const auto& [status, text] : texts)
        EXPECT_EQ(KestroveException(status, "chr1").what(), text);
    const std::vector<std::pair<std::string, std::string>> names = {
        {"TP53", "TP53"}, {"../../up", "_.._.._up"}, {"/etc/x", "_etc_x"}, {"a\\b", "a_b"}, {".hidden", "_.hidden"}, {"", "_"}};
    for (const auto& [name, safe] : names)
        EXPECT_EQ(Helper::fileSafeName(name), safe) << name;
    EXPECT_EQ(Helper::splitFilename("dir.v2/genes.gtf"), "genes");
    EXPECT_EQ(Helper::secondsToTime(3725), "01:02:05");
}

} // namespace
