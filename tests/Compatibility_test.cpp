// Which transcripts a fragment fits and where it lies on them: the exon-edge
// arithmetic that whole runs reach only through rounded abundances.

#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "alignments/Compatibility.h"
#include "model/FragmentTable.h"
#include "util/Errors.h"
#include "util/ThreadPool.h"

namespace {

const std::vector<t_exon> kThreeExons{{100, 199}, {300, 399}, {500, 599}};

t_transcript transcript(std::vector<t_exon> exons, bool forward)
{
    t_transcript t;
    t.exons = std::move(exons);
    t.forwardStrand = forward;
    return t;
}

enum Mate { single, first, second };

t_read read(std::vector<t_exon> blocks, bool forward = true, Mate mate = single)
{
    t_read r;
    r.name = "r";
    r.start = blocks.empty() ? 0 : blocks.front().start;
    r.blocks = std::move(blocks);
    r.forward = forward;
    r.paired = mate != single;
    r.firstMate = mate == first;
    return r;
}

std::vector<t_read> pairOf(std::vector<t_exon> left, std::vector<t_exon> right)
{
    return {read(std::move(left), true, first), read(std::move(right), false, second)};
}

TEST(Compatibility, ReadFitsTranscriptExactlyWhenBlocksFollowItsExons)
{
    struct Row {
        std::vector<t_exon> blocks;
        bool forward;
        Mate mate;
        int strandedness;
        bool transcriptForward;
        bool fits;
    };
    const std::vector<Row> rows = {
        {{{150, 180}}, true, single, 0, true, true}, {{{100, 199}}, true, single, 0, true, true},
        {{{500, 599}}, true, single, 0, true, true}, {{{199, 199}}, true, single, 0, true, true},
        {{{190, 210}}, true, single, 0, true, false},  // runs into the intron
        {{{90, 120}}, true, single, 0, true, false}, {{{99, 120}}, true, single, 0, true, false},
        {{{250, 260}}, true, single, 0, true, false}, {{{590, 610}}, true, single, 0, true, false},
        {{{590, 600}}, true, single, 0, true, false}, {{{700, 750}}, true, single, 0, true, false},
        {{}, true, single, 0, true, false}, {{{150, 199}, {300, 330}}, true, single, 0, true, true},
        {{{150, 195}, {300, 330}}, true, single, 0, true, true},  // may end short of the donor
        {{{150, 199}, {300, 399}, {500, 520}}, true, single, 0, true, true},
        {{{150, 199}, {300, 399}, {500, 599}}, true, single, 0, true, true},
        {{{150, 199}, {301, 330}}, true, single, 0, true, false},  // acceptor must match
        {{{150, 199}, {299, 330}}, true, single, 0, true, false},
        {{{150, 199}, {300, 399}, {501, 520}}, true, single, 0, true, false},
        {{{150, 199}, {500, 530}}, true, single, 0, true, false},  // skips an exon
        {{{150, 200}, {300, 330}}, true, single, 0, true, false},  // past the donor
        {{{350, 399}, {500, 520}, {700, 720}}, true, single, 0, true, false},
        {{{150, 160}, {170, 180}, {300, 310}, {500, 510}}, true, single, 0, true, false},
        // Forward-stranded library: the first read on the transcript's strand.
        {{{150, 180}}, false, single, 1, true, false}, {{{150, 180}}, true, single, 1, true, true},
        {{{150, 180}}, false, second, 1, true, true}, {{{150, 180}}, true, second, 1, true, false},
        {{{150, 180}}, false, first, 1, true, false}, {{{150, 180}}, true, first, 1, true, true},
        {{{150, 180}}, false, first, 1, false, true}, {{{150, 180}}, false, single, 0, true, true},
        // Reverse-stranded library: the first read opposite.
        {{{150, 180}}, false, single, 2, true, true}, {{{150, 180}}, true, single, 2, true, false},
        {{{150, 180}}, true, second, 2, true, true}, {{{150, 180}}, false, second, 2, true, false},
        {{{150, 180}}, true, first, 2, false, true}, {{{150, 180}}, false, first, 2, false, false},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        EXPECT_EQ(readFitsTranscript(transcript(kThreeExons, row.transcriptForward),
                                     read(row.blocks, row.forward, row.mate), row.strandedness), row.fits)
            << "row " << i;
    }
}

TEST(Compatibility, TranscriptCoordinatesSkipIntronsAndCountFromTheFivePrimeEnd)
{
    struct Row { std::vector<t_read> reads; bool forward; int32_t start, end, length; };
    const std::vector<Row> rows = {
        {{read({{150, 180}})}, true, 51, 0, 0}, {{read({{520, 540}})}, true, 221, 0, 0},
        {{read({{100, 120}})}, true, 1, 0, 0}, {{read({{300, 320}})}, true, 101, 0, 0},
        {{read({{150, 180}})}, false, 220, 0, 0}, {{read({{580, 599}})}, false, 1, 0, 0},
        {{read({{350, 399}})}, false, 101, 0, 0},
        {pairOf({{150, 199}, {300, 320}}, {{350, 399}, {500, 520}}), true, 51, 221, 171},
        {pairOf({{150, 199}, {300, 320}}, {{350, 399}, {500, 520}}), false, 80, 250, 171},
        {pairOf({{310, 330}}, {{350, 380}}), true, 111, 181, 71},
        {pairOf({{310, 330}}, {{350, 380}}), false, 120, 190, 71},
        {pairOf({{100, 150}}, {{550, 599}}), true, 1, 300, 300},
        {pairOf({{100, 150}}, {{550, 599}}), false, 1, 300, 300},
        {{read({{150, 199}, {300, 320}}, true, first)}, true, 51, 121, 71},  // lone mate spans itself
        // Dropped (start -1): compatible with no transcript, or a pair whose second mate does not fit.
        {{read({{190, 210}})}, true, -1, 0, 0}, {pairOf({{120, 140}}, {{250, 260}}), true, -1, 0, 0},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        GeneMap genes;
        genes["G"].transcripts = {transcript(kThreeExons, rows[i].forward), transcript({{700, 800}}, true)};
        auto it = genes.begin();
        FragmentMap fragments;
        fragments["f"] = rows[i].reads;
        keepCompatibleFragments(it, fragments, 0);
        placeOnTranscripts(it, fragments);
        ASSERT_EQ(fragments.size(), rows[i].start < 0 ? 0u : 1u) << "row " << i;
        if (fragments.empty())
            continue;
        EXPECT_EQ(genes["G"].compFragsTrans, (std::vector<double>{1, 0})) << "row " << i;
        const t_read& f = fragments["f"][0];
        // The second transcript does not fit: zeros keep one value per transcript.
        EXPECT_EQ(f.transStarts, (std::vector<int32_t>{rows[i].start, 0})) << "row " << i;
        EXPECT_EQ(f.transEnds, (std::vector<int32_t>{rows[i].end, 0})) << "row " << i;
        EXPECT_EQ(f.fragLengths, (std::vector<int32_t>{rows[i].length, 0})) << "row " << i;
    }
}

// A large locus's tables, as a gene put off for its size builds them on the run's
// threads: the same bytes on one thread or several, across many batches of tests and
// stretches of cells.
TEST(LocusTables, AreTheSameOnAnyNumberOfThreads)
{
    const std::vector<t_exon> exons{{1000, 2999}, {4000, 5999}, {7000, 8999}};
    Gene gene;
    gene.transcripts = {transcript(exons, true), transcript({exons[0], exons[2]}, true),
                        transcript({exons[0], exons[1]}, false)};
    for (t_transcript& t : gene.transcripts)
        for (const t_exon& e : t.exons)
            t.length += e.end - e.start + 1;
    constexpr uint64_t K = 3;
    ScaledComponents scaled;
    for (const t_transcript& t : gene.transcripts)
        for (uint64_t k = 0; k < K; ++k) {
            scaled.means.push_back(t.length * (k + 0.5) / K);
            scaled.devs.push_back(t.length / 5.0);
        }

    struct Built {
        std::vector<double> counts;
        CompatibleFragments compatible;
        FragmentTable table;
    };
    // Singles and pairs at random, under names in no particular order; some fit nothing,
    // some pairs lack a mate, some names come back for a fragment of their own.
    const auto readLocus = [](LocusFragments& fragments, LocusFragments::Consumer& consumer) {
        std::mt19937 rng(3);
        std::uniform_int_distribution<int32_t> start(1000, 8800);
        for (int f = 0; f < 60000; ++f) {
            const std::string name = "r" + std::to_string(rng() % 1000000) + "." + std::to_string(f);
            LocusFragments::Read first;
            first.start = start(rng);
            first.length = 50;
            first.nrBlocks = 1;
            const t_exon firstBlock{first.start, first.start + 49};
            if (f % 2 == 0) {
                fragments.add(name, first, &firstBlock, consumer);
                if (f % 22 == 0)
                    fragments.add(name, first, &firstBlock, consumer);
                continue;
            }
            LocusFragments::Read second = first;
            second.start = first.start + 150;
            second.forward = 0;
            first.paired = second.paired = 1;
            first.firstMate = 1;
            first.mateStart = second.start;
            second.mateStart = first.start;
            const t_exon secondBlock{second.start, second.start + 49};
            fragments.add(name, first, &firstBlock, consumer);
            if (f % 14 != 1)
                fragments.add(name, second, &secondBlock, consumer);
        }
        fragments.finishAdding(consumer);
    };
    const auto build = [&](unsigned threads) {
        auto pool = std::make_unique<ThreadPool>(threads);
        LocusFragments fragments;
        LocusCompatibility compatibility(gene, 0);
        // With threads, the fragments are tested on the workers as the reads come.
        compatibility.takeReads(threads > 1 ? pool.get() : nullptr,
                                [&](LocusFragments::Consumer& consumer) { readLocus(fragments, consumer); });
        Built built;
        gene.compFragsTrans.clear();
        compatibility.finish(fragments, built.compatible, threads > 1 ? pool.get() : nullptr);
        built.counts = gene.compFragsTrans;
        CompatibleFragments consumed = built.compatible;
        built.table = buildFragmentTable(consumed, gene, gene.transcripts.size(), K, scaled,
                                         threads > 1 ? pool.get() : nullptr);
        return built;
    };

    const Built one = build(1);
    // Several stretches of cells at every thread count below.
    ASSERT_GT(one.compatible.entryTranscript.size(), 6u * 16384u);
    ASSERT_LT(one.compatible.size(), 60000u);
    for (unsigned threads : {2u, 3u}) {
        const Built many = build(threads);
        EXPECT_EQ(many.counts, one.counts) << threads;
        EXPECT_EQ(many.compatible.firstEntry, one.compatible.firstEntry) << threads;
        EXPECT_EQ(many.compatible.entryTranscript, one.compatible.entryTranscript) << threads;
        EXPECT_EQ(many.compatible.paired, one.compatible.paired) << threads;
        ASSERT_EQ(many.compatible.entryStart.size(), one.compatible.entryStart.size()) << threads;
        for (std::size_t e = 0; e < one.compatible.entryStart.size(); ++e) {
            ASSERT_EQ(many.compatible.entryStart[e], one.compatible.entryStart[e]) << threads << " entry " << e;
            ASSERT_EQ(many.compatible.entryLength[e], one.compatible.entryLength[e]) << threads << " entry " << e;
        }
        ASSERT_EQ(many.table.cells.size(), one.table.cells.size()) << threads;
        for (std::size_t c = 0; c < one.table.cells.size(); ++c)
            ASSERT_EQ(many.table.cells[c], one.table.cells[c]) << threads << " cell " << c;
    }
}

// The table keeps a fragment's transcripts as a row shared by every fragment that fits
// the same ones: each fragment must read back its own list, and a set must be kept once.
TEST(LocusTables, FragmentsThatFitTheSameTranscriptsShareARow)
{
    struct Row {
        std::vector<std::vector<uint32_t>> fragments;
        std::size_t rowValues;  // distinct sets, their transcripts counted once
    };
    const std::vector<Row> rows = {
        {{}, 0},
        {{{3}}, 1},
        {{{0, 2}, {1}, {0, 2}, {1}, {0, 1, 2}, {0, 2}}, 6},
        {{{0, 1}, {1, 2}, {0, 1, 2}, {2}, {1, 2}}, 8},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        std::vector<uint32_t> firstEntry{0};
        std::vector<uint32_t> entryTranscript;
        for (const std::vector<uint32_t>& transcripts : rows[i].fragments) {
            entryTranscript.insert(entryTranscript.end(), transcripts.begin(), transcripts.end());
            firstEntry.push_back(static_cast<uint32_t>(entryTranscript.size()));
        }
        FragmentTable table;
        setTranscriptRows(table, firstEntry, entryTranscript);
        ASSERT_EQ(table.fragmentRow.size(), rows[i].fragments.size());
        EXPECT_EQ(table.rowTranscripts.size(), rows[i].rowValues);
        for (std::size_t h = 0; h < rows[i].fragments.size(); ++h) {
            const std::vector<uint32_t>& own = rows[i].fragments[h];
            const uint32_t* kept = table.rowTranscripts.data() + table.fragmentRow[h];
            EXPECT_EQ(std::vector<uint32_t>(kept, kept + own.size()), own) << "fragment " << h;
            for (std::size_t other = 0; other < h; ++other)
                EXPECT_EQ(table.fragmentRow[other] == table.fragmentRow[h], rows[i].fragments[other] == own)
                    << "fragments " << other << " and " << h;
        }
    }
}

// A reading that fails part of the way, with batches already handed on: the workers that
// test them must stop as well, so that the run ends with the failure instead of waiting.
TEST(LocusTables, AReadingThatFailsStopsTheWorkersTestingIt)
{
    Gene gene;
    gene.transcripts = {transcript({{1000, 2999}}, true)};
    gene.transcripts[0].length = 2000;
    for (const int failAfter : {0, 5000, 40000}) {
        SCOPED_TRACE("failing after " + std::to_string(failAfter) + " reads");
        ThreadPool pool(3);
        LocusFragments fragments;
        LocusCompatibility compatibility(gene, 0);
        const auto read = [&](LocusFragments::Consumer& consumer) {
            for (int f = 0; f < failAfter; ++f) {
                LocusFragments::Read single;
                single.start = 1000 + f % 1900;
                single.length = 50;
                single.nrBlocks = 1;
                const t_exon block{single.start, single.start + 49};
                fragments.add("r" + std::to_string(f), single, &block, consumer);
            }
            throw std::runtime_error("the file ends here");
        };
        EXPECT_THROW(compatibility.takeReads(&pool, read), RunAborted);
    }
}

} // namespace
