#include "ProgramParameters.h"

#include <string>
#include <vector>

#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

namespace {

struct Parsed {
    bool ok = false;
    std::string out;
    std::string err;
    t_configuration conf;
    t_directories dirs;
};

Parsed parse(std::vector<std::string> args, bool developmentPhase = false)
{
    args.insert(args.begin(), "kestrove");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    Parsed parsed;
    parsed.conf.developmentPhase = developmentPhase;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ProgramParameters parameters;
    parsed.ok = parameters.validateParameters(static_cast<int>(args.size()), argv.data(), parsed.dirs,
                                              parsed.conf);
    parsed.err = testing::internal::GetCapturedStderr();
    parsed.out = testing::internal::GetCapturedStdout();
    return parsed;
}

Parsed parseWithInputs(std::vector<std::string> args, bool developmentPhase = false)
{
    args.insert(args.end(), {"-G", "genes.gtf", "-B", "reads.bam"});
    return parse(std::move(args), developmentPhase);
}

// Leaves standard error alone so that a death test sees the message.
void runSingleCoreRule(std::vector<std::string> args)
{
    args.insert(args.begin(), "kestrove");
    args.insert(args.end(), {"-G", "genes.gtf", "-B", "reads.bam"});
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    t_configuration conf;
    conf.developmentPhase = true;
    t_directories dirs;
    ProgramParameters parameters;
    parameters.validateParameters(static_cast<int>(args.size()), argv.data(), dirs, conf);
}

bool hasTwoHardwareThreads() { return boost::thread::hardware_concurrency() >= 2; }

} // namespace

TEST(CommandLine, NoArgumentsFailOnMissingGtfAfterStoringStrandednessDefault)
{
    Parsed parsed = parse({});
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.err, "GTF file is required!\n");
    EXPECT_EQ(parsed.out, "");
    EXPECT_EQ(parsed.conf.strandedness, 0);
}

TEST(CommandLine, GtfWithoutBamAsksOnlyForBam)
{
    Parsed parsed = parse({"-G", "genes.gtf"});
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.err, "BAM file is required!\n");
}

TEST(CommandLine, MinimalRunKeepsEveryDefault)
{
    Parsed parsed = parseWithInputs({});
    ASSERT_TRUE(parsed.ok) << parsed.out << parsed.err;
    EXPECT_EQ(parsed.out, "");
    EXPECT_EQ(parsed.err, "");
    EXPECT_EQ(parsed.dirs.gtfFile, "genes.gtf");
    EXPECT_EQ(parsed.dirs.bamFile, "reads.bam");
    EXPECT_EQ(parsed.dirs.outputDir, "");
    const t_configuration defaults;
    EXPECT_FALSE(parsed.conf.outputDirGiven);
    EXPECT_TRUE(parsed.conf.processAllGenes);
    EXPECT_FALSE(parsed.conf.genesListGiven);
    EXPECT_TRUE(parsed.conf.trainBetas);
    EXPECT_EQ(parsed.conf.nrBlocks, defaults.nrBlocks);
    EXPECT_EQ(parsed.conf.nrIterations, defaults.nrIterations);
    EXPECT_EQ(parsed.conf.maxTotalFrags, defaults.maxTotalFrags);
    EXPECT_EQ(parsed.conf.minCompFrags, defaults.minCompFrags);
    EXPECT_EQ(parsed.conf.nrThreads, 1);
    EXPECT_DOUBLE_EQ(parsed.conf.likelihoodThreshold, 0.5);
    EXPECT_DOUBLE_EQ(parsed.conf.minParamDiff, 1e-5);
}

TEST(CommandLine, TypedValuesReachTheirFieldsInEveryOptionForm)
{
    Parsed parsed = parse({"--GTF=a.gtf", "--BAM", "b.bam", "-o", "out", "-b7", "--nr-iter", "20",
                           "-x", "100", "-M", "200", "-m", "3", "-q", "0.001", "-T", "0.25", "-L", "ids.txt"});
    ASSERT_TRUE(parsed.ok) << parsed.out << parsed.err;
    EXPECT_EQ(parsed.dirs.gtfFile, "a.gtf");
    EXPECT_EQ(parsed.dirs.bamFile, "b.bam");
    EXPECT_EQ(parsed.dirs.outputDir, "out");
    EXPECT_TRUE(parsed.conf.outputDirGiven);
    EXPECT_EQ(parsed.conf.nrBlocks, 7);
    EXPECT_EQ(parsed.conf.nrIterations, 20);
    EXPECT_EQ(parsed.conf.maxTotalFrags, 100);
    EXPECT_EQ(parsed.conf.maxCompFrags, 200);
    EXPECT_EQ(parsed.conf.minCompFrags, 3);
    EXPECT_DOUBLE_EQ(parsed.conf.minParamDiff, 0.001);
    EXPECT_DOUBLE_EQ(parsed.conf.likelihoodThreshold, 0.25);
    EXPECT_EQ(parsed.dirs.genesListFile, "ids.txt");
    EXPECT_FALSE(parsed.conf.processAllGenes);
    EXPECT_TRUE(parsed.conf.genesListGiven);
}

TEST(CommandLine, SwitchesSetTheirFieldsAndMayShareOneDash)
{
    Parsed parsed = parseWithInputs({"-lt", "--quiet"});
    ASSERT_TRUE(parsed.ok) << parsed.out << parsed.err;
    EXPECT_TRUE(parsed.conf.logFiles);
    EXPECT_TRUE(parsed.conf.globalTying);
    EXPECT_TRUE(parsed.conf.quiet);
    EXPECT_FALSE(parsed.conf.excludeGenes);
}

TEST(CommandLine, HelpIsPrintedAloneEvenWithInvalidValues)
{
    Parsed parsed = parse({"-h", "-b", "0", "-i", "3", "-D", "FWD"});
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.err, "");
    EXPECT_EQ(parsed.out.find("Number of"), std::string::npos);
    EXPECT_EQ(parsed.out.find("strandedness has to be"), std::string::npos);

    const size_t general = parsed.out.find("General Options:");
    const size_t abundance = parsed.out.find("Advanced Abundance Estimation Options:");
    const size_t behavior = parsed.out.find("Advanced Program Behavior Options:");
    ASSERT_NE(general, std::string::npos);
    ASSERT_NE(abundance, std::string::npos);
    ASSERT_NE(behavior, std::string::npos);
    EXPECT_LT(general, abundance);
    EXPECT_LT(abundance, behavior);
    EXPECT_EQ(parsed.out.find("Development Phase Options"), std::string::npos);
    EXPECT_EQ(parsed.out.find("Clustering Options"), std::string::npos);
    EXPECT_NE(parsed.out.find("sets the number of mixture"), std::string::npos);
    EXPECT_NE(parsed.out.find("--library-strandedness ] arg (=none)"), std::string::npos);
    EXPECT_EQ(parsed.out.find("--threads"), std::string::npos);
}

TEST(CommandLine, DevelopmentHelpListsFiveGroupsInItsOwnOrder)
{
    Parsed parsed = parse({"--help"}, true);
    EXPECT_FALSE(parsed.ok);
    const size_t general = parsed.out.find("General Options:");
    const size_t clustering = parsed.out.find("Clustering Options:");
    const size_t abundance = parsed.out.find("Advanced Abundance Estimation Options:");
    const size_t behavior = parsed.out.find("Advanced Program Behavior Options:");
    const size_t development = parsed.out.find("Development Phase Options - Use only on single core:");
    ASSERT_NE(development, std::string::npos);
    EXPECT_LT(general, clustering);
    EXPECT_LT(clustering, abundance);
    EXPECT_LT(abundance, behavior);
    EXPECT_LT(behavior, development);
    EXPECT_NE(parsed.out.find("-p [ --threads ] arg"), std::string::npos);
}

TEST(CommandLine, BlocksAndIterationsBothReportedInOrder)
{
    Parsed parsed = parseWithInputs({"-b", "0", "-i", "3"});
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.err,
              "Number of mixture components cannot be smaller than 1.\n"
              "Number of iterations cannot be smaller than 5!\n");
    EXPECT_EQ(parsed.out, "");
}

TEST(CommandLine, UpperBoundsOfBlocksAndIterations)
{
    EXPECT_EQ(parseWithInputs({"-b", "11"}).err, "Number of mixture components cannot be bigger than 10!\n");
    EXPECT_EQ(parseWithInputs({"-i", "1001"}).err, "Number of iterations cannot be bigger than 1000!\n");
    EXPECT_EQ(parseWithInputs({"-b", "-3"}).err, "Number of mixture components cannot be smaller than 1.\n");
}

TEST(CommandLine, BoundaryValuesAreAccepted)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-b", "1", "-i", "5"}, {"-b", "10", "-i", "1000"},
          {"-M", "50000000", "-x", "5000000"}, {"-M", "1", "-m", "1", "-x", "1"},
          {"-q", "0", "-T", "1e-9"}, {"-q", "1"}}) {
        Parsed parsed = parseWithInputs(args);
        EXPECT_TRUE(parsed.ok) << args[0] << " " << args[1] << ": " << parsed.out << parsed.err;
    }
}

TEST(CommandLine, SixteenBitOptionOutOfRangeIsAnOptionErrorNotAWrap)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--nr-iterations", "70000"}, {"-b", "65537"}, {"-m", "32768"},
          {"--nr-iterations=-32769"}}) {
        Parsed parsed = parseWithInputs(args);
        EXPECT_FALSE(parsed.ok) << args[0];
        EXPECT_EQ(parsed.err.rfind("Error options: ", 0), 0u) << parsed.err;
        EXPECT_EQ(parsed.out, "");
        EXPECT_EQ(parsed.conf.nrIterations, 500);
        EXPECT_EQ(parsed.conf.nrBlocks, 3);
    }
    Parsed wide = parseWithInputs({"-x", "3000000000"});
    EXPECT_FALSE(wide.ok);
    EXPECT_EQ(wide.err.rfind("Error options: ", 0), 0u) << wide.err;
}

TEST(CommandLine, ParserFailuresAreOptionErrors)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--no-such-option"}, {"-b", "three"}, {"-l", "-l"}, {"-G"},
          {"-q", "0.1x"}}) {
        Parsed parsed = parse(args);
        EXPECT_FALSE(parsed.ok) << args[0];
        EXPECT_EQ(parsed.err.rfind("Error options: ", 0), 0u) << args[0] << ": " << parsed.err;
        EXPECT_EQ(parsed.err.back(), '\n');
        EXPECT_EQ(parsed.err.find("GTF file is required!"), std::string::npos);
    }
}

TEST(CommandLine, MaxTotalFragsAboveLimitPrintsTheTwoWarningLines)
{
    Parsed parsed = parseWithInputs({"-x", "6000000"});
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.err,
              "You set the number of max fragments in a locus as 6000000. The process may take long and use a "
              "lot of resources!\n"
              "If you would like to process with these values,then use ignore (-r) option to turn off the "
              "warnings.\n");
}

TEST(CommandLine, IgnoreLiftsBothBoundsOfMaxTotalFrags)
{
    Parsed large = parseWithInputs({"-x", "6000000", "-r"});
    EXPECT_TRUE(large.ok) << large.out;
    EXPECT_EQ(large.conf.maxTotalFrags, 6000000);

    Parsed zero = parseWithInputs({"--ignore", "-x", "0"});
    EXPECT_TRUE(zero.ok) << zero.out;
    EXPECT_EQ(zero.conf.maxTotalFrags, 0);

    Parsed zeroWithoutIgnore = parseWithInputs({"-x", "0"});
    EXPECT_FALSE(zeroWithoutIgnore.ok);
    EXPECT_EQ(zeroWithoutIgnore.err, "Maximum number of fragments in a locus cannot be smaller than 1!\n");
}

TEST(CommandLine, CompatibleFragmentLimits)
{
    EXPECT_EQ(parseWithInputs({"-M", "0"}).err, "Maximum number of valid fragments cannot be smaller than 1!\n");
    EXPECT_EQ(parseWithInputs({"-M", "50000001"}).err,
              "Maximum number of valid fragments cannot be bigger than 50m!\n");
    EXPECT_EQ(parseWithInputs({"-m", "0"}).err, "Minimum number of valid fragments cannot be smaller than 1!\n");

    Parsed minAboveMax = parseWithInputs({"-m", "6", "-M", "5"});
    EXPECT_FALSE(minAboveMax.ok);
    EXPECT_EQ(minAboveMax.err,
              "Minimum number of valid fragments cannot be bigger than maximum number of valid fragments!\n");

    Parsed minAlone = parseWithInputs({"-m", "6"});
    EXPECT_TRUE(minAlone.ok);
    EXPECT_EQ(minAlone.conf.minCompFrags, 6);
    EXPECT_EQ(minAlone.conf.maxCompFrags, 5000000);
}

TEST(CommandLine, StrandednessIsCaseSensitive)
{
    EXPECT_EQ(parseWithInputs({"-D", "none"}).conf.strandedness, 0);
    EXPECT_EQ(parseWithInputs({"-D", "fwd"}).conf.strandedness, 1);
    EXPECT_EQ(parseWithInputs({"--library-strandedness", "rev"}).conf.strandedness, 2);

    Parsed upper = parseWithInputs({"-D", "FWD"});
    EXPECT_FALSE(upper.ok);
    EXPECT_EQ(upper.err, "library strandedness has to be either none/fwd/rev!\n");
}

TEST(CommandLine, ThresholdsOutOfRangeIncludingNan)
{
    EXPECT_EQ(parseWithInputs({"-T", "1e-10"}).err, "likelihood threshold cannot be smaller than 1e-9!\n");
    EXPECT_EQ(parseWithInputs({"-T", "nan"}).err, "likelihood threshold cannot be smaller than 1e-9!\n");
    EXPECT_EQ(parseWithInputs({"-q", "-0.5"}).err, "min-param-diff cannot be negative!\n");
    EXPECT_EQ(parseWithInputs({"-q", "1.5"}).err, "min-param-diff cannot be greater than 1!\n");
    EXPECT_FALSE(parseWithInputs({"-q", "nan"}).ok);
}

TEST(CommandLine, ExcludeGenesNeedsAGenesList)
{
    Parsed alone = parseWithInputs({"-e"});
    EXPECT_FALSE(alone.ok);
    EXPECT_EQ(alone.err, "A file contains gene IDs required when exclude-genes (-e) option is used.\n");
    EXPECT_FALSE(alone.conf.excludeGenes);

    Parsed withList = parseWithInputs({"-e", "-L", "ids.txt"});
    EXPECT_TRUE(withList.ok) << withList.err;
    EXPECT_TRUE(withList.conf.excludeGenes);
    EXPECT_FALSE(withList.conf.processAllGenes);
    EXPECT_TRUE(withList.conf.genesListGiven);
}

TEST(CommandLine, EulaIsPrintedWithoutAskingForInputs)
{
    Parsed parsed = parse({"--EULA"});
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.err, "");
    EXPECT_NE(parsed.out.find("kestrove"), std::string::npos);
    EXPECT_NE(parsed.out.find("WITHOUT WARRANTY"), std::string::npos);
}

TEST(CommandLine, EulaStillReportsRangeErrorsBeforeTheText)
{
    Parsed parsed = parse({"-s", "-b", "0"});
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.err.rfind("Number of mixture components cannot be smaller than 1.\n", 0), 0u);
    EXPECT_NE(parsed.out.find("WITHOUT WARRANTY"), std::string::npos);
}

TEST(CommandLine, DevelopmentOptionsAreUnknownOutsideTheDevelopmentPhase)
{
    for (const char* option : {"--threads", "-p", "--frags-threshold", "--bias-type"}) {
        Parsed parsed = parseWithInputs({option, "2"});
        EXPECT_FALSE(parsed.ok) << option;
        EXPECT_EQ(parsed.err.rfind("Error options: ", 0), 0u) << option << ": " << parsed.err;
        EXPECT_EQ(parsed.conf.nrThreads, 1);
    }
    Parsed norm = parseWithInputs({"--norm-length"});
    EXPECT_EQ(norm.err.rfind("Error options: ", 0), 0u);
    EXPECT_FALSE(norm.conf.normalizeLengths);
}

TEST(CommandLine, DevelopmentOptionsSetTheirFields)
{
    Parsed parsed = parseWithInputs({"-g", "-S", "-f", "1000", "-N", "-z", "-O", "-F", "-a", "2", "-C", "50", "-c"},
                                    true);
    ASSERT_TRUE(parsed.ok) << parsed.out << parsed.err;
    EXPECT_TRUE(parsed.conf.autoGroupTying);
    EXPECT_TRUE(parsed.conf.saveGroupTying);
    EXPECT_EQ(parsed.conf.fragsThreshold, 1000);
    EXPECT_TRUE(parsed.conf.normalizeLengths);
    EXPECT_FALSE(parsed.conf.roundCounts);
    EXPECT_TRUE(parsed.conf.observBetas);
    EXPECT_FALSE(parsed.conf.trainBetas);
    EXPECT_EQ(parsed.conf.biasType, 2);
    EXPECT_EQ(parsed.conf.minFragsFss, 50);
    EXPECT_TRUE(parsed.conf.mergeAnnot);
    EXPECT_EQ(parsed.conf.nrThreads, 1);
}

TEST(CommandLine, ThreadsBelowOneContinueWithOne)
{
    Parsed parsed = parseWithInputs({"-p", "0"}, true);
    EXPECT_TRUE(parsed.ok);
    EXPECT_EQ(parsed.err, "Number of threads cannot be smaller than 1. Continuing with default value: 1\n");
    EXPECT_EQ(parsed.conf.nrThreads, 1);
}

TEST(CommandLine, ThreadsAboveHardwareAreClampedToHardware)
{
    const unsigned hardware = boost::thread::hardware_concurrency();
    if (hardware == 0 || hardware >= 32767)
        GTEST_SKIP() << "hardware thread count unknown";
    Parsed parsed = parseWithInputs({"--threads", std::to_string(hardware + 1)}, true);
    EXPECT_TRUE(parsed.ok);
    const std::string count = std::to_string(hardware);
    EXPECT_EQ(parsed.err, "Max number of threads allowed: " + count + "\nContinuing with " + count + " threads.\n");
    EXPECT_EQ(parsed.conf.nrThreads, static_cast<int16_t>(hardware));
}

TEST(CommandLine, SingleThreadAcceptsSingleCoreOptions)
{
    Parsed parsed = parseWithInputs({"-p", "1", "-F", "-g", "-N"}, true);
    EXPECT_TRUE(parsed.ok) << parsed.err;
    EXPECT_EQ(parsed.err, "");
}

TEST(CommandLineDeathTest, SeveralThreadsWithFixBetasEndTheProcess)
{
    if (!hasTwoHardwareThreads())
        GTEST_SKIP() << "needs two hardware threads";
    EXPECT_EXIT(runSingleCoreRule({"-p", "2", "-F"}), testing::ExitedWithCode(1),
                "Use argument --fix-betas only with single core!");
}

TEST(CommandLineDeathTest, SingleCoreRuleNamesTheLastOptionFound)
{
    if (!hasTwoHardwareThreads())
        GTEST_SKIP() << "needs two hardware threads";
    EXPECT_EXIT(runSingleCoreRule({"-p", "2", "-g", "-F"}), testing::ExitedWithCode(1),
                "Use argument --fix-betas only with single core!");
    EXPECT_EXIT(runSingleCoreRule({"-p", "2", "-g"}), testing::ExitedWithCode(1),
                "Use argument --auto-group-tying only with single core!");
    EXPECT_EXIT(runSingleCoreRule({"-p", "2", "-N", "-a", "1"}), testing::ExitedWithCode(1),
                "Use argument --norm-length only with single core!");
}
