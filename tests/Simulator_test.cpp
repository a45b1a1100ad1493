#include <algorithm>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <htslib/hts.h>
#include <htslib/sam.h>

#include "TestUtil.h"

using testutil::readText;
using testutil::TempDir;

namespace {

struct Interval {
    int64_t start;
    int64_t end;
};

struct SimTranscript {
    std::string gene;
    std::string chromosome;
    bool forward = true;
    std::vector<Interval> exons;
};

struct Record {
    std::string name;
    int tid = -1;
    int64_t pos = 0;
    uint16_t flag = 0;
    int mtid = -1;
    int64_t mpos = 0;
    int64_t tlen = 0;
    std::vector<Interval> blocks;
    std::string sam;
};

struct Bam {
    std::vector<std::string> references;
    std::vector<Record> records;
};

std::string attribute(const std::string& line, const std::string& key)
{
    const std::string marker = key + " \"";
    const auto at = line.find(marker);
    if (at == std::string::npos)
        return {};
    const auto begin = at + marker.size();
    return line.substr(begin, line.find('"', begin) - begin);
}

std::vector<std::string> tabFields(const std::string& line)
{
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t'))
        fields.push_back(field);
    return fields;
}

std::map<std::string, SimTranscript> readGtf(const std::string& path)
{
    std::map<std::string, SimTranscript> transcripts;
    std::stringstream in(readText(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        auto fields = tabFields(line);
        if (fields.size() != 9 || fields[2] != "exon")
            continue;
        SimTranscript& tr = transcripts[attribute(line, "transcript_id")];
        tr.gene = attribute(line, "gene_id");
        tr.chromosome = fields[0];
        tr.forward = fields[6] == "+";
        tr.exons.push_back({std::stoll(fields[3]), std::stoll(fields[4])});
    }
    for (auto& [id, tr] : transcripts)
        std::sort(tr.exons.begin(), tr.exons.end(), [](const Interval& a, const Interval& b) { return a.start < b.start; });
    return transcripts;
}

Bam readBam(const std::string& path)
{
    Bam bam;
    std::unique_ptr<htsFile, int (*)(htsFile*)> in(hts_open(path.c_str(), "r"), hts_close);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    std::unique_ptr<sam_hdr_t, void (*)(sam_hdr_t*)> hdr(sam_hdr_read(in.get()), sam_hdr_destroy);
    if (!hdr)
        throw std::runtime_error("no header in " + path);
    for (int i = 0; i < sam_hdr_nref(hdr.get()); ++i)
        bam.references.push_back(sam_hdr_tid2name(hdr.get(), i));
    std::unique_ptr<bam1_t, void (*)(bam1_t*)> b(bam_init1(), bam_destroy1);
    kstring_t text = KS_INITIALIZE;
    int r;
    while ((r = sam_read1(in.get(), hdr.get(), b.get())) >= 0) {
        Record rec;
        rec.name = bam_get_qname(b.get());
        rec.tid = b->core.tid;
        rec.pos = b->core.pos;
        rec.flag = b->core.flag;
        rec.mtid = b->core.mtid;
        rec.mpos = b->core.mpos;
        rec.tlen = b->core.isize;
        int64_t cursor = rec.pos + 1;
        int64_t blockStart = cursor;
        const uint32_t* cigar = bam_get_cigar(b.get());
        for (uint32_t i = 0; i < b->core.n_cigar; ++i) {
            const int op = bam_cigar_op(cigar[i]);
            const int64_t len = bam_cigar_oplen(cigar[i]);
            if (op == BAM_CMATCH) {
                cursor += len;
            } else if (op == BAM_CREF_SKIP) {
                rec.blocks.push_back({blockStart, cursor - 1});
                cursor += len;
                blockStart = cursor;
            } else {
                throw std::runtime_error("unexpected CIGAR operation in " + rec.name);
            }
        }
        rec.blocks.push_back({blockStart, cursor - 1});
        if (sam_format1(hdr.get(), b.get(), &text) < 0)
            throw std::runtime_error("cannot format " + rec.name);
        rec.sam = text.s;
        bam.records.push_back(std::move(rec));
    }
    ks_free(&text);
    if (r < -1)
        throw std::runtime_error("truncated or corrupt BAM " + path);
    return bam;
}

std::string transcriptOfRead(const std::string& name)
{
    return name.substr(name.find('_') + 1);
}

// The blocks follow consecutive exons with junctions exactly at the introns.
::testing::AssertionResult blocksFitTranscript(const Record& rec, const SimTranscript& tr)
{
    const auto& e = tr.exons;
    size_t k = 0;
    while (k < e.size() && !(e[k].start <= rec.blocks[0].start && rec.blocks[0].start <= e[k].end))
        ++k;
    if (k + rec.blocks.size() > e.size())
        return ::testing::AssertionFailure() << rec.sam;
    for (size_t i = 0; i < rec.blocks.size(); ++i) {
        const Interval& b = rec.blocks[i];
        const Interval& x = e[k + i];
        const bool inside = b.start >= x.start && b.end <= x.end && b.start <= b.end;
        const bool acceptor = i == 0 || b.start == x.start;
        const bool donor = i + 1 == rec.blocks.size() || b.end == x.end;
        if (!inside || !acceptor || !donor)
            return ::testing::AssertionFailure() << "block " << i << " off the exons: " << rec.sam;
    }
    return ::testing::AssertionSuccess();
}

std::map<std::string, uint64_t> readTruth(const std::string& path, uint64_t& total,
                                          std::map<std::string, int64_t>& lengths)
{
    std::map<std::string, uint64_t> counts;
    std::stringstream in(readText(path));
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "transcript_id\tgene_id\tlength\tfragments");
    total = 0;
    while (std::getline(in, line)) {
        auto fields = tabFields(line);
        EXPECT_EQ(fields.size(), 4u) << line;
        if (fields.size() != 4)
            continue;
        counts[fields[0]] = std::stoull(fields[3]);
        lengths[fields[0]] = std::stoll(fields[2]);
        total += counts[fields[0]];
    }
    return counts;
}

testutil::CommandResult simulate(const std::string& dir, const std::string& args)
{
    if (!testutil::exists(testutil::toolPath("simulate")))
        ADD_FAILURE() << testutil::toolPath("simulate") << " is missing: build the simulate target first";
    return testutil::run("cd '" + dir + "' && '" + testutil::toolPath("simulate") + "' " + args);
}

} // namespace

TEST(Simulator, SameSeedGivesTheSameFilesAndAnotherSeedDoesNot)
{
    TempDir a, b, c;
    const std::string args = "--genes 12 --fragments 1500 --seed 11 --out-prefix sim";
    ASSERT_EQ(simulate(a.path(), args).status, 0);
    ASSERT_EQ(simulate(b.path(), args).status, 0);
    ASSERT_EQ(simulate(c.path(), "--genes 12 --fragments 1500 --seed 12 --out-prefix sim").status, 0);

    EXPECT_EQ(readText(a.file("sim.gtf")), readText(b.file("sim.gtf")));
    EXPECT_EQ(readText(a.file("sim.truth.tsv")), readText(b.file("sim.truth.tsv")));
    EXPECT_EQ(readText(a.file("sim.bam")), readText(b.file("sim.bam")));
    Bam first = readBam(a.file("sim.bam"));
    Bam second = readBam(b.file("sim.bam"));
    ASSERT_EQ(first.records.size(), second.records.size());
    for (size_t i = 0; i < first.records.size(); ++i)
        ASSERT_EQ(first.records[i].sam, second.records[i].sam);

    EXPECT_NE(readText(a.file("sim.gtf")), readText(c.file("sim.gtf")));
    EXPECT_NE(readText(a.file("sim.truth.tsv")), readText(c.file("sim.truth.tsv")));
}

TEST(Simulator, PairedSortedBamHoldsTrueMatePairsInsideTheirTranscripts)
{
    TempDir tmp;
    const uint64_t fragments = 3000;
    auto result = simulate(tmp.path(), "--genes 15 --fragments 3000 --seed 5 --chromosomes 2 --out-prefix sim");
    ASSERT_EQ(result.status, 0) << result.err;

    auto transcripts = readGtf(tmp.file("sim.gtf"));
    Bam bam = readBam(tmp.file("sim.bam"));
    EXPECT_EQ(bam.references, (std::vector<std::string>{"1", "2"}));
    ASSERT_EQ(bam.records.size(), 2 * fragments);

    std::unique_ptr<htsFile, int (*)(htsFile*)> file(hts_open(tmp.file("sim.bam").c_str(), "r"), hts_close);
    std::unique_ptr<hts_idx_t, void (*)(hts_idx_t*)> index(sam_index_load(file.get(), tmp.file("sim.bam").c_str()),
                                                         hts_idx_destroy);
    EXPECT_TRUE(index) << "no usable index beside the sorted BAM";

    std::map<std::string, std::vector<const Record*>> byName;
    for (size_t i = 0; i < bam.records.size(); ++i) {
        const Record& rec = bam.records[i];
        if (i > 0) {
            const Record& prev = bam.records[i - 1];
            ASSERT_TRUE(prev.tid < rec.tid || (prev.tid == rec.tid && prev.pos <= rec.pos)) << "unsorted at " << rec.sam;
        }
        byName[rec.name].push_back(&rec);
        const auto found = transcripts.find(transcriptOfRead(rec.name));
        ASSERT_NE(found, transcripts.end()) << rec.sam;
        EXPECT_EQ(bam.references[static_cast<size_t>(rec.tid)], found->second.chromosome);
        EXPECT_TRUE(blocksFitTranscript(rec, found->second));
        int64_t aligned = 0;
        for (const auto& block : rec.blocks)
            aligned += block.end - block.start + 1;
        EXPECT_LE(aligned, 75);
    }

    ASSERT_EQ(byName.size(), fragments);
    std::map<std::string, uint64_t> fragmentsPerTranscript;
    for (const auto& [name, mates] : byName) {
        ASSERT_EQ(mates.size(), 2u) << name;
        const Record& x = *mates[0];
        const Record& y = *mates[1];
        for (const Record* r : {&x, &y})
            EXPECT_EQ(r->flag & (BAM_FPAIRED | BAM_FPROPER_PAIR), BAM_FPAIRED | BAM_FPROPER_PAIR) << r->sam;
        EXPECT_EQ((x.flag | y.flag) & (BAM_FREAD1 | BAM_FREAD2), BAM_FREAD1 | BAM_FREAD2) << x.sam;
        EXPECT_NE(x.flag & BAM_FREAD1, y.flag & BAM_FREAD1) << x.sam;
        EXPECT_EQ(x.mtid, y.tid);
        EXPECT_EQ(y.mtid, x.tid);
        EXPECT_EQ(x.mpos, y.pos) << x.sam;
        EXPECT_EQ(y.mpos, x.pos) << y.sam;
        EXPECT_EQ(bool(x.flag & BAM_FREVERSE), bool(y.flag & BAM_FMREVERSE)) << x.sam;
        EXPECT_EQ(bool(y.flag & BAM_FREVERSE), bool(x.flag & BAM_FMREVERSE)) << y.sam;
        EXPECT_NE(bool(x.flag & BAM_FREVERSE), bool(y.flag & BAM_FREVERSE)) << x.sam;
        EXPECT_EQ(x.tlen, -y.tlen);
        // Read 1 lies on the transcript's strand.
        const Record& read1 = (x.flag & BAM_FREAD1) ? x : y;
        const SimTranscript& tr = transcripts[transcriptOfRead(name)];
        EXPECT_EQ(!(read1.flag & BAM_FREVERSE), tr.forward) << read1.sam;
        ++fragmentsPerTranscript[transcriptOfRead(name)];
    }

    uint64_t total = 0;
    std::map<std::string, int64_t> lengths;
    auto truth = readTruth(tmp.file("sim.truth.tsv"), total, lengths);
    EXPECT_EQ(total, fragments);
    EXPECT_EQ(truth.size(), transcripts.size());
    for (const auto& [id, tr] : transcripts) {
        int64_t length = 0;
        for (const auto& e : tr.exons)
            length += e.end - e.start + 1;
        EXPECT_EQ(lengths[id], length) << id;
        EXPECT_EQ(truth[id], fragmentsPerTranscript[id]) << id;
    }
}

TEST(Simulator, GenesHaveSeveralIsoformsAndDoNotOverlapUnlessAsked)
{
    for (bool overlapping : {false, true}) {
        SCOPED_TRACE(overlapping);
        TempDir tmp;
        std::string args = "--genes 20 --fragments 100 --seed 3 --chromosomes 2 --out-prefix sim";
        if (overlapping)
            args += " --overlapping";
        ASSERT_EQ(simulate(tmp.path(), args).status, 0);
        auto transcripts = readGtf(tmp.file("sim.gtf"));
        std::map<std::string, std::pair<std::string, Interval>> genes;
        std::map<std::string, int> isoforms;
        for (const auto& [id, tr] : transcripts) {
            auto& g = genes.try_emplace(tr.gene, tr.chromosome, Interval{tr.exons.front().start, tr.exons.back().end})
                          .first->second;
            g.second.start = std::min(g.second.start, tr.exons.front().start);
            g.second.end = std::max(g.second.end, tr.exons.back().end);
            ++isoforms[tr.gene];
        }
        ASSERT_EQ(genes.size(), 20u);
        for (const auto& [gene, count] : isoforms)
            EXPECT_GE(count, 2) << gene;
        int overlaps = 0;
        for (auto a = genes.begin(); a != genes.end(); ++a) {
            for (auto b = std::next(a); b != genes.end(); ++b) {
                if (a->second.first == b->second.first && a->second.second.start <= b->second.second.end &&
                    b->second.second.start <= a->second.second.end)
                    ++overlaps;
            }
        }
        if (overlapping) {
            EXPECT_GT(overlaps, 0);
        } else {
            EXPECT_EQ(overlaps, 0);
        }
    }
}

TEST(Simulator, SingleEndUnsortedWithChrPrefixedReferences)
{
    TempDir tmp;
    testutil::writeText(tmp.file("reads.bam.bai"), "stale");
    auto result = simulate(tmp.path(), "--genes 6 --fragments 400 --seed 9 --single-end --unsorted --chr-prefix "
                                       "--read-length 50 --gtf ann.gtf --bam reads.bam --truth truth.tsv");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_FALSE(testutil::exists(tmp.file("reads.bam.bai")));

    auto transcripts = readGtf(tmp.file("ann.gtf"));
    Bam bam = readBam(tmp.file("reads.bam"));
    EXPECT_EQ(bam.references, (std::vector<std::string>{"chr1", "chr2", "chr3"}));
    ASSERT_EQ(bam.records.size(), 400u);
    bool outOfOrder = false;
    std::map<std::string, int> names;
    for (size_t i = 0; i < bam.records.size(); ++i) {
        const Record& rec = bam.records[i];
        EXPECT_EQ(rec.flag & ~BAM_FREVERSE, 0) << rec.sam;
        ++names[rec.name];
        const SimTranscript& tr = transcripts.at(transcriptOfRead(rec.name));
        EXPECT_EQ(bam.references[static_cast<size_t>(rec.tid)], "chr" + tr.chromosome);
        EXPECT_EQ(!(rec.flag & BAM_FREVERSE), tr.forward) << rec.sam;
        EXPECT_TRUE(blocksFitTranscript(rec, tr));
        if (i > 0 && (bam.records[i - 1].tid > rec.tid ||
                      (bam.records[i - 1].tid == rec.tid && bam.records[i - 1].pos > rec.pos)))
            outOfOrder = true;
    }
    EXPECT_EQ(names.size(), 400u);
    EXPECT_TRUE(outOfOrder) << "an unsorted BAM of 400 random fragments came out sorted";
    uint64_t total = 0;
    std::map<std::string, int64_t> lengths;
    readTruth(tmp.file("truth.tsv"), total, lengths);
    EXPECT_EQ(total, 400u);
}

TEST(Simulator, InvalidOptionsEndWithStatusOne)
{
    TempDir tmp;
    auto unknown = simulate(tmp.path(), "--no-such-option");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("simulate:"), std::string::npos);
    auto zero = simulate(tmp.path(), "--fragments 0");
    EXPECT_EQ(zero.status, 1);
    EXPECT_FALSE(testutil::exists(tmp.file("sim.bam")));
    auto unwritable = simulate(tmp.path(), "--out-prefix no/such/dir/sim");
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_NE(unwritable.err.find("no/such/dir/sim.gtf"), std::string::npos) << unwritable.err;
}
