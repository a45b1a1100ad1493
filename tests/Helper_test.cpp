#include "Helper.h"

#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "TestUtil.h"

namespace fs = boost::filesystem;

TEST(SecondsToTime, PadsEachFieldToTwoDigits)
{
    EXPECT_EQ(Helper::secondsToTime(0), "00:00:00");
    EXPECT_EQ(Helper::secondsToTime(59), "00:00:59");
    EXPECT_EQ(Helper::secondsToTime(60), "00:01:00");
    EXPECT_EQ(Helper::secondsToTime(3725), "01:02:05");
    EXPECT_EQ(Helper::secondsToTime(86399), "23:59:59");
}

TEST(SecondsToTime, HoursAreNotLimitedToTwoDigits)
{
    EXPECT_EQ(Helper::secondsToTime(360000), "100:00:00");
}

TEST(SecondsToTime, DurationIsTakenAsThirtyTwoBits)
{
    EXPECT_EQ(Helper::secondsToTime(4294967296UL + 61), "00:01:01");
}

TEST(SplitFilename, BaseNameWithoutLastExtension)
{
    EXPECT_EQ(Helper::splitFilename("/data/run1/sample.bam"), "sample");
    EXPECT_EQ(Helper::splitFilename("sample.bam"), "sample");
    EXPECT_EQ(Helper::splitFilename("dir/sample.tar.gz"), "sample.tar");
    EXPECT_EQ(Helper::splitFilename("dir\\sample.bam"), "sample");
    EXPECT_EQ(Helper::splitFilename("/data/x.sorted.bam"), "x.sorted");
}

TEST(SplitFilename, DotBeforeTheNameReachesToTheEnd)
{
    EXPECT_EQ(Helper::splitFilename("/data/v1.2/sample"), "sample");
    EXPECT_EQ(Helper::splitFilename("dir/sample"), "sample");
}

TEST(SplitFilename, NamesWithoutABaseAreEmpty)
{
    EXPECT_EQ(Helper::splitFilename("sample"), "");
    EXPECT_EQ(Helper::splitFilename(".bam"), "");
    EXPECT_EQ(Helper::splitFilename(""), "");
    EXPECT_EQ(Helper::splitFilename("dir/"), "");
}

class CreateDirectories : public testing::Test {
protected:
    void SetUp() override
    {
        previous = fs::current_path();
        fs::current_path(tmp.path());
        // The working directory as the library reports it (the temp path may be a symlink).
        workingDir = fs::current_path().string();
    }
    void TearDown() override { fs::current_path(previous); }

    bool create()
    {
        testing::internal::CaptureStderr();
        const bool ok = helper.createDirectories(conf, dirs);
        err = testing::internal::GetCapturedStderr();
        return ok;
    }

    testutil::TempDir tmp;
    fs::path previous;
    std::string workingDir;
    Helper helper;
    t_configuration conf;
    t_directories dirs;
    std::string err;
};

TEST_F(CreateDirectories, DefaultOutputIsUnderTheWorkingDirectory)
{
    ASSERT_TRUE(create());
    EXPECT_EQ(dirs.outputDir, workingDir + "/output");
    EXPECT_TRUE(fs::is_directory(workingDir + "/output"));
    EXPECT_FALSE(fs::exists(workingDir + "/output/debug"));
    EXPECT_FALSE(fs::exists(workingDir + "/output/logfiles"));
    EXPECT_EQ(dirs.debugDir, "");
    EXPECT_EQ(err, "");
}

TEST_F(CreateDirectories, NamedOutputIsCreatedWithItsParents)
{
    conf.outputDirGiven = true;
    dirs.outputDir = tmp.file("a/b/c");
    ASSERT_TRUE(create());
    EXPECT_EQ(dirs.outputDir, tmp.file("a/b/c"));
    EXPECT_TRUE(conf.outputDirGiven);
    EXPECT_TRUE(fs::is_directory(tmp.file("a/b/c")));
    EXPECT_FALSE(fs::exists(workingDir + "/output"));
    EXPECT_EQ(err, "");
}

TEST_F(CreateDirectories, UncreatableDefaultOutputStopsTheRun)
{
    fs::create_symlink(tmp.file("nowhere/at/all"), tmp.file("output"));
    EXPECT_FALSE(create());
    EXPECT_EQ(err.rfind("\nError: ", 0), 0u) << err;
    EXPECT_EQ(err.find("under output directory"), std::string::npos);
}

TEST_F(CreateDirectories, DebugAndLogDirectoriesOnRequest)
{
    conf.debugMode = true;
    conf.logFiles = true;
    ASSERT_TRUE(create());
    EXPECT_EQ(dirs.debugDir, workingDir + "/output/debug");
    EXPECT_TRUE(fs::is_directory(workingDir + "/output/debug"));
    EXPECT_TRUE(fs::is_directory(workingDir + "/output/logfiles"));
    EXPECT_EQ(err, "");
}

TEST_F(CreateDirectories, UncreatableDebugDirectoryIsReportedAndTheRunContinues)
{
    fs::create_directories(tmp.file("out"));
    fs::create_symlink(tmp.file("missing/target"), tmp.file("out/debug"));
    conf.outputDirGiven = true;
    conf.debugMode = true;
    conf.logFiles = true;
    dirs.outputDir = tmp.file("out");
    ASSERT_TRUE(create());
    EXPECT_EQ(dirs.debugDir, tmp.file("out/debug"));
    EXPECT_EQ(err, "\nError: \"" + tmp.file("out/debug") + "\"\n"
                   "The results will be saved to the current working directory directory!\n");
    EXPECT_TRUE(fs::is_directory(tmp.file("out/logfiles")));
}

TEST(DeferredGenes, ConcurrentAppendsAreAllKept)
{
    Helper helper;
    constexpr int kThreads = 8;
    constexpr int kPerThread = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&helper, t] {
            for (int i = 0; i < kPerThread; ++i)
                helper.addToGenesList("g" + std::to_string(t) + "_" + std::to_string(i));
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    const std::vector<std::string>& genes = helper.getHighlyAbundantGenes();
    ASSERT_EQ(genes.size(), static_cast<size_t>(kThreads * kPerThread));
    const std::set<std::string> distinct(genes.begin(), genes.end());
    EXPECT_EQ(distinct.size(), genes.size());
    EXPECT_TRUE(distinct.count("g7_499"));
}

// Gene names come from the annotation and become file names of per-gene outputs.
TEST(FileSafeName, AnnotationNamesCannotLeaveTheOutputDirectory)
{
    EXPECT_EQ(Helper::fileSafeName("TP53"), "TP53");
    EXPECT_EQ(Helper::fileSafeName("HLA-A*02"), "HLA-A*02");
    EXPECT_EQ(Helper::fileSafeName("../../escaped"), "_.._.._escaped");
    EXPECT_EQ(Helper::fileSafeName("/etc/passwd"), "_etc_passwd");
    EXPECT_EQ(Helper::fileSafeName("a\\b"), "a_b");
    EXPECT_EQ(Helper::fileSafeName(".hidden"), "_.hidden");
    EXPECT_EQ(Helper::fileSafeName(".."), "_..");
    EXPECT_EQ(Helper::fileSafeName(""), "_");
}
