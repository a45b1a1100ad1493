#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AutoGroups.h"
#include "TestUtil.h"

namespace {

using testutil::TempDir;

// One single-exon transcript per length, laid out one after the other.
Gene geneWithLengths(const std::string& id, const std::vector<int32_t>& lengths)
{
    Gene gene;
    gene.geneId = id;
    gene.chromosome = "chr1";
    int32_t start = 1000;
    for (size_t i = 0; i < lengths.size(); ++i) {
        gene.addExon(id + "_T" + std::to_string(i), {start, start + lengths[i] - 1}, true);
        start += lengths[i] + 100;
    }
    return gene;
}

Annotations annotationsOf(const std::vector<Gene>& genes)
{
    Annotations annotations;
    for (const Gene& gene : genes)
        annotations.genes[gene.geneId] = gene;
    return annotations;
}

const t_initValues& autoTying(const std::vector<int32_t>& lengths, InitValuesMap& map)
{
    AutoGroups tying;
    tying.tieTransLengths(annotationsOf({geneWithLengths("G", lengths)}), map);
    return map.at("G");
}

std::vector<double> firstValues(const std::vector<std::vector<double>>& values)
{
    std::vector<double> result;
    for (const auto& v : values) {
        EXPECT_EQ(v.size(), 1u);
        result.push_back(v.empty() ? std::nan("") : v[0]);
    }
    return result;
}

} // namespace

TEST(LengthTying, OneSingletonGroupIsNotMerged)
{
    InitValuesMap map;
    const t_initValues& v = autoTying({250, 260, 4000}, map);
    EXPECT_EQ(v.trans2group, (std::vector<uint64_t>{0, 0, 1}));
    EXPECT_EQ(v.nrGroups, 2u);
    EXPECT_TRUE(v.alphas.empty());
    EXPECT_TRUE(v.betas.empty());
    EXPECT_TRUE(v.mus.empty());
}

TEST(LengthTying, TwoSingletonGroupsWithinDistanceMerge)
{
    InitValuesMap map;
    const t_initValues& v = autoTying({400, 900}, map);
    EXPECT_EQ(v.trans2group, (std::vector<uint64_t>{0, 0}));
    EXPECT_EQ(v.nrGroups, 1u);
}

TEST(LengthTying, ClassEdgesAreExclusiveBelowInclusiveAbove)
{
    InitValuesMap map;
    // Lengths are whole numbers: 300 is the last of the first class, 301 the first of the second.
    EXPECT_EQ(autoTying({300, 301, 290}, map).trans2group, (std::vector<uint64_t>{0, 1, 0}));
    EXPECT_EQ(autoTying({479, 480, 470}, map).trans2group, (std::vector<uint64_t>{0, 1, 0}));
    EXPECT_EQ(autoTying({4999, 5000, 4990}, map).trans2group, (std::vector<uint64_t>{0, 1, 0}));
    EXPECT_EQ(autoTying({200000, 200001, 190000}, map).trans2group, (std::vector<uint64_t>{0, 0, 0}));
    EXPECT_EQ(map.at("G").nrGroups, 1u) << "200001 belongs to no class";
}

TEST(LengthTying, ClosestPairMergesFirstAndFarGroupsStay)
{
    InitValuesMap map;
    // Classes: {200}, {400}, {100000}; 200-400 is 200/100 = 2; 400-100000 is 99600/300 = 332;
    // 200-100000 is 99800/100 = 998. After merging {200, 400} only one singleton is left.
    EXPECT_EQ(autoTying({100000, 200, 400}, map).trans2group, (std::vector<uint64_t>{1, 0, 0}));
    EXPECT_EQ(map.at("G").nrGroups, 2u);
}

TEST(LengthTying, DistanceAtOrAbove1000NeverMerges)
{
    InitValuesMap map;
    // Mean 150 against 100000: 99850 / 50 = 1997.
    const t_initValues& v = autoTying({150, 100000}, map);
    EXPECT_EQ(v.trans2group, (std::vector<uint64_t>{0, 1}));
    EXPECT_EQ(v.nrGroups, 2u);
}

TEST(LengthTying, GroupWithMeanLength100NeverQualifies)
{
    InitValuesMap map;
    const t_initValues& v = autoTying({100, 1500}, map);
    EXPECT_EQ(v.nrGroups, 2u);
    AutoGroups tying;
    Gene gene = geneWithLengths("G", {100, 1500});
    EXPECT_TRUE(std::isinf(tying.groupDistance(gene, {0}, {1})));
    EXPECT_TRUE(std::isinf(tying.scaleDist(100.0, 1500.0)));
}

TEST(LengthTying, DistanceIsScaledBySmallerMean)
{
    AutoGroups tying;
    Gene gene = geneWithLengths("G", {400, 900, 1000});
    EXPECT_DOUBLE_EQ(tying.groupDistance(gene, {0}, {1}), 500.0 / 300.0);
    EXPECT_DOUBLE_EQ(tying.groupDistance(gene, {1}, {0}), 500.0 / 300.0);
    EXPECT_DOUBLE_EQ(tying.groupDistance(gene, {1, 2}, {0}), 550.0 / 300.0);
    EXPECT_DOUBLE_EQ(tying.scaleDist(400.0, 900.0), 1.0 / 300.0);
    EXPECT_DOUBLE_EQ(tying.scaleDist(40.0, 900.0), 1.0 / 60.0);
}

TEST(LengthTying, UnclassifiableTranscriptsGetGroupZero)
{
    InitValuesMap map;
    const t_initValues& v = autoTying({250000, 4000, 260, 270}, map);
    EXPECT_EQ(v.trans2group, (std::vector<uint64_t>{0, 1, 0, 0}));
    EXPECT_EQ(v.nrGroups, 2u);

    const t_initValues& none = autoTying({250000, 300000}, map);
    EXPECT_EQ(none.trans2group, (std::vector<uint64_t>{0, 0}));
    EXPECT_EQ(none.nrGroups, 0u);
}

TEST(LengthTying, GroupsFileListsEveryGeneInKeyOrder)
{
    TempDir dir;
    AutoGroups tying;
    tying.groupsFile = dir.file("annotation.groups");
    Gene empty;
    empty.geneId = "A_empty";
    InitValuesMap map;
    tying.tieTransLengths(annotationsOf({geneWithLengths("B", {250, 260, 4000}), empty,
                                         geneWithLengths("C", {700})}),
                          map);
    EXPECT_EQ(testutil::readText(tying.groupsFile), "#gene_id\nA_empty\n#trans_to_tied_group\n\n\n"
                                                    "#gene_id\nB\n#trans_to_tied_group\n0 0 1\n\n"
                                                    "#gene_id\nC\n#trans_to_tied_group\n0\n\n");
    EXPECT_EQ(map.at("A_empty").nrGroups, 0u);
}

TEST(LengthTying, UnwritableGroupsFileIsReportedAndTyingStillStored)
{
    TempDir dir;
    AutoGroups tying;
    tying.groupsFile = dir.file("missing/dir/x.groups");
    InitValuesMap map;
    testing::internal::CaptureStderr();
    tying.tieTransLengths(annotationsOf({geneWithLengths("G", {400, 900})}), map);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "[tieTransLengths] fail to open file > " + tying.groupsFile + "\n\n");
    EXPECT_EQ(map.at("G").nrGroups, 1u);
}

class InitialValues : public ::testing::Test {
protected:
    InitValuesMap compute(const std::vector<Gene>& genes)
    {
        InitValuesMap map;
        computeInitialValues(annotationsOf(genes), conf, dirs, map);
        return map;
    }

    t_configuration conf;
    t_directories dirs;
};

TEST_F(InitialValues, SingleTranscriptGetsEvenlySpacedComponents)
{
    InitValuesMap map = compute({geneWithLengths("G", {600})});
    const t_initValues& v = map.at("G");
    EXPECT_EQ(v.alphas, (std::vector<double>{1.0}));
    EXPECT_EQ(firstValues(v.mus), (std::vector<double>{100.0, 300.0, 500.0}));
    EXPECT_EQ(firstValues(v.sigmas), (std::vector<double>{100.0, 100.0, 100.0}));
    EXPECT_EQ(firstValues(v.lambdas), (std::vector<double>{1.0}));
    EXPECT_EQ(firstValues(v.nus), (std::vector<double>{0.0}));
    ASSERT_EQ(v.betas.size(), 1u);
    EXPECT_EQ(v.betas[0].size(), 3u);
    EXPECT_DOUBLE_EQ(v.betas[0][0], 1.0 / 3.0);
    EXPECT_EQ(v.trans2group, (std::vector<uint64_t>{0}));
    EXPECT_EQ(v.nrGroups, 1u);
    EXPECT_EQ(v.fragLenMean, 200.0);
    EXPECT_EQ(v.fragLenSd, 80.0);
    EXPECT_TRUE(v.spareParams.empty());
}

TEST_F(InitialValues, WithoutTyingEveryTranscriptIsItsOwnGroup)
{
    conf.nrBlocks = 2;
    InitValuesMap map = compute({geneWithLengths("G", {1000, 500, 250})});
    const t_initValues& v = map.at("G");
    EXPECT_EQ(v.trans2group, (std::vector<uint64_t>{0, 1, 2}));
    EXPECT_EQ(v.nrGroups, 3u);
    ASSERT_EQ(v.betas.size(), 3u);
    for (const auto& groupBetas : v.betas)
        EXPECT_EQ(groupBetas, (std::vector<double>{0.5, 0.5}));
    EXPECT_EQ(firstValues(v.mus), (std::vector<double>{250.0, 750.0}));
    EXPECT_EQ(firstValues(v.sigmas), (std::vector<double>{250.0, 250.0}));
    EXPECT_EQ(firstValues(v.lambdas), (std::vector<double>{1.0, 0.5, 0.25}));
    ASSERT_EQ(v.alphas.size(), 3u);
    EXPECT_DOUBLE_EQ(v.alphas[2], 1.0 / 3.0);
    EXPECT_EQ(v.nus.size(), 3u);
}

TEST_F(InitialValues, GlobalTyingPutsAllTranscriptsInOneGroup)
{
    conf.globalTying = true;
    conf.nrBlocks = 4;
    InitValuesMap map = compute({geneWithLengths("G", {100, 200, 300, 400})});
    const t_initValues& v = map.at("G");
    EXPECT_EQ(v.trans2group, (std::vector<uint64_t>{0, 0, 0, 0}));
    EXPECT_EQ(v.nrGroups, 1u);
    ASSERT_EQ(v.betas.size(), 1u);
    EXPECT_EQ(v.betas[0], (std::vector<double>{0.25, 0.25, 0.25, 0.25}));
}

TEST_F(InitialValues, AutomaticTyingTakesPrecedenceOverGlobal)
{
    conf.autoGroupTying = true;
    conf.globalTying = true;
    InitValuesMap map = compute({geneWithLengths("G", {250, 260, 4000})});
    const t_initValues& v = map.at("G");
    EXPECT_EQ(v.trans2group, (std::vector<uint64_t>{0, 0, 1}));
    EXPECT_EQ(v.nrGroups, 2u);
    EXPECT_EQ(v.betas.size(), 2u);
    EXPECT_EQ(v.alphas.size(), 3u) << "the tying entry is completed, not kept bare";
    EXPECT_EQ(v.fragLenMean, 200.0);
}

TEST_F(InitialValues, GeneWithoutAutomaticGroupIsStoredWithZeroGroups)
{
    conf.autoGroupTying = true;
    InitValuesMap map = compute({geneWithLengths("G", {250000, 300000})});
    const t_initValues& v = map.at("G");
    EXPECT_EQ(v.nrGroups, 0u);
    EXPECT_EQ(v.trans2group, (std::vector<uint64_t>{0, 0}));
    EXPECT_TRUE(v.betas.empty());
    EXPECT_EQ(v.alphas, (std::vector<double>{0.5, 0.5}));
    EXPECT_EQ(v.mus.size(), 3u);
    for (double lambda : firstValues(v.lambdas))
        EXPECT_TRUE(std::isfinite(lambda));
}

TEST_F(InitialValues, GeneWithNonPositiveLengthIsStoredWithZeroGroups)
{
    Gene reversed;
    reversed.geneId = "R";
    reversed.addExon("T1", {500, 100}, true);
    Gene mixed = geneWithLengths("M", {400});
    mixed.addExon("T2", {2000, 1999}, true);
    InitValuesMap map = compute({reversed, mixed});
    for (const char* id : {"R", "M"}) {
        const t_initValues& v = map.at(id);
        EXPECT_EQ(v.nrGroups, 0u) << id;
        EXPECT_TRUE(v.betas.empty()) << id;
        for (double lambda : firstValues(v.lambdas))
            EXPECT_TRUE(std::isfinite(lambda)) << id;
    }
    EXPECT_EQ(map.at("R").trans2group, (std::vector<uint64_t>{0}));
    EXPECT_EQ(map.at("M").trans2group, (std::vector<uint64_t>{0, 0}));
}

TEST_F(InitialValues, GeneWithoutTranscriptsHasNoGroupAndNoAlphas)
{
    Gene empty;
    empty.geneId = "E";
    conf.globalTying = true;
    InitValuesMap map = compute({empty});
    const t_initValues& v = map.at("E");
    EXPECT_EQ(v.nrGroups, 0u);
    EXPECT_TRUE(v.alphas.empty());
    EXPECT_TRUE(v.trans2group.empty());
    EXPECT_TRUE(v.lambdas.empty());
    EXPECT_EQ(firstValues(v.mus), (std::vector<double>{0.0, 0.0, 0.0}));
}

TEST_F(InitialValues, SaveGroupTyingWritesFileNamedAfterGtf)
{
    TempDir dir;
    dirs.outputDir = dir.path();
    dirs.gtfFile = "/data/annotations/gencode.v19.gtf";
    conf.saveGroupTying = true;

    compute({geneWithLengths("G", {400, 900})});
    EXPECT_FALSE(testutil::exists(dir.file("gencode.v19.groups"))) << "no file without automatic tying";

    conf.autoGroupTying = true;
    compute({geneWithLengths("G", {400, 900})});
    EXPECT_EQ(testutil::readText(dir.file("gencode.v19.groups")), "#gene_id\nG\n#trans_to_tied_group\n0 0\n\n");
}

TEST_F(InitialValues, AutomaticTyingWithoutSaveWritesNoFile)
{
    TempDir dir;
    dirs.outputDir = dir.path();
    dirs.gtfFile = "annotation.gtf";
    conf.autoGroupTying = true;
    compute({geneWithLengths("G", {400, 900})});
    EXPECT_FALSE(testutil::exists(dir.file("annotation.groups")));
    EXPECT_FALSE(testutil::exists(dir.file(".groups")));
}
