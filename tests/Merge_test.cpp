#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Annotations.h"
#include "TestUtil.h"

namespace {

using testutil::TempDir;

std::string exon(const std::string& chr, int start, int end, const std::string& gene, const std::string& transcript,
                 const std::string& strand = "+")
{
    return chr + "\tsrc\texon\t" + std::to_string(start) + "\t" + std::to_string(end) + "\t.\t" + strand +
           "\t.\tgene_id \"" + gene + "\"; transcript_id \"" + transcript + "\";\n";
}

std::vector<std::string> transcriptIds(const Gene& gene)
{
    std::vector<std::string> result;
    for (const t_transcript& t : gene.transcripts)
        result.push_back(t.transcriptId);
    return result;
}

std::vector<std::string> geneIds(const GeneMap& genes)
{
    std::vector<std::string> result;
    for (const auto& entry : genes)
        result.push_back(entry.first);
    return result;
}

class Merging : public ::testing::Test {
protected:
    Annotations load(const std::string& text)
    {
        std::string path = dir.file("merge.gtf");
        testutil::writeText(path, text);
        t_configuration conf;
        conf.mergeAnnot = true;
        Annotations annotations;
        annotations.parseGTF(path.c_str(), {}, conf);
        return annotations;
    }

    // Genes A (100-500: TA) and B (450-900: TB1, TB2) whose exons overlap.
    Annotations loadOverlappingPair()
    {
        return load(exon("chr1", 100, 200, "A", "TA") + exon("chr1", 450, 500, "A", "TA") +
                    exon("chr1", 480, 900, "B", "TB1") + exon("chr1", 450, 470, "B", "TB2"));
    }

    TempDir dir;
};

} // namespace

TEST_F(Merging, OverlappingGenesMergeIntoTheFirstWithTranscriptsAppended)
{
    Annotations a = loadOverlappingPair();
    EXPECT_EQ(geneIds(a.genes), (std::vector<std::string>{"A"}));
    const Gene& merged = a.genes.at("A");
    EXPECT_EQ(transcriptIds(merged), (std::vector<std::string>{"TA", "TB1", "TB2"}));
    EXPECT_EQ(merged.start, 100);
    EXPECT_EQ(merged.end, 900);
    EXPECT_EQ(merged.transcripts[1].length, 421);
    EXPECT_EQ(a.transToGene.at("TA"), "A");
    EXPECT_EQ(a.transToGene.at("TB1"), "A");
    EXPECT_EQ(a.transToGene.at("TB2"), "A");
    EXPECT_EQ(geneIds(a.genesUnmerged), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(a.genesUnmerged.at("B").transcripts.size(), 2u);
}

TEST_F(Merging, GeneInsideAnIntronStaysApart)
{
    Annotations a = load(exon("chr1", 100, 200, "A", "TA") + exon("chr1", 800, 900, "A", "TA") +
                         exon("chr1", 300, 400, "B", "TB"));
    EXPECT_EQ(geneIds(a.genes), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(a.transToGene.at("TB"), "B");
}

TEST_F(Merging, ExonsSharingOneBaseOverlapAcrossStrands)
{
    Annotations a = load(exon("chr1", 100, 200, "A", "TA", "+") + exon("chr1", 200, 300, "B", "TB", "-"));
    EXPECT_EQ(geneIds(a.genes), (std::vector<std::string>{"A"}));
    EXPECT_FALSE(a.genes.at("A").transcripts[1].forwardStrand);
}

TEST_F(Merging, GenesOnDifferentChromosomesNeverMerge)
{
    Annotations a = load(exon("chr1", 100, 200, "A", "TA") + exon("chr2", 100, 200, "B", "TB"));
    EXPECT_EQ(geneIds(a.genes), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(a.genesByChromosome.size(), 2u);
}

TEST_F(Merging, ChainThroughGrownGeneMergesAllThree)
{
    // A does not reach D; only after absorbing B does A's end cover D.
    Annotations a = load(exon("chr1", 100, 300, "A", "TA") + exon("chr1", 250, 600, "B", "TB") +
                         exon("chr1", 550, 800, "D", "TD") + exon("chr1", 5000, 5100, "E", "TE"));
    EXPECT_EQ(geneIds(a.genes), (std::vector<std::string>{"A", "E"}));
    EXPECT_EQ(transcriptIds(a.genes.at("A")), (std::vector<std::string>{"TA", "TB", "TD"}));
    EXPECT_EQ(a.genes.at("A").end, 800);
    EXPECT_EQ(a.transToGene.at("TD"), "A");
}

TEST_F(Merging, GenesAbsorbedInOnePassAreAddedHighestFirst)
{
    Annotations a = load(exon("chr1", 100, 1000, "A", "TA") + exon("chr1", 200, 300, "B", "TB") +
                         exon("chr1", 400, 500, "C", "TC"));
    EXPECT_EQ(transcriptIds(a.genes.at("A")), (std::vector<std::string>{"TA", "TC", "TB"}));
}

TEST_F(Merging, MergedGeneTakesIdOfSmallestStartNotSmallestKey)
{
    Annotations a = load(exon("chr1", 500, 900, "A", "TA") + exon("chr1", 100, 600, "Z", "TZ"));
    EXPECT_EQ(geneIds(a.genes), (std::vector<std::string>{"Z"}));
    EXPECT_EQ(a.transToGene.at("TA"), "Z");
}

TEST_F(Merging, SharedTranscriptIdCollectsExonsOfBothGenes)
{
    Annotations a = load(exon("chr1", 100, 200, "A", "T") + exon("chr1", 150, 400, "B", "T"));
    const Gene& merged = a.genes.at("A");
    ASSERT_EQ(merged.transcripts.size(), 1u);
    EXPECT_EQ(merged.transcripts[0].exons.size(), 2u);
    EXPECT_EQ(merged.transcripts[0].end, 400);
    EXPECT_EQ(a.transToGene.at("T"), "A");
}

TEST(MergingSteps, SortAndCheckOverlapWorkOnGivenGenes)
{
    Annotations a;
    Gene g1;
    g1.geneId = "g1";
    g1.chromosome = "chr1";
    g1.addExon("t1", {900, 1000}, true);
    Gene g2;
    g2.geneId = "g2";
    g2.chromosome = "chr1";
    g2.addExon("t2", {10, 20}, true);
    g2.addExon("t2", {950, 960}, true);
    a.genes = {{"g1", g1}, {"g2", g2}};
    a.group_by_reference();
    a.sort_chromosomes();
    ASSERT_EQ(a.genesByChromosome.at("chr1").size(), 2u);
    EXPECT_EQ(a.genesByChromosome.at("chr1")[0].geneId, "g2");
    EXPECT_TRUE(a.checkOverlap(g1, g2));
    EXPECT_TRUE(a.checkOverlap(g2, g1));

    Gene g3;
    g3.addExon("t3", {21, 899}, true);
    EXPECT_FALSE(a.checkOverlap(g2, g3)) << "g3 lies in g2's intron";
    EXPECT_FALSE(a.checkOverlap(g3, Gene()));
}

TEST(MergingSteps, UnknownTranscriptMapsToEmptyGeneId)
{
    Annotations a;
    a.transToGene["T"] = "G";
    EXPECT_EQ(a.getGIDbyTIDmerged("T"), "G");
    EXPECT_EQ(a.getGIDbyTIDmerged("X"), "");
    EXPECT_EQ(a.transToGene.count("X"), 1u);
}

TEST_F(Merging, EstimatesAreCarriedBackToAnnotatedGenes)
{
    Annotations a = loadOverlappingPair();
    Gene& merged = a.genes.at("A");
    merged.fragsLocus = 100;
    merged.compFragsLocus = 50;
    merged.alphas = {0.5, 0.3, 0.2};
    merged.locus = "chr1:100-900";

    a.mergeAnnotations();

    EXPECT_EQ(geneIds(a.genes), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(geneIds(a.genesUnmerged), (std::vector<std::string>{"A"})) << "merged genes kept aside";

    const Gene& geneA = a.genes.at("A");
    EXPECT_EQ(geneA.fragsLocus, 50u);
    EXPECT_EQ(geneA.compFragsLocus, 25u);
    EXPECT_EQ(geneA.alphas, (std::vector<double>{1.0}));
    EXPECT_EQ(geneA.locus, "chr1:100-900");
    EXPECT_EQ(geneA.geneName, "A") << "an empty name takes the id";

    const Gene& geneB = a.genes.at("B");
    EXPECT_EQ(geneB.fragsLocus, 50u) << "merged frags times the sum of B's alphas";
    EXPECT_EQ(geneB.compFragsLocus, 25u);
    ASSERT_EQ(geneB.alphas.size(), 2u);
    EXPECT_NEAR(geneB.alphas[0], 0.6, 1e-12);
    EXPECT_NEAR(geneB.alphas[1], 0.4, 1e-12);
    ASSERT_EQ(geneB.compFragsTrans.size(), 2u);
    EXPECT_NEAR(geneB.compFragsTrans[0], 30.0, 1e-12);
    EXPECT_NEAR(geneB.compFragsTrans[1], 20.0, 1e-12);
    EXPECT_EQ(geneB.locus, "chr1:100-900");
    EXPECT_EQ(geneB.fpkmTHN, 0.0);
}

TEST_F(Merging, NineCompatibleFragmentsGiveZeroAlphasExceptSingleTranscript)
{
    Annotations a = loadOverlappingPair();
    Gene& merged = a.genes.at("A");
    merged.fragsLocus = 40;
    merged.compFragsLocus = 18;
    merged.alphas = {0.5, 0.25, 0.25};

    a.mergeAnnotations();

    const Gene& geneA = a.genes.at("A");
    EXPECT_EQ(geneA.compFragsLocus, 9u);
    EXPECT_EQ(geneA.alphas, (std::vector<double>{1.0}));
    EXPECT_EQ(geneA.compFragsTrans, (std::vector<double>{0.0}));

    const Gene& geneB = a.genes.at("B");
    EXPECT_EQ(geneB.compFragsLocus, 9u);
    EXPECT_EQ(geneB.fragsLocus, 20u);
    EXPECT_EQ(geneB.alphas, (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(geneB.compFragsTrans, (std::vector<double>{0.0, 0.0}));
}

TEST_F(Merging, TenCompatibleFragmentsKeepCarriedAlphas)
{
    Annotations a = loadOverlappingPair();
    Gene& merged = a.genes.at("A");
    merged.fragsLocus = 41;
    merged.compFragsLocus = 20;
    merged.alphas = {0.5, 0.25, 0.25};

    a.mergeAnnotations();

    const Gene& geneB = a.genes.at("B");
    EXPECT_EQ(geneB.compFragsLocus, 10u);
    EXPECT_EQ(geneB.fragsLocus, 20u) << "20.5 truncated";
    ASSERT_EQ(geneB.alphas.size(), 2u);
    EXPECT_NEAR(geneB.alphas[0], 0.5, 1e-12);
    EXPECT_NEAR(geneB.alphas[1], 0.5, 1e-12);
}

TEST_F(Merging, UnestimatedMergedGeneCarriesBackNothing)
{
    Annotations a = loadOverlappingPair();
    a.mergeAnnotations();
    const Gene& geneB = a.genes.at("B");
    EXPECT_EQ(geneB.fragsLocus, 0u);
    EXPECT_EQ(geneB.compFragsLocus, 0u);
    EXPECT_EQ(geneB.alphas, (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(geneB.status, "FAIL");
}

TEST_F(Merging, InconsistentMergedCountsDoNotDivideByZero)
{
    Annotations a = loadOverlappingPair();
    Gene& merged = a.genes.at("A");
    merged.fragsLocus = 0;
    merged.compFragsLocus = 100;
    merged.alphas = {0.5, 0.25, 0.25};
    a.mergeAnnotations();
    for (double alpha : a.genes.at("B").alphas)
        EXPECT_EQ(alpha, 0.0);
}

TEST_F(Merging, SeparateGenesCarryBackTheirOwnEstimates)
{
    Annotations a = load(exon("chr1", 100, 200, "A", "TA1") + exon("chr1", 300, 400, "A", "TA2") +
                         exon("chr2", 100, 200, "B", "TB"));
    a.genes.at("A").fragsLocus = 200;
    a.genes.at("A").compFragsLocus = 100;
    a.genes.at("A").alphas = {0.75, 0.25};
    a.mergeAnnotations();
    const Gene& geneA = a.genes.at("A");
    EXPECT_EQ(geneA.fragsLocus, 200u);
    EXPECT_EQ(geneA.compFragsLocus, 100u);
    ASSERT_EQ(geneA.alphas.size(), 2u);
    EXPECT_NEAR(geneA.alphas[0], 0.75, 1e-12);
    EXPECT_NEAR(geneA.alphas[1], 0.25, 1e-12);
}

TEST_F(Merging, DumpWritesOneLinePerExon)
{
    Annotations a = load(exon("chr1", 300, 400, "A", "TA", "-") + exon("chr1", 100, 200, "A", "TA", "-") +
                         exon("chr2", 10, 20, "B", "TB"));
    std::string path = dir.file("dump.txt");
    ASSERT_TRUE(a.dumpAnnotations(path));
    EXPECT_EQ(testutil::readText(path), ", A, TA, 0, 100, 200\n"
                                        ", A, TA, 0, 300, 400\n"
                                        ", B, TB, 1, 10, 20\n");
    EXPECT_FALSE(a.dumpAnnotations(dir.file("no/such/dir/dump.txt")));
}
