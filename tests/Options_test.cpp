// Option validation: each row is an argument list, whether the run may go on, and
// the one message a user sees.

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "util/Files.h"
#include "util/Units.h"
#include "cli/Options.h"
#include "TestUtil.h"

namespace {

struct Parsed {
    bool ok = false;
    int status = 1;  // the exit status when the run stops
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
    ProgramParameters parameters;
    parsed.ok = parameters.validateParameters(static_cast<int>(args.size()), argv.data(), dirs, parsed.conf);
    parsed.status = parameters.exitStatus();
    parsed.err = testing::internal::GetCapturedStderr();
    parsed.out = testing::internal::GetCapturedStdout();
    return parsed;
}

TEST(Options, ValuesAreCheckedAgainstTheirBounds)
{
    struct Row {
        std::vector<std::string> args;
        bool ok;
        std::string message;  // start of what the run prints; nothing at all when empty
        bool development = false;
        int status = 1;  // when it stops
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
        {{"-D", "FWD"}, false, "library strandedness has to be either none/fwd/rev!\n"}, {{"-e"}, false, "A file contains gene IDs required when exclude-genes (-e) option is used.\n"},
        {{"-s"}, false, "kestrove - End-User Agreement\n"}, {{"--help", "-b", "0"}, false, "General Options"},
        {{"-i", "70000"}, false, "Error options: "}, {{"-x", "3000000000"}, false, "Error options: "},
        {{"-x", "0", "-r"}, false, "Maximum number of fragments in a locus cannot be smaller than 1!\n"},
        {{"-a", "4", "-f", "1", "-C", "0"}, true, "", true},
        {{"-a", "5"}, false, "Bias type has to be 1 (start), 2 (end), 3 (cufflinks) or 4 (combined)!\n", true},
        {{"-a", "-1"}, false, "Bias type has to be", true},
        {{"-f", "0"}, false, "Fragments threshold cannot be smaller than 1!\n", true},
        {{"-C", "-1"}, false, "Minimum number of fragments for the start-site distributions cannot be negative!\n", true},
        {{"--version", "-b", "0"}, false, "kestrove " KESTROVE_VERSION "\n", false, 0},
        {{"--version"}, false, "kestrove " KESTROVE_VERSION "\n", true, 0},
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
        const Parsed parsed = parse(args, row.development);
        std::string what = row.args[0] + " " + (row.args.size() > 1 ? row.args[1] : "");
        EXPECT_EQ(parsed.ok, row.ok) << what << "\n" << parsed.out << parsed.err;
        if (!row.ok) {
            EXPECT_EQ(parsed.status, row.status) << what;
        }
        // Help, the agreement and the version go to standard output; every refusal to standard error.
        const std::string& shown = row.ok || row.status == 0 || row.args[0] == "--help" || row.args[0] == "-s" ? parsed.out : parsed.err;
        EXPECT_EQ(row.message.empty() ? shown : shown.substr(0, row.message.size()), row.message) << what;
        if (row.status == 0) {
            EXPECT_EQ(parsed.out, row.message) << what;
        }
    }
}

// Gene names turned into file names.
TEST(Options, FileNamesAreSafeAndDistinct)
{
    const std::vector<std::pair<std::string, std::string>> names = {
        {"TP53", "TP53"}, {"../../up", "_.._.._up"}, {"/etc/x", "_etc_x"}, {"a\\b", "a_b"}, {".hidden", "_.hidden"}, {"", "_"}};
    for (const auto& [name, safe] : names)
        EXPECT_EQ(files::fileSafeName(name), safe) << name;
    // Names too long for a file are cut, and names alike up to the cut stay apart.
    const std::string longName(300, 'a');
    for (const std::string& name : {longName, longName + "b", longName + "c", std::string(250, '/')}) {
        const std::string safe = files::fileSafeName(name);
        EXPECT_EQ(safe.size(), files::kMaxFileSafeName) << name;
        EXPECT_EQ(safe.find('/'), std::string::npos);
        EXPECT_EQ(safe.substr(0, 100), files::fileSafeName(name.substr(0, 100))) << name;
    }
    EXPECT_NE(files::fileSafeName(longName + "b"), files::fileSafeName(longName + "c"));
    EXPECT_EQ(files::fileSafeName(std::string(200, 'a')), std::string(200, 'a'));
    EXPECT_EQ(files::splitFilename("dir.v2/genes.gtf"), "genes");
    EXPECT_EQ(units::secondsToTime(3725), "01:02:05");
}

// Genes sharing a name, or with an id too long for a file name, each keep their own log.
TEST(Options, PerGeneLogsAreNamedByGeneId)
{
    testutil::TempDir dir;
    const std::string longId(300, 'L');
    const std::vector<std::pair<std::string, int>> genes = {{"G1", 1000}, {"G2", 5000}, {longId, 9000}, {"G/1", 13000}, {"G_1", 17000}};
    std::string gtf;
    std::vector<testutil::Pair> pairs;
    for (const auto& [id, start] : genes) {
        gtf += testutil::exon("chr1", start, start + 1000, id, id + ".t", "SAME");
        for (int i = 0; i < 5; ++i)
            pairs.emplace_back("chr1", start + 100 + 20 * i, start + 400 + 20 * i);
    }
    testutil::writeText(dir.file("g.gtf"), gtf);
    testutil::samToBam(testutil::pairsSam(pairs), dir.file("r.bam"), true);
    const auto result = testutil::kestroveIn(dir.path(), "-G g.gtf -B r.bam -o out -l");
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string cutId = files::fileSafeName(longId);
    const std::set<std::string> logs = testutil::filesIn(dir.file("out/logfiles"));
    EXPECT_EQ(logs, (std::set<std::string>{"G1.log", "G2.log", cutId + ".log", "G%2F1.log", "G_1.log"}));
    std::string texts;
    for (const std::string& log : logs)
        texts += testutil::readText(dir.file("out/logfiles/" + log));
    for (const auto& [id, start] : genes)
        EXPECT_TRUE(testutil::contains(texts, "Gene information[gene name, gene ID]: SAME, " + id + "\n")) << id.substr(0, 10);
}

} // namespace
