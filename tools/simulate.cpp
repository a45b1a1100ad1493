// Deterministic RNA-seq simulator: a GTF of multi-isoform genes, a BAM of the
// true spliced alignments of fragments sampled from its transcripts, and a
// table of the true fragment counts. The same options and seed always give
// the same files.
//
// Libraries are stranded with read 1 on the transcript's strand: on a
// forward-strand transcript read 1 is the leftmost mate, on a reverse-strand
// transcript the rightmost one. Single-end reads are read 1.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <numeric>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <boost/program_options.hpp>
#include <htslib/hts.h>
#include <htslib/sam.h>

namespace po = boost::program_options;

namespace {

struct Options {
    uint64_t genes = 50;
    uint64_t fragments = 10000;
    uint64_t seed = 1;
    uint64_t sampleSeed = 0;
    bool hasSampleSeed = false;
    std::string scalePath;
    bool singleEnd = false;
    bool unsorted = false;
    bool chrPrefix = false;
    bool overlapping = false;
    bool realistic = false;
    int wideGene = 0;
    int readLength = 75;
    int chromosomes = 3;
    double fragMean = 200.0;
    double fragSd = 80.0;
    int threads = 1;
    std::string outPrefix = "sim";
    std::string gtfPath;
    std::string bamPath;
    std::string truthPath;
    std::string commandLine;
};

// xoshiro256** seeded through splitmix64: fixed output on every platform,
// unlike the distributions of the standard library.
class Random {
public:
    explicit Random(uint64_t seed)
    {
        for (auto& s : state) {
            seed += 0x9e3779b97f4a7c15ULL;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            s = z ^ (z >> 31);
        }
    }

    uint64_t next()
    {
        const uint64_t result = rotl(state[1] * 5, 7) * 9;
        const uint64_t t = state[1] << 17;
        state[2] ^= state[0];
        state[3] ^= state[1];
        state[1] ^= state[2];
        state[0] ^= state[3];
        state[2] ^= t;
        state[3] = rotl(state[3], 45);
        return result;
    }

    // Uniform in [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    // Uniform integer in [lo, hi].
    int64_t range(int64_t lo, int64_t hi)
    {
        const uint64_t span = static_cast<uint64_t>(hi - lo) + 1;
        return lo + static_cast<int64_t>(next() % span);
    }

    double normal()
    {
        if (hasSpare) {
            hasSpare = false;
            return spare;
        }
        double u1 = 0.0;
        while (u1 <= 0.0)
            u1 = uniform();
        const double u2 = uniform();
        const double radius = std::sqrt(-2.0 * std::log(u1));
        const double angle = 2.0 * M_PI * u2;
        spare = radius * std::sin(angle);
        hasSpare = true;
        return radius * std::cos(angle);
    }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    uint64_t state[4];
    double spare = 0.0;
    bool hasSpare = false;
};

struct Exon {
    int32_t start;  // 1-based, inclusive
    int32_t end;
};

struct Transcript {
    std::string id;
    size_t gene = 0;
    std::vector<Exon> exons;  // ascending genomic order
    int32_t length = 0;
    double weight = 0.0;
    uint64_t fragments = 0;
};

struct SimGene {
    std::string id;
    std::string name;
    int chromosome = 0;
    bool forward = true;
    int32_t start = 0;
    int32_t end = 0;
    std::vector<size_t> transcripts;
};

struct Model {
    std::vector<std::string> chromosomeNames;
    std::vector<int32_t> chromosomeLengths;
    std::vector<std::string> sequences;
    std::vector<SimGene> genes;
    std::vector<Transcript> transcripts;
};

struct Fragment {
    uint32_t transcript;
    int32_t offset;  // first base in transcript coordinates, 0-based, ascending genomic order
    int32_t length;
};

struct ReadRef {
    int32_t tid;
    int32_t pos;  // 0-based leftmost position
    uint32_t fragment;
    uint8_t mate;  // 0 the leftmost read of the fragment, 1 the rightmost
};

std::string zeroPadded(uint64_t value, int width)
{
    std::string digits = std::to_string(value);
    if (static_cast<int>(digits.size()) < width)
        digits.insert(0, static_cast<size_t>(width) - digits.size(), '0');
    return digits;
}

int32_t exonLength(const Exon& e) { return e.end - e.start + 1; }

// Each transcript after the first skips exons at random; isoforms of a gene
// have distinct exon sets and at least two exons.
std::vector<std::vector<size_t>> chooseIsoforms(Random& rng, size_t nrExons, int wanted)
{
    std::vector<std::vector<size_t>> isoforms;
    std::vector<size_t> all(nrExons);
    std::iota(all.begin(), all.end(), 0);
    isoforms.push_back(all);
    std::set<std::vector<size_t>> seen{all};
    for (int attempt = 0; attempt < 50 && static_cast<int>(isoforms.size()) < wanted; ++attempt) {
        std::vector<size_t> subset;
        for (size_t i = 0; i < nrExons; ++i) {
            const double keep = (i == 0 || i + 1 == nrExons) ? 0.8 : 0.6;
            if (rng.uniform() < keep)
                subset.push_back(i);
        }
        if (subset.size() < 2 || !seen.insert(subset).second)
            continue;
        isoforms.push_back(subset);
    }
    return isoforms;
}

// The isoform of the gene's exons named by subset; fragments follow abundance x length.
void addTranscript(const std::vector<Exon>& exons, const std::vector<size_t>& subset, double abundance, SimGene& gene,
                   uint64_t& transcriptNumber, Model& model)
{
    Transcript tr;
    tr.id = "SIMT" + zeroPadded(++transcriptNumber, 6);
    tr.gene = model.genes.size();
    for (size_t i : subset) {
        tr.exons.push_back(exons[i]);
        tr.length += exonLength(exons[i]);
    }
    tr.weight = abundance * tr.length;
    gene.transcripts.push_back(model.transcripts.size());
    model.transcripts.push_back(std::move(tr));
}

// 3 to 8 exons and 2 to 4 isoforms, log-normal abundance.
void addSimpleGene(Random& rng, SimGene& gene, int32_t position, uint64_t& transcriptNumber, Model& model)
{
    const auto nrExons = static_cast<size_t>(rng.range(3, 8));
    std::vector<Exon> exons;
    int32_t cursor = position;
    for (size_t e = 0; e < nrExons; ++e) {
        if (e > 0)  // introns between 100 and 5000 bases, log-uniform
            cursor += static_cast<int32_t>(std::lround(100.0 * std::pow(50.0, rng.uniform())));
        const auto len = static_cast<int32_t>(rng.range(80, 500));
        exons.push_back({cursor, cursor + len - 1});
        cursor += len;
    }
    gene.start = exons.front().start;
    gene.end = exons.back().end;

    // Log-normal abundance.
    for (const auto& subset : chooseIsoforms(rng, nrExons, static_cast<int>(rng.range(2, 4))))
        addTranscript(exons, subset, std::exp(rng.normal()), gene, transcriptNumber, model);
}

// Exon-intron structure with the shape of a real annotation: 2 to 24 exons, a long
// 3' exon, introns up to tens of kilobases, and a heavy tail of isoforms that skip
// exons or start and end at inner exons. Expression spans orders of magnitude, so a
// few loci gather a large share of the fragments.
// A positive wideIsoforms gives the gene the most exons and asks for that many isoforms.
void addRealisticGene(Random& rng, SimGene& gene, int32_t position, uint64_t& transcriptNumber, Model& model,
                      int wideIsoforms)
{
    auto nrExons = static_cast<size_t>(2 + std::min<int64_t>(22, std::lround(-6.0 * std::log(1.0 - rng.uniform()))));
    if (wideIsoforms > 0)
        nrExons = 24;
    std::vector<Exon> exons;
    int32_t cursor = position;
    for (size_t e = 0; e < nrExons; ++e) {
        if (e > 0)
            cursor += static_cast<int32_t>(std::lround(80.0 * std::pow(250.0, rng.uniform())));
        const bool last = e + 1 == nrExons;
        const auto len = static_cast<int32_t>(last ? rng.range(300, 2500) : rng.range(50, 300));
        exons.push_back({cursor, cursor + len - 1});
        cursor += len;
    }
    gene.start = exons.front().start;
    gene.end = exons.back().end;

    int wanted = 1 + static_cast<int>(std::min(14.0, std::floor(-2.0 * std::log(1.0 - rng.uniform()))));
    if (wideIsoforms > 0)
        wanted = wideIsoforms;
    std::vector<std::vector<size_t>> isoforms = chooseIsoforms(rng, nrExons, wanted);
    // Alternative first and last exons: some isoforms keep only an inner run of exons.
    for (size_t i = 1; i < isoforms.size(); ++i) {
        std::vector<size_t>& subset = isoforms[i];
        if (subset.size() > 3 && rng.uniform() < 0.3)
            subset.erase(subset.begin(), subset.begin() + rng.range(1, static_cast<int64_t>(subset.size()) / 2));
        if (subset.size() > 3 && rng.uniform() < 0.3)
            subset.resize(subset.size() - static_cast<size_t>(rng.range(1, static_cast<int64_t>(subset.size()) / 2)));
    }
    const double geneLevel = std::exp(2.0 * rng.normal());
    std::set<std::vector<size_t>> seen;
    for (const auto& subset : isoforms) {
        if (!seen.insert(subset).second)
            continue;
        addTranscript(exons, subset, geneLevel * std::exp(rng.normal()), gene, transcriptNumber, model);
    }
}

Model buildModel(const Options& opt, Random& rng)
{
    Model model;
    const int nrChrom = opt.chromosomes;
    for (int c = 0; c < nrChrom; ++c)
        model.chromosomeNames.push_back(std::to_string(c + 1));
    model.chromosomeLengths.assign(static_cast<size_t>(nrChrom), 0);

    uint64_t geneNumber = 0;
    uint64_t transcriptNumber = 0;
    for (int c = 0; c < nrChrom; ++c) {
        const uint64_t genesHere =
            opt.genes / static_cast<uint64_t>(nrChrom) + (static_cast<uint64_t>(c) < opt.genes % nrChrom ? 1 : 0);
        int32_t position = static_cast<int32_t>(rng.range(1000, 5000));
        int32_t chromEnd = position;
        for (uint64_t g = 0; g < genesHere; ++g) {
            SimGene gene;
            ++geneNumber;
            gene.id = "SIMG" + zeroPadded(geneNumber, 5);
            gene.name = "Sim" + std::to_string(geneNumber);
            gene.chromosome = c;
            gene.forward = rng.uniform() < 0.5;

            if (opt.realistic)
                addRealisticGene(rng, gene, position, transcriptNumber, model, geneNumber == 1 ? opt.wideGene : 0);
            else
                addSimpleGene(rng, gene, position, transcriptNumber, model);
            chromEnd = std::max(chromEnd, gene.end);
            // With overlapping genes every second gene starts inside the one before it; real
            // annotations overlap less regularly, often a gene on the other strand.
            if (opt.overlapping && g % 2 == 0)
                position = gene.start + (gene.end - gene.start) / 2;
            else if (opt.realistic && rng.uniform() < 0.35)
                position = static_cast<int32_t>(rng.range(gene.start, gene.start + (gene.end - gene.start) * 3 / 4));
            else
                position = chromEnd + static_cast<int32_t>(rng.range(2000, 15000));
            model.genes.push_back(std::move(gene));
        }
        model.chromosomeLengths[static_cast<size_t>(c)] = chromEnd + static_cast<int32_t>(rng.range(1000, 5000));
    }

    static const char kBases[] = {'A', 'C', 'G', 'T'};
    for (int32_t length : model.chromosomeLengths) {
        std::string seq(static_cast<size_t>(length), 'N');
        for (char& b : seq)
            b = kBases[rng.next() >> 62];
        model.sequences.push_back(std::move(seq));
    }
    return model;
}

std::vector<Fragment> sampleFragments(const Options& opt, Model& model, Random& rng)
{
    std::vector<double> cumulative;
    double total = 0.0;
    for (const auto& tr : model.transcripts) {
        total += tr.weight;
        cumulative.push_back(total);
    }
    std::vector<Fragment> fragments;
    fragments.reserve(opt.fragments);
    for (uint64_t i = 0; i < opt.fragments; ++i) {
        const double pick = rng.uniform() * total;
        auto at = std::upper_bound(cumulative.begin(), cumulative.end(), pick);
        const auto t = static_cast<size_t>(std::min<std::ptrdiff_t>(at - cumulative.begin(),
                                                                     static_cast<std::ptrdiff_t>(cumulative.size()) - 1));
        Transcript& tr = model.transcripts[t];
        int64_t length = 0;
        for (int tries = 0; tries < 100 && length < 1; ++tries)
            length = std::lround(opt.fragMean + opt.fragSd * rng.normal());
        if (length < 1)
            length = std::max<int64_t>(1, std::lround(opt.fragMean));
        length = std::min<int64_t>(length, tr.length);
        const int64_t offset = rng.range(0, tr.length - length);
        fragments.push_back({static_cast<uint32_t>(t), static_cast<int32_t>(offset), static_cast<int32_t>(length)});
        ++tr.fragments;
    }
    return fragments;
}

// Multiplies the abundance of every transcript of the genes listed in the
// scale file (gene id, tab, factor per line): the known fold changes of a
// simulated condition.
bool applyScale(const Options& opt, Model& model)
{
    std::ifstream in(opt.scalePath);
    if (!in) {
        std::cerr << "simulate: cannot read " << opt.scalePath << "\n";
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::istringstream fields(line);
        std::string id;
        double factor = 0.0;
        auto gene = model.genes.end();
        if (fields >> id >> factor && factor > 0.0 && std::isfinite(factor))
            gene = std::find_if(model.genes.begin(), model.genes.end(), [&](const SimGene& g) { return g.id == id; });
        if (gene == model.genes.end()) {
            std::cerr << "simulate: " << opt.scalePath << " line " << number
                      << ": expected a simulated gene id and a positive factor\n";
            return false;
        }
        for (size_t t : gene->transcripts)
            model.transcripts[t].weight *= factor;
    }
    return true;
}

// Genomic blocks of the transcript interval [from, to] (0-based transcript
// coordinates in ascending genomic order).
void blocksOf(const Transcript& tr, int32_t from, int32_t to, std::vector<Exon>& blocks)
{
    blocks.clear();
    int32_t exonOffset = 0;
    for (const Exon& e : tr.exons) {
        const int32_t len = exonLength(e);
        const int32_t lo = std::max(from, exonOffset);
        const int32_t hi = std::min(to, exonOffset + len - 1);
        if (lo <= hi)
            blocks.push_back({e.start + (lo - exonOffset), e.start + (hi - exonOffset)});
        exonOffset += len;
        if (exonOffset > to)
            break;
    }
}

struct ReadSpan {
    int32_t from;
    int32_t to;
};

// Transcript intervals of the fragment's reads: index 0 the leftmost, 1 the rightmost.
void readSpans(const Options& opt, const Model& model, const Fragment& f, ReadSpan spans[2])
{
    const int32_t r = std::min(opt.readLength, f.length);
    spans[0] = {f.offset, f.offset + r - 1};
    spans[1] = {f.offset + f.length - r, f.offset + f.length - 1};
    // A single-end read is read 1, at the fragment's 5' end.
    if (opt.singleEnd && !model.genes[model.transcripts[f.transcript].gene].forward)
        spans[0] = spans[1];
}

std::string headerText(const Options& opt, const Model& model)
{
    std::ostringstream h;
    h << "@HD\tVN:1.6\tSO:" << (opt.unsorted ? "unsorted" : "coordinate") << "\n";
    for (size_t c = 0; c < model.chromosomeNames.size(); ++c)
        h << "@SQ\tSN:" << (opt.chrPrefix ? "chr" : "") << model.chromosomeNames[c]
          << "\tLN:" << model.chromosomeLengths[c] << "\n";
    h << "@PG\tID:simulate\tPN:simulate\tVN:1\tCL:" << opt.commandLine << "\n";
    return h.str();
}

struct HtsCloser {
    void operator()(htsFile* f) const
    {
        if (f)
            hts_close(f);
    }
};
struct HeaderFree {
    void operator()(sam_hdr_t* h) const
    {
        if (h)
            sam_hdr_destroy(h);
    }
};
struct RecordFree {
    void operator()(bam1_t* b) const
    {
        if (b)
            bam_destroy1(b);
    }
};

// The reads of the fragments, both mates of each unless single-end, in the order of
// the file: by position unless the file is to be unsorted.
std::vector<ReadRef> readsInFileOrder(const Options& opt, const Model& model, const std::vector<Fragment>& fragments)
{
    std::vector<ReadRef> reads;
    const int mates = opt.singleEnd ? 1 : 2;
    reads.reserve(fragments.size() * static_cast<size_t>(mates));
    std::vector<Exon> blocks;
    for (uint32_t i = 0; i < fragments.size(); ++i) {
        const Fragment& f = fragments[i];
        const Transcript& tr = model.transcripts[f.transcript];
        ReadSpan spans[2];
        readSpans(opt, model, f, spans);
        for (int m = 0; m < mates; ++m) {
            blocksOf(tr, spans[m].from, spans[m].to, blocks);
            reads.push_back({model.genes[tr.gene].chromosome, blocks.front().start - 1, i, static_cast<uint8_t>(m)});
        }
    }
    if (!opt.unsorted) {
        std::sort(reads.begin(), reads.end(), [](const ReadRef& a, const ReadRef& b) {
            if (a.tid != b.tid)
                return a.tid < b.tid;
            if (a.pos != b.pos)
                return a.pos < b.pos;
            if (a.fragment != b.fragment)
                return a.fragment < b.fragment;
            return a.mate < b.mate;
        });
    }
    return reads;
}

// Builds the BAM record of each read, reusing its buffers from one read to the next.
class RecordBuilder {
public:
    RecordBuilder(const Options& opt, const Model& model, const std::vector<Fragment>& fragments)
        : opt(opt), model(model), fragments(fragments)
    {
    }

    bool build(const ReadRef& read, bam1_t* record)
    {
        const Fragment& f = fragments[read.fragment];
        const Transcript& tr = model.transcripts[f.transcript];
        const bool forwardTranscript = model.genes[tr.gene].forward;
        const std::string& chromSeq = model.sequences[static_cast<size_t>(read.tid)];
        ReadSpan spans[2];
        readSpans(opt, model, f, spans);
        blocksOf(tr, spans[read.mate].from, spans[read.mate].to, blocks);

        cigar.clear();
        seq.clear();
        for (size_t b = 0; b < blocks.size(); ++b) {
            if (b > 0)
                cigar.push_back(bam_cigar_gen(blocks[b].start - blocks[b - 1].end - 1, BAM_CREF_SKIP));
            cigar.push_back(bam_cigar_gen(exonLength(blocks[b]), BAM_CMATCH));
            seq.append(chromSeq, static_cast<size_t>(blocks[b].start - 1), static_cast<size_t>(exonLength(blocks[b])));
        }
        qual.assign(seq.size(), static_cast<char>(30));
        name = "r" + std::to_string(read.fragment + 1) + "_" + tr.id;

        uint16_t flag = 0;
        int32_t mtid = -1;
        hts_pos_t mpos = -1;
        hts_pos_t tlen = 0;
        if (opt.singleEnd) {
            if (!forwardTranscript)
                flag |= BAM_FREVERSE;
        } else {
            const bool leftmost = read.mate == 0;
            const bool firstMate = leftmost == forwardTranscript;
            flag = BAM_FPAIRED | BAM_FPROPER_PAIR | (firstMate ? BAM_FREAD1 : BAM_FREAD2);
            flag |= leftmost ? BAM_FMREVERSE : BAM_FREVERSE;
            blocksOf(tr, spans[1 - read.mate].from, spans[1 - read.mate].to, mateBlocks);
            mtid = read.tid;
            mpos = mateBlocks.front().start - 1;
            ReadSpan fragmentSpan{f.offset, f.offset + f.length - 1};
            blocksOf(tr, fragmentSpan.from, fragmentSpan.to, mateBlocks);
            const hts_pos_t span = mateBlocks.back().end - mateBlocks.front().start + 1;
            tlen = leftmost ? span : -span;
        }

        if (bam_set1(record, name.size(), name.c_str(), flag, read.tid, blocks.front().start - 1, 60, cigar.size(),
                     cigar.data(), mtid, mpos, tlen, seq.size(), seq.c_str(), qual.c_str(), 16) < 0) {
            std::cerr << "simulate: cannot build a record for " << name << "\n";
            return false;
        }
        const int32_t hits = 1;
        bam_aux_append(record, "NH", 'i', sizeof(hits), reinterpret_cast<const uint8_t*>(&hits));
        if (blocks.size() > 1) {
            // Spliced aligners mark the transcript strand of spliced reads.
            const char strand = forwardTranscript ? '+' : '-';
            bam_aux_append(record, "XS", 'A', 1, reinterpret_cast<const uint8_t*>(&strand));
        }
        return true;
    }

private:
    const Options& opt;
    const Model& model;
    const std::vector<Fragment>& fragments;
    std::vector<Exon> blocks;
    std::vector<Exon> mateBlocks;
    std::vector<uint32_t> cigar;
    std::string name, seq, qual;
};

bool writeBam(const Options& opt, const Model& model, const std::vector<Fragment>& fragments)
{
    const std::vector<ReadRef> reads = readsInFileOrder(opt, model, fragments);

    std::unique_ptr<sam_hdr_t, HeaderFree> header(sam_hdr_init());
    const std::string text = headerText(opt, model);
    if (!header || sam_hdr_add_lines(header.get(), text.c_str(), text.size()) != 0) {
        std::cerr << "simulate: cannot build the BAM header\n";
        return false;
    }
    std::unique_ptr<htsFile, HtsCloser> out(hts_open(opt.bamPath.c_str(), "wb"));
    if (!out) {
        std::cerr << "simulate: cannot write " << opt.bamPath << "\n";
        return false;
    }
    if (opt.threads > 1)
        hts_set_threads(out.get(), opt.threads);
    if (sam_hdr_write(out.get(), header.get()) < 0) {
        std::cerr << "simulate: cannot write " << opt.bamPath << "\n";
        return false;
    }

    std::unique_ptr<bam1_t, RecordFree> record(bam_init1());
    RecordBuilder builder(opt, model, fragments);
    for (const ReadRef& read : reads) {
        if (!builder.build(read, record.get()))
            return false;
        if (sam_write1(out.get(), header.get(), record.get()) < 0) {
            std::cerr << "simulate: cannot write " << opt.bamPath << "\n";
            return false;
        }
    }
    if (hts_close(out.release()) != 0) {
        std::cerr << "simulate: cannot write " << opt.bamPath << "\n";
        return false;
    }
    const std::string indexPath = opt.bamPath + ".bai";
    if (opt.unsorted) {
        std::remove(indexPath.c_str());  // a stale index would not match the new file
        return true;
    }
    if (sam_index_build(opt.bamPath.c_str(), 0) != 0) {
        std::cerr << "simulate: cannot index " << opt.bamPath << "\n";
        return false;
    }
    return true;
}

bool writeGtf(const Options& opt, const Model& model)
{
    std::ofstream out(opt.gtfPath);
    if (!out) {
        std::cerr << "simulate: cannot write " << opt.gtfPath << "\n";
        return false;
    }
    out << "#!genome-build simulated\n#!generated-by " << opt.commandLine << "\n";
    for (const SimGene& gene : model.genes) {
        const std::string& chrom = model.chromosomeNames[static_cast<size_t>(gene.chromosome)];
        const char strand = gene.forward ? '+' : '-';
        const std::string prefix = chrom + "\tsimulate\t";
        out << prefix << "gene\t" << gene.start << '\t' << gene.end << "\t.\t" << strand << "\t.\tgene_id \""
            << gene.id << "\"; gene_name \"" << gene.name << "\"; gene_biotype \"protein_coding\";\n";
        for (size_t t : gene.transcripts) {
            const Transcript& tr = model.transcripts[t];
            const std::string ids = "gene_id \"" + gene.id + "\"; transcript_id \"" + tr.id + "\";";
            out << prefix << "transcript\t" << tr.exons.front().start << '\t' << tr.exons.back().end << "\t.\t"
                << strand << "\t.\t" << ids << " gene_name \"" << gene.name
                << "\"; transcript_biotype \"protein_coding\";\n";
            // Exons in transcript order, numbered from the 5' end.
            const size_t n = tr.exons.size();
            for (size_t k = 0; k < n; ++k) {
                const Exon& e = tr.exons[gene.forward ? k : n - 1 - k];
                out << prefix << "exon\t" << e.start << '\t' << e.end << "\t.\t" << strand << "\t.\t" << ids
                    << " exon_number \"" << k + 1 << "\"; gene_name \"" << gene.name << "\";\n";
            }
        }
    }
    out.close();
    if (out.fail()) {
        std::cerr << "simulate: cannot write " << opt.gtfPath << "\n";
        return false;
    }
    return true;
}

bool writeTruth(const Options& opt, const Model& model)
{
    std::ofstream out(opt.truthPath);
    if (!out) {
        std::cerr << "simulate: cannot write " << opt.truthPath << "\n";
        return false;
    }
    out << "transcript_id\tgene_id\tlength\tfragments\n";
    for (const SimGene& gene : model.genes) {
        for (size_t t : gene.transcripts) {
            const Transcript& tr = model.transcripts[t];
            out << tr.id << '\t' << gene.id << '\t' << tr.length << '\t' << tr.fragments << '\n';
        }
    }
    out.close();
    if (out.fail()) {
        std::cerr << "simulate: cannot write " << opt.truthPath << "\n";
        return false;
    }
    return true;
}

// 0: run, 1: error, 2: help or version printed.
int parseOptions(int argc, char** argv, Options& opt)
{
    po::options_description desc("Usage: simulate [options]\nOptions");
    desc.add_options()
        ("help,h", "print this help")
        ("version", "print the version")
        ("genes", po::value<uint64_t>(&opt.genes)->default_value(opt.genes), "number of genes")
        ("fragments", po::value<uint64_t>(&opt.fragments)->default_value(opt.fragments), "number of fragments")
        ("seed", po::value<uint64_t>(&opt.seed)->default_value(opt.seed), "random seed")
        ("sample-seed", po::value<uint64_t>(&opt.sampleSeed),
         "draw the fragments with this seed; the annotation still comes from --seed (replicates)")
        ("scale", po::value<std::string>(&opt.scalePath),
         "file of lines 'gene_id<TAB>factor': multiplies the abundance of those genes' transcripts")
        ("single-end", po::bool_switch(&opt.singleEnd), "one read per fragment")
        ("unsorted", po::bool_switch(&opt.unsorted), "keep the BAM in fragment order, without an index")
        ("read-length", po::value<int>(&opt.readLength)->default_value(opt.readLength), "read length")
        ("chromosomes", po::value<int>(&opt.chromosomes)->default_value(opt.chromosomes), "number of chromosomes")
        ("chr-prefix", po::bool_switch(&opt.chrPrefix), "name the BAM references chr1, chr2, ... (the GTF keeps 1, 2, ...)")
        ("overlapping", po::bool_switch(&opt.overlapping), "let every second gene start inside the gene before it")
        ("realistic", po::bool_switch(&opt.realistic),
         "genes shaped like a real annotation: many exons and isoforms, loci that overlap, skewed expression")
        ("wide-gene", po::value<int>(&opt.wideGene)->default_value(opt.wideGene),
         "with --realistic: give the first gene 24 exons and about this many isoforms (2 to 40; 0: no such gene)")
        ("frag-mean", po::value<double>(&opt.fragMean)->default_value(opt.fragMean), "mean fragment length")
        ("frag-sd", po::value<double>(&opt.fragSd)->default_value(opt.fragSd), "standard deviation of fragment lengths")
        ("threads", po::value<int>(&opt.threads)->default_value(opt.threads), "compression threads for the BAM")
        ("out-prefix", po::value<std::string>(&opt.outPrefix)->default_value(opt.outPrefix),
         "writes PREFIX.gtf, PREFIX.bam and PREFIX.truth.tsv")
        ("gtf", po::value<std::string>(&opt.gtfPath), "GTF path (overrides the prefix)")
        ("bam", po::value<std::string>(&opt.bamPath), "BAM path (overrides the prefix)")
        ("truth", po::value<std::string>(&opt.truthPath), "truth table path (overrides the prefix)");
    po::variables_map vm;
    try {
        po::store(po::parse_command_line(argc, argv, desc), vm);
        po::notify(vm);
    } catch (const po::error& e) {
        std::cerr << "simulate: " << e.what() << "\n";
        return 1;
    }
    opt.hasSampleSeed = vm.count("sample-seed") > 0;
    if (vm.count("help")) {
        std::cout << desc << "\n";
        return 2;
    }
    if (vm.count("version")) {
        std::cout << "simulate " << KESTROVE_VERSION << "\n";
        return 2;
    }
    if (opt.genes < 1 || opt.fragments < 1 || opt.chromosomes < 1 || opt.readLength < 1 ||
        opt.readLength > 100000 || opt.fragMean < 1.0 || opt.fragSd < 0.0 || opt.threads < 1) {
        std::cerr << "simulate: genes, fragments, chromosomes, read-length, frag-mean and threads must be "
                     "positive and frag-sd not negative\n";
        return 1;
    }
    if (opt.wideGene != 0 && (!opt.realistic || opt.wideGene < 2 || opt.wideGene > 40)) {
        std::cerr << "simulate: --wide-gene takes 2 to 40 isoforms and needs --realistic\n";
        return 1;
    }
    if (opt.fragments > UINT32_MAX - 1) {
        std::cerr << "simulate: at most " << UINT32_MAX - 1 << " fragments\n";
        return 1;
    }
    if (opt.gtfPath.empty())
        opt.gtfPath = opt.outPrefix + ".gtf";
    if (opt.bamPath.empty())
        opt.bamPath = opt.outPrefix + ".bam";
    if (opt.truthPath.empty())
        opt.truthPath = opt.outPrefix + ".truth.tsv";
    // The program's own name without its directory, so outputs do not depend on the build location.
    opt.commandLine = "simulate";
    for (int i = 1; i < argc; ++i)
        opt.commandLine += " " + std::string(argv[i]);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options opt;
    const int parsed = parseOptions(argc, argv, opt);
    if (parsed != 0)
        return parsed == 2 ? 0 : 1;

    Random rng(opt.seed);
    Model model = buildModel(opt, rng);
    if (!opt.scalePath.empty() && !applyScale(opt, model))
        return 1;
    if (opt.hasSampleSeed)
        rng = Random(opt.sampleSeed);
    const std::vector<Fragment> fragments = sampleFragments(opt, model, rng);
    if (!writeGtf(opt, model) || !writeTruth(opt, model) || !writeBam(opt, model, fragments))
        return 1;
    return 0;
}
