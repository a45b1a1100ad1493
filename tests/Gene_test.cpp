#include <algorithm>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "Gene.h"

namespace {

std::vector<int32_t> exonStarts(const t_transcript& t)
{
    std::vector<int32_t> starts;
    for (const t_exon& e : t.exons)
        starts.push_back(e.start);
    return starts;
}

} // namespace

TEST(GeneModel, FirstExonCreatesTranscriptWithItsExtentAndLength)
{
    Gene gene;
    gene.addExon("T1", {100, 199}, false);
    ASSERT_EQ(gene.transcripts.size(), 1u);
    const t_transcript& t = gene.transcripts[0];
    EXPECT_EQ(t.transcriptId, "T1");
    EXPECT_EQ(t.start, 100);
    EXPECT_EQ(t.end, 199);
    EXPECT_EQ(t.length, 100);
    EXPECT_EQ(t.normLength, 0);
    EXPECT_FALSE(t.forwardStrand);
    EXPECT_EQ(gene.start, 100);
    EXPECT_EQ(gene.end, 199);
}

TEST(GeneModel, ExonsGivenInDescendingOrderAreStoredAscending)
{
    Gene gene;
    gene.addExon("T1", {500, 600}, true);
    gene.addExon("T1", {100, 200}, true);
    gene.addExon("T1", {300, 400}, true);
    const t_transcript& t = gene.transcripts[0];
    EXPECT_EQ(exonStarts(t), (std::vector<int32_t>{100, 300, 500}));
    EXPECT_EQ(t.start, 100);
    EXPECT_EQ(t.end, 600);
    EXPECT_EQ(t.length, 303);
    EXPECT_EQ(gene.start, 100);
    EXPECT_EQ(gene.end, 600);
}

TEST(GeneModel, ExonEndingAtStoredStartGoesBeforeIt)
{
    Gene gene;
    gene.addExon("T1", {200, 300}, true);
    gene.addExon("T1", {150, 200}, true);
    const t_transcript& t = gene.transcripts[0];
    ASSERT_EQ(t.exons.size(), 2u);
    EXPECT_EQ(t.exons[0].start, 150);
    EXPECT_EQ(t.exons[1].start, 200);
}

TEST(GeneModel, OverlappingExonsAreCountedTwiceInLength)
{
    Gene gene;
    gene.addExon("T1", {100, 200}, true);
    gene.addExon("T1", {150, 250}, true);
    EXPECT_EQ(gene.transcripts[0].length, 202);
    EXPECT_EQ(gene.transcripts[0].end, 250);
}

TEST(GeneModel, LaterExonDoesNotChangeStrandOfExistingTranscript)
{
    Gene gene;
    gene.addExon("T1", {100, 200}, true);
    gene.addExon("T1", {300, 400}, false);
    EXPECT_TRUE(gene.transcripts[0].forwardStrand);
}

TEST(GeneModel, GeneStartingAtOneKeepsStartWhenLaterExonStartsHigher)
{
    Gene gene;
    gene.addExon("T1", {1, 10}, true);
    gene.addExon("T2", {5, 40}, true);
    EXPECT_EQ(gene.start, 1);
    EXPECT_EQ(gene.end, 40);
    ASSERT_EQ(gene.transcripts.size(), 2u);
    EXPECT_EQ(gene.transcripts[1].transcriptId, "T2");
}

TEST(GeneModel, TranscriptIdLookupIsCaseSensitive)
{
    Gene gene;
    gene.addExon("t1", {100, 200}, true);
    gene.addExon("T1", {300, 400}, true);
    EXPECT_EQ(gene.transcripts.size(), 2u);
}

TEST(GeneModel, ReversedExonIsStoredAsGivenWithNonPositiveLength)
{
    Gene gene;
    gene.addExon("T1", {200, 100}, true);
    EXPECT_EQ(gene.transcripts[0].length, -99);
    EXPECT_EQ(gene.transcripts[0].exons[0].start, 200);
}

TEST(GeneModel, ExtremeCoordinatesSaturateLengthInsteadOfOverflowing)
{
    Gene gene;
    constexpr int32_t maxValue = std::numeric_limits<int32_t>::max();
    gene.addExon("T1", {-maxValue, maxValue}, true);
    EXPECT_EQ(gene.transcripts[0].length, maxValue);
    gene.addExon("T1", {1, 10}, true);
    EXPECT_EQ(gene.transcripts[0].length, maxValue);
}

TEST(GeneModel, AddTranscriptMergesExonsIntoSameIdAndKeepsExistingStrand)
{
    Gene gene;
    gene.addExon("T1", {100, 200}, true);

    t_transcript other;
    other.transcriptId = "T1";
    other.forwardStrand = false;
    other.exons = {{50, 60}, {300, 320}};
    other.length = 12345;
    other.fpkmTHN = 7.0;
    gene.addTranscript(other);

    ASSERT_EQ(gene.transcripts.size(), 1u);
    const t_transcript& t = gene.transcripts[0];
    EXPECT_EQ(exonStarts(t), (std::vector<int32_t>{50, 100, 300}));
    EXPECT_EQ(t.length, 101 + 11 + 21);
    EXPECT_TRUE(t.forwardStrand);
    EXPECT_EQ(t.fpkmTHN, 0.0);
    EXPECT_EQ(gene.start, 50);
    EXPECT_EQ(gene.end, 320);
}

TEST(GeneModel, AddTranscriptWithNewIdAppendsItWithRecomputedFields)
{
    Gene gene;
    gene.addExon("T1", {100, 200}, true);
    t_transcript other;
    other.transcriptId = "T2";
    other.forwardStrand = false;
    other.exons = {{400, 499}};
    other.length = 1;
    other.componentMeans = {{1.0}};
    gene.addTranscript(other);
    ASSERT_EQ(gene.transcripts.size(), 2u);
    EXPECT_EQ(gene.transcripts[1].length, 100);
    EXPECT_FALSE(gene.transcripts[1].forwardStrand);
    EXPECT_TRUE(gene.transcripts[1].componentMeans.empty());

    t_transcript empty;
    empty.transcriptId = "T3";
    gene.addTranscript(empty);
    EXPECT_EQ(gene.transcripts.size(), 2u);
}

TEST(GeneModel, AlphaLookupByTranscriptId)
{
    Gene gene;
    gene.addExon("T1", {100, 200}, true);
    gene.addExon("T2", {300, 400}, true);
    EXPECT_EQ(gene.getAlphaValueByTid("T2"), 0.0) << "not estimated yet";
    gene.alphas = {0.25, 0.75};
    EXPECT_EQ(gene.getAlphaValueByTid("T1"), 0.25);
    EXPECT_EQ(gene.getAlphaValueByTid("T2"), 0.75);
    EXPECT_EQ(gene.getAlphaValueByTid("T9"), 0.0);
    gene.alphas = {0.25};
    EXPECT_EQ(gene.getAlphaValueByTid("T2"), 0.0);
}

TEST(GeneModel, WayToSortOrdersByStartOnly)
{
    std::vector<Gene> genes(3);
    genes[0].geneId = "C";
    genes[0].start = 500;
    genes[1].geneId = "A";
    genes[1].start = -5;
    genes[2].geneId = "B";
    genes[2].start = 100;
    std::sort(genes.begin(), genes.end(), wayToSort);
    EXPECT_EQ(genes[0].geneId, "A");
    EXPECT_EQ(genes[1].geneId, "B");
    EXPECT_EQ(genes[2].geneId, "C");
    EXPECT_FALSE(wayToSort(genes[1], genes[1]));
}
