#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Compatibility.h"

namespace {

t_transcript transcript(std::vector<t_exon> exons, bool forward)
{
    t_transcript t;
    t.transcriptId = forward ? "X" : "Xr";
    t.exons = std::move(exons);
    t.forwardStrand = forward;
    return t;
}

const std::vector<t_exon> kThreeExons{{100, 199}, {300, 399}, {500, 599}};

t_read read(std::vector<t_exon> blocks, bool forward = true, bool paired = false, bool firstMate = false)
{
    t_read r;
    r.name = "r";
    r.start = blocks.empty() ? 0 : blocks.front().start;
    r.blocks = std::move(blocks);
    r.forward = forward;
    r.paired = paired;
    r.firstMate = firstMate;
    return r;
}

// A joined pair: forward first mate, reverse second mate.
std::vector<t_read> pairOf(std::vector<t_exon> first, std::vector<t_exon> second)
{
    return {read(std::move(first), true, true, true), read(std::move(second), false, true, false)};
}

t_configuration stranded(int32_t strandedness)
{
    t_configuration conf;
    conf.strandedness = strandedness;
    return conf;
}

class CheckExons : public ::testing::Test {
protected:
    bool fits(std::vector<t_exon> blocks, int32_t strandedness = 0) const
    {
        return kestrove.checkExons(x, read(std::move(blocks)), stranded(strandedness));
    }

    Kestrove kestrove;
    t_transcript x = transcript(kThreeExons, true);
};

TEST_F(CheckExons, UnsplicedReadMustLieInsideOneExon)
{
    EXPECT_TRUE(fits({{150, 180}}));
    EXPECT_TRUE(fits({{100, 199}}));
    EXPECT_TRUE(fits({{500, 599}}));
    EXPECT_FALSE(fits({{190, 210}}));  // runs into the intron
    EXPECT_FALSE(fits({{90, 120}}));   // starts before the exon
    EXPECT_FALSE(fits({{250, 260}}));  // inside an intron
    EXPECT_FALSE(fits({{590, 610}}));  // runs past the transcript
    EXPECT_FALSE(fits({{700, 750}}));  // after the transcript
    EXPECT_FALSE(fits({{10, 50}}));    // before the transcript
}

TEST_F(CheckExons, SplicedReadMustFollowConsecutiveIntrons)
{
    EXPECT_TRUE(fits({{150, 199}, {300, 330}}));
    EXPECT_TRUE(fits({{150, 195}, {300, 330}}));  // may end short of the donor end
    EXPECT_TRUE(fits({{150, 199}, {300, 399}, {500, 520}}));
    EXPECT_FALSE(fits({{150, 199}, {305, 330}}));  // acceptor start must match exactly
    EXPECT_FALSE(fits({{150, 199}, {500, 530}}));  // skips an exon
    EXPECT_FALSE(fits({{150, 205}, {300, 330}}));  // runs past the donor end
    EXPECT_FALSE(fits({{350, 399}, {500, 520}, {700, 720}}));  // more blocks than exons remain
    EXPECT_FALSE(fits({{150, 160}, {170, 180}, {300, 310}, {500, 510}}));  // more blocks than exons
}

TEST_F(CheckExons, ReadWithoutBlocksFitsNothing)
{
    EXPECT_FALSE(fits({}));
    EXPECT_FALSE(kestrove.checkExons(transcript({}, true), read({{150, 180}}), stranded(0)));
}

TEST_F(CheckExons, ForwardStrandedLibraryWantsFirstReadOnTranscriptStrand)
{
    const t_configuration fwd = stranded(1);
    const t_transcript xr = transcript(kThreeExons, false);
    EXPECT_FALSE(kestrove.checkExons(x, read({{150, 180}}, false), fwd));                   // single-end, reverse
    EXPECT_TRUE(kestrove.checkExons(x, read({{150, 180}}, true), fwd));                     // single-end, forward
    EXPECT_TRUE(kestrove.checkExons(x, read({{150, 180}}, false, true, false), fwd));       // second mate, reverse
    EXPECT_FALSE(kestrove.checkExons(x, read({{150, 180}}, true, true, false), fwd));       // second mate, forward
    EXPECT_FALSE(kestrove.checkExons(x, read({{150, 180}}, false, true, true), fwd));       // first mate, reverse
    EXPECT_TRUE(kestrove.checkExons(xr, read({{150, 180}}, false, true, true), fwd));       // on a reverse transcript
    EXPECT_TRUE(kestrove.checkExons(x, read({{150, 180}}, false), stranded(0)));            // unstranded
}

TEST_F(CheckExons, ReverseStrandedLibraryWantsFirstReadOpposite)
{
    const t_configuration rev = stranded(2);
    const t_transcript xr = transcript(kThreeExons, false);
    EXPECT_TRUE(kestrove.checkExons(x, read({{150, 180}}, false), rev));
    EXPECT_FALSE(kestrove.checkExons(x, read({{150, 180}}, true), rev));
    EXPECT_TRUE(kestrove.checkExons(x, read({{150, 180}}, true, true, false), rev));
    EXPECT_FALSE(kestrove.checkExons(x, read({{150, 180}}, false, true, false), rev));
    EXPECT_TRUE(kestrove.checkExons(xr, read({{150, 180}}, true, true, true), rev));
}

class GeneFragments : public ::testing::Test {
protected:
    void SetUp() override
    {
        Gene gene;
        gene.geneId = "G";
        gene.transcripts.push_back(transcript(kThreeExons, true));                // X
        gene.transcripts.push_back(transcript({{100, 199}, {500, 599}}, true));   // Y skips the middle exon
        genes["G"] = gene;
        it = genes.begin();
    }

    GeneMap genes;
    GeneMap::iterator it;
    Kestrove kestrove;
    t_configuration conf;
};

TEST_F(GeneFragments, IncompatibleFragmentsAreRemovedAndRowsFollowMapOrder)
{
    FragmentMap fragments;
    fragments["a_both"].push_back(read({{150, 180}}));
    fragments["b_xonly"].push_back(read({{150, 199}, {300, 330}}));
    fragments["c_none"].push_back(read({{190, 210}}));
    fragments["d_pair"] = pairOf({{150, 199}, {300, 320}}, {{350, 399}, {500, 520}});
    fragments["e_yonly"] = pairOf({{150, 199}, {500, 510}}, {{520, 560}});
    // First mate fits both, second mate only X: the pair counts for X alone.
    fragments["f_secondx"] = pairOf({{120, 140}}, {{320, 340}});

    kestrove.checkFragmentsValidity(it, fragments, conf);

    std::vector<std::string> keys;
    for (const auto& [key, reads] : fragments)
        keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"a_both", "b_xonly", "d_pair", "e_yonly", "f_secondx"}));
    const Gene& gene = it->second;
    EXPECT_EQ(gene.validities, (std::vector<std::vector<bool>>{
                                   {true, true}, {true, false}, {true, false}, {false, true}, {true, false}}));
    EXPECT_EQ(gene.compFragsTrans, (std::vector<double>{4, 2}));

    EXPECT_EQ(fragments["a_both"][0].start, 150);
    EXPECT_EQ(fragments["a_both"][0].end, 180);
    EXPECT_EQ(fragments["d_pair"][0].start, 150);
    EXPECT_EQ(fragments["d_pair"][0].end, 520);
}

TEST_F(GeneFragments, LoneMateIsTestedAndSpannedAlone)
{
    FragmentMap fragments;
    fragments["lone"].push_back(read({{150, 199}, {300, 320}}, true, true, true));
    kestrove.checkFragmentsValidity(it, fragments, conf);
    ASSERT_EQ(fragments.size(), 1u);
    EXPECT_EQ(it->second.validities, (std::vector<std::vector<bool>>{{true, false}}));
    EXPECT_EQ(fragments["lone"][0].end, 320);

    kestrove.convertCoords(it, fragments);
    const t_read& lone = fragments["lone"][0];
    EXPECT_EQ(lone.transStarts, (std::vector<int32_t>{51, 0}));
    EXPECT_EQ(lone.transEnds, (std::vector<int32_t>{121, 0}));
    EXPECT_EQ(lone.fragLengths, (std::vector<int32_t>{71, 0}));
}

TEST_F(GeneFragments, NothingCompatibleLeavesEmptyMapAndMatrix)
{
    FragmentMap fragments;
    fragments["x"].push_back(read({{250, 260}}));
    fragments["y"].push_back(read({}));
    kestrove.checkFragmentsValidity(it, fragments, conf);
    EXPECT_TRUE(fragments.empty());
    EXPECT_TRUE(it->second.validities.empty());
    EXPECT_EQ(it->second.compFragsTrans, (std::vector<double>{0, 0}));
}

class TranscriptCoordinates : public ::testing::Test {
protected:
    // One fragment through validity and conversion against the three-exon transcript on the given strand.
    t_read convert(std::vector<t_read> reads, bool forward)
    {
        Gene gene;
        gene.transcripts.push_back(transcript(kThreeExons, forward));
        genes["G"] = gene;
        auto it = genes.begin();
        FragmentMap fragments;
        fragments["f"] = std::move(reads);
        kestrove.checkFragmentsValidity(it, fragments, conf);
        kestrove.convertCoords(it, fragments);
        EXPECT_EQ(fragments.size(), 1u);
        return fragments.empty() ? t_read{} : fragments["f"][0];
    }

    GeneMap genes;
    Kestrove kestrove;
    t_configuration conf;
};

TEST_F(TranscriptCoordinates, SingleEndReadHasStartOnly)
{
    t_read f = convert({read({{150, 180}})}, true);
    EXPECT_EQ(f.transStarts, std::vector<int32_t>{51});
    EXPECT_EQ(f.transEnds, std::vector<int32_t>{0});
    EXPECT_EQ(f.fragLengths, std::vector<int32_t>{0});

    t_read later = convert({read({{520, 540}})}, true);
    EXPECT_EQ(later.transStarts, std::vector<int32_t>{221});
}

TEST_F(TranscriptCoordinates, PairOnForwardTranscriptSkipsIntrons)
{
    t_read f = convert(pairOf({{150, 199}, {300, 320}}, {{350, 399}, {500, 520}}), true);
    EXPECT_EQ(f.start, 150);
    EXPECT_EQ(f.end, 520);
    EXPECT_EQ(f.transStarts, std::vector<int32_t>{51});
    EXPECT_EQ(f.transEnds, std::vector<int32_t>{221});
    EXPECT_EQ(f.fragLengths, std::vector<int32_t>{171});
}

TEST_F(TranscriptCoordinates, PairOnReverseTranscriptCountsFromItsFivePrimeEnd)
{
    t_read f = convert(pairOf({{150, 199}, {300, 320}}, {{350, 399}, {500, 520}}), false);
    EXPECT_EQ(f.transStarts, std::vector<int32_t>{80});
    EXPECT_EQ(f.transEnds, std::vector<int32_t>{250});
    EXPECT_EQ(f.fragLengths, std::vector<int32_t>{171});
}

TEST_F(TranscriptCoordinates, PairWithinOneExonOnBothStrands)
{
    t_read fwd = convert(pairOf({{310, 330}}, {{350, 380}}), true);
    EXPECT_EQ(fwd.transStarts, std::vector<int32_t>{111});
    EXPECT_EQ(fwd.transEnds, std::vector<int32_t>{181});
    EXPECT_EQ(fwd.fragLengths, std::vector<int32_t>{71});
    t_read rev = convert(pairOf({{310, 330}}, {{350, 380}}), false);
    EXPECT_EQ(rev.transStarts, std::vector<int32_t>{120});
    EXPECT_EQ(rev.transEnds, std::vector<int32_t>{190});
    EXPECT_EQ(rev.fragLengths, std::vector<int32_t>{71});
}

TEST_F(TranscriptCoordinates, SingleEndReadOnReverseTranscriptStartsAtItsEnd)
{
    t_read f = convert({read({{150, 180}})}, false);
    EXPECT_EQ(f.transStarts, std::vector<int32_t>{220});
    EXPECT_EQ(f.transEnds, std::vector<int32_t>{0});
    EXPECT_EQ(f.fragLengths, std::vector<int32_t>{0});
}

TEST_F(TranscriptCoordinates, EveryTranscriptGetsExactlyOneValue)
{
    Gene gene;
    gene.transcripts.push_back(transcript(kThreeExons, true));
    gene.transcripts.push_back(transcript({{600, 700}}, true));
    gene.transcripts.push_back(transcript(kThreeExons, false));
    genes["G"] = gene;
    auto it = genes.begin();
    FragmentMap fragments;
    fragments["f"].push_back(read({{150, 180}}));
    kestrove.checkFragmentsValidity(it, fragments, conf);
    kestrove.convertCoords(it, fragments);
    const t_read& f = fragments["f"][0];
    EXPECT_EQ(f.transStarts, (std::vector<int32_t>{51, 0, 220}));
    EXPECT_EQ(f.transEnds, (std::vector<int32_t>{0, 0, 0}));
    EXPECT_EQ(f.fragLengths, (std::vector<int32_t>{0, 0, 0}));
}

TEST_F(TranscriptCoordinates, BrokenInvariantsNeverIndexOutOfBounds)
{
    Gene gene;
    gene.transcripts.push_back(transcript(kThreeExons, true));
    gene.transcripts.push_back(transcript(kThreeExons, false));
    // A row claiming compatibility for a fragment whose end lies in an intron,
    // and a second fragment with no row at all.
    gene.validities = {{true, true}};
    genes["G"] = gene;
    auto it = genes.begin();
    FragmentMap fragments;
    fragments["a"] = pairOf({{150, 180}}, {{250, 260}});
    fragments["a"][0].start = 150;
    fragments["a"][0].end = 260;
    fragments["b"].push_back(read({{150, 180}}));
    kestrove.convertCoords(it, fragments);
    for (const auto& [key, reads] : fragments) {
        EXPECT_EQ(reads[0].transStarts.size(), 2u) << key;
        EXPECT_EQ(reads[0].transEnds.size(), 2u) << key;
        EXPECT_EQ(reads[0].fragLengths.size(), 2u) << key;
    }
    EXPECT_EQ(fragments["b"][0].transStarts, (std::vector<int32_t>{0, 0}));
}

} // namespace
