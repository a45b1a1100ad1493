// The BAM of the fragments' true alignments.

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>

#include <htslib/hts.h>
#include <htslib/sam.h>

#include "Simulation.h"

namespace simulation {

namespace {

struct ReadRef {
    int32_t tid;
    int32_t pos;  // 0-based leftmost position
    uint32_t fragment;
    uint8_t mate;  // 0 the leftmost read of the fragment, 1 the rightmost
};

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

} // namespace

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

} // namespace simulation
