#pragma once

// The bodies of the fuzz targets, shared by the libFuzzer entry points in this
// directory and by the regression test that replays the inputs they found.
// Each target turns arbitrary bytes into an input of one reader, runs it, and
// checks what must hold whatever the input: it returns an empty string when
// every check passes and otherwise says which one failed. Crashes, hangs and
// sanitizer reports are caught by the fuzzer itself.

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <htslib/sam.h>

#include "Annotations.h"
#include "BamIO.h"
#include "ClusteringData.h"
#include "Compatibility.h"
#include "KestroveException.h"
#include "ProgramParameters.h"
#include "cluster.h"
#include "data.h"

namespace fuzzing {

// Reads the fuzzer's bytes as small numbers; past the end every value is 0, so
// any input is a valid description.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
    int32_t i32() { return static_cast<int32_t>(u32()); }

    std::string_view rest()
    {
        std::string_view text(reinterpret_cast<const char*>(data_) + pos_, size_ - pos_);
        pos_ = size_;
        return text;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// One scratch directory per process, removed at exit.
inline const std::string& scratchDir()
{
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/kestrove-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            std::abort();
        static const std::string removeAtExit = pattern;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(removeAtExit, ignored);
        });
        return pattern;
    }();
    return dir;
}

inline void writeFile(const std::string& path, std::string_view text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

inline std::string failure(const std::string& what) { return what.empty() ? "unnamed check failed" : what; }

// ---------------------------------------------------------------------------
// GTF reader. The first byte picks the options (bit 0 merge-annot, bit 1 a
// genes list, bit 2 exclude-genes); with a genes list the next line holds its
// ids separated by spaces; the rest is the GTF file.

inline std::string gtfTarget(const uint8_t* data, size_t size)
{
    ByteReader in(data, size);
    const uint8_t options = in.byte();
    t_configuration conf;
    conf.mergeAnnot = (options & 1) != 0;
    conf.processAllGenes = (options & 2) == 0;
    conf.excludeGenes = (options & 4) != 0;

    std::string_view text = in.rest();
    std::map<std::string, std::string> genesList;
    if (!conf.processAllGenes) {
        const size_t newline = text.find('\n');
        std::string_view ids = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        while (!ids.empty()) {
            const size_t space = ids.find(' ');
            const std::string id(ids.substr(0, space));
            genesList.emplace(id, id);
            ids = space == std::string_view::npos ? std::string_view() : ids.substr(space + 1);
        }
    }

    const std::string path = scratchDir() + "/annotation.gtf";
    writeFile(path, text);
    Annotations annotations;
    try {
        annotations.parseGTF(path.c_str(), genesList, conf);
    } catch (const KestroveException& e) {
        // A damaged compressed file is reported as unreadable; nothing else may escape.
        return e.code == ERR_GTF_OPEN ? std::string() : failure(std::string("unexpected exception ") + e.what());
    }

    const GeneMap& unmerged = conf.mergeAnnot ? annotations.genesUnmerged : annotations.genes;
    for (const auto& [id, gene] : unmerged) {
        if (id != gene.geneId)
            return failure("gene stored under key " + id + " has id " + gene.geneId);
        if (gene.transcripts.empty())
            return failure("gene " + id + " has no transcript");
        for (const t_transcript& t : gene.transcripts) {
            if (t.exons.empty())
                return failure("transcript " + t.transcriptId + " has no exon");
            if (t.transcriptId.empty())
                return failure("gene " + id + " has a transcript without id");
        }
        if (!conf.processAllGenes && (genesList.count(id) > 0) == conf.excludeGenes)
            return failure("gene " + id + " passed the genes filter the wrong way");
    }
    if (!conf.mergeAnnot)
        return {};

    // Two genes may share a transcript id; merging them joins the two
    // transcripts into one, so only the set of ids is kept.
    std::set<std::string> idsBefore;
    std::set<std::string> idsAfter;
    for (const auto& entry : annotations.genesUnmerged)
        for (const t_transcript& t : entry.second.transcripts)
            idsBefore.insert(t.transcriptId);
    for (const auto& entry : annotations.genes)
        for (const t_transcript& t : entry.second.transcripts)
            idsAfter.insert(t.transcriptId);
    if (idsBefore != idsAfter)
        return failure("merging lost or invented transcripts");
    for (const auto& [transcript, geneId] : annotations.transToGene)
        if (annotations.genes.count(geneId) == 0)
            return failure("transcript " + transcript + " maps to gene " + geneId + ", which the merge removed");

    // Carrying estimates back to the unmerged genes, as the end of a run does.
    uint64_t frags = 7;
    for (auto& [id, gene] : annotations.genes) {
        const size_t n = gene.transcripts.size();
        gene.alphas.assign(n, n > 0 ? 1.0 / static_cast<double>(n) : 0.0);
        gene.fragsLocus = frags;
        gene.compFragsLocus = frags / 2;
        frags = frags * 3 % 1000;
    }
    annotations.mergeAnnotations();
    for (const auto& [id, gene] : annotations.genes) {
        if (gene.alphas.size() != gene.transcripts.size())
            return failure("gene " + id + " has " + std::to_string(gene.alphas.size()) + " alphas for "
                           + std::to_string(gene.transcripts.size()) + " transcripts after merging back");
        for (double alpha : gene.alphas)
            if (!std::isfinite(alpha) || alpha < 0.0)
                return failure("gene " + id + " has an alpha that is not a non-negative number");
    }
    return {};
}

// ---------------------------------------------------------------------------
// Fragment extraction and compatibility: a small gene and up to 16 BAM
// records, all fields fuzzed, delivered in coordinate order as a region query
// delivers them.

struct BamRecordOwner {
    void operator()(bam1_t* record) const { bam_destroy1(record); }
};

inline std::string fragmentsTarget(const uint8_t* data, size_t size)
{
    ByteReader in(data, size);
    t_configuration conf;
    conf.strandedness = in.byte() % 3;

    // Narrow genes look like real ones (ascending, disjoint exons near the
    // start of a reference); wide ones take any 32-bit coordinates.
    const bool wide = (in.byte() & 7) == 0;
    Gene gene;
    gene.geneId = "G";
    gene.chromosome = "chr1";
    const int nrTranscripts = 1 + in.byte() % 3;
    for (int t = 0; t < nrTranscripts; ++t) {
        const bool forward = (in.byte() & 1) != 0;
        const int nrExons = 1 + in.byte() % 4;
        int64_t cursor = 1 + in.u16() % 1000;
        for (int e = 0; e < nrExons; ++e) {
            t_exon exon;
            if (wide) {
                exon.start = in.i32();
                exon.end = in.i32();
            } else {
                exon.start = static_cast<int32_t>(cursor + in.byte());
                exon.end = static_cast<int32_t>(exon.start + in.byte());
                cursor = exon.end + 2;
            }
            gene.addExon("T" + std::to_string(t), exon, forward);
        }
    }
    const size_t nT = gene.transcripts.size();
    GeneMap genes;
    genes.emplace(gene.geneId, gene);
    auto geneIt = genes.begin();

    static const char* const kNames[] = {"r", "s", "r-2", "r-2-2", "r-3", "t"};
    struct FuzzedRecord {
        std::unique_ptr<bam1_t, BamRecordOwner> record;
        int32_t tid;
        int64_t pos;
    };
    std::vector<FuzzedRecord> records;
    std::vector<int64_t> positions;
    const int nrRecords = in.byte() % 17;
    for (int r = 0; r < nrRecords; ++r) {
        const char* name = kNames[in.byte() % 6];
        const uint16_t flag = in.u16();
        const int32_t tid = (in.byte() & 3) == 0 ? -1 : 0;
        const uint8_t posKind = in.byte();
        int64_t pos = posKind < 200 ? in.u16() % 2500 : in.i32();
        if (pos < -1)
            pos = -1;
        int64_t mpos;
        const uint8_t mateKind = in.byte();
        if (mateKind < 128 && !positions.empty())
            mpos = positions[mateKind % positions.size()];
        else
            mpos = mateKind < 200 ? in.u16() % 2500 : in.i32();
        if (mpos < -1)
            mpos = -1;
        const size_t nrOps = in.byte() % 8;
        std::vector<uint32_t> cigar(nrOps);
        for (uint32_t& op : cigar) {
            const uint32_t code = in.byte() % 16;
            const uint32_t length = (in.byte() & 15) == 0 ? in.u32() & 0x0FFFFFFF : in.byte();
            op = length << BAM_CIGAR_SHIFT | code;
        }
        std::unique_ptr<bam1_t, BamRecordOwner> record(bam_init1());
        if (!record)
            return failure("out of memory");
        if (bam_set1(record.get(), std::strlen(name), name, flag, tid, pos, 60, nrOps, cigar.data(), tid, mpos, 0,
                     0, nullptr, nullptr, 0)
            < 0)
            continue;
        positions.push_back(pos);
        records.push_back({std::move(record), tid, pos});
    }
    std::stable_sort(records.begin(), records.end(), [](const FuzzedRecord& a, const FuzzedRecord& b) {
        return static_cast<uint32_t>(a.tid) != static_cast<uint32_t>(b.tid)
            ? static_cast<uint32_t>(a.tid) < static_cast<uint32_t>(b.tid)
            : a.pos < b.pos;
    });

    LocusFragments locus;
    for (const FuzzedRecord& fuzzed : records)
        if (fetch_func(fuzzed.record.get(), &locus) != 0)
            return failure("fetch_func asked to stop the query");
    FragmentMap fragments;
    appendTo(locus, fragments);

    for (const auto& [key, reads] : fragments) {
        if (reads.empty() || reads.size() > 2)
            return failure("fragment " + key + " holds " + std::to_string(reads.size()) + " reads");
        for (const t_read& read : reads) {
            if (read.blocks.empty())
                return failure("read " + read.name + " has no aligned block");
            for (size_t b = 1; b < read.blocks.size(); ++b)
                if (read.blocks[b].start <= read.blocks[b - 1].end)
                    return failure("read " + read.name + " has blocks out of order");
            if (read.length < 0)
                return failure("read " + read.name + " has a negative aligned length");
        }
    }

    Kestrove compatibility;
    compatibility.checkFragmentsValidity(geneIt, fragments, conf);
    const Gene& g = geneIt->second;
    if (g.validities.size() != fragments.size())
        return failure(std::to_string(g.validities.size()) + " validity rows for " + std::to_string(fragments.size())
                       + " fragments");
    std::vector<double> column(nT, 0.0);
    for (const std::vector<bool>& row : g.validities) {
        if (row.size() != nT)
            return failure("validity row of the wrong width");
        if (std::none_of(row.begin(), row.end(), [](bool v) { return v; }))
            return failure("a fragment compatible with no transcript was kept");
        for (size_t t = 0; t < nT; ++t)
            column[t] += row[t] ? 1.0 : 0.0;
    }
    if (g.compFragsTrans != column)
        return failure("per-transcript compatible counts disagree with the validity matrix");

    compatibility.convertCoords(geneIt, fragments);
    // Transcript coordinates can only be checked against a well-formed gene.
    const bool wellFormed = !wide
        && std::all_of(g.transcripts.begin(), g.transcripts.end(), [](const t_transcript& t) {
               for (size_t e = 1; e < t.exons.size(); ++e)
                   if (t.exons[e].start <= t.exons[e - 1].end)
                       return false;
               return t.length > 0;
           });
    size_t r = 0;
    for (const auto& [key, reads] : fragments) {
        const t_read& first = reads.front();
        if (first.transStarts.size() != nT || first.transEnds.size() != nT || first.fragLengths.size() != nT)
            return failure("fragment " + key + " does not have one coordinate per transcript");
        const bool paired = first.paired && reads.size() >= 2;
        for (size_t t = 0; t < nT && wellFormed; ++t) {
            const int32_t length = g.transcripts[t].length;
            const int32_t s = first.transStarts[t];
            const int32_t e = first.transEnds[t];
            const int32_t l = first.fragLengths[t];
            if (!g.validities[r][t]) {
                if (s != 0 || e != 0 || l != 0)
                    return failure("fragment " + key + " has coordinates on an incompatible transcript");
                continue;
            }
            if (s < 1 || s > length)
                return failure("fragment " + key + " starts at " + std::to_string(s) + " on a transcript of length "
                               + std::to_string(length));
            if (!first.paired && (e != 0 || l != 0))
                return failure("single read " + key + " has a fragment length");
            if (paired && e != 0 && (e > length || l != e - s + 1))
                return failure("fragment " + key + " has end " + std::to_string(e) + " and length "
                               + std::to_string(l) + " for start " + std::to_string(s));
        }
        ++r;
    }
    return {};
}

// ---------------------------------------------------------------------------
// Clustering. An odd first byte: the rest is a transcript summary for
// buildClusteringData, whose table is then loaded back. An even first byte:
// the rest is a table for Load, followed by the clustering of its rows.

// Profiles cost length x components density evaluations by design; inputs
// above this budget would only slow the fuzzer down, not reach new code.
constexpr double kProfileWorkBudget = 2e7;

inline double profileWork(std::string_view summary)
{
    double work = 0.0;
    size_t lineStart = summary.find('\n');
    while (lineStart != std::string_view::npos) {
        const size_t lineEnd = summary.find('\n', lineStart + 1);
        std::string_view line = summary.substr(lineStart + 1, lineEnd == std::string_view::npos
                                                                  ? std::string_view::npos
                                                                  : lineEnd - lineStart - 1);
        size_t fields = 1;
        size_t field = 0;
        double length = 0.0;
        std::string lengthText;
        for (char c : line) {
            if (c == '\t') {
                ++fields;
                ++field;
            } else if (field == 4) {
                lengthText.push_back(c);
            }
        }
        length = std::strtod(lengthText.c_str(), nullptr);
        if (!(length >= 0.0))
            length = 0.0;
        work += length * static_cast<double>(std::max<size_t>(fields, 14) - 13);
        lineStart = lineEnd;
    }
    return work;
}

inline std::string checkLoadedStore()
{
    const size_t rows = static_cast<size_t>(GetRows());
    const size_t columns = static_cast<size_t>(GetColumns());
    if (GetData().size() != rows * columns || GetMask().size() != rows * columns)
        return failure("table store holds " + std::to_string(GetData().size()) + " values for "
                       + std::to_string(rows) + " x " + std::to_string(columns));
    if (GetRowIds().size() != rows || GetColumnWeights().size() != columns)
        return failure("table store ids or weights do not match its shape");
    return {};
}

inline bool sameTree(const std::vector<Node>& a, const std::vector<Node>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].left != b[i].left || a[i].right != b[i].right
            || std::memcmp(&a[i].distance, &b[i].distance, sizeof(double)) != 0)
            return false;
    return true;
}

inline std::string clusterTable(int32_t nclusters)
{
    const int32_t rows = GetRows();
    // The distance matrix is quadratic in the rows by design; the fuzzer's
    // inputs are kept below sizes where that alone would exhaust its memory.
    if (rows < 2 || rows > 3000)
        return {};
    std::optional<std::vector<double>> distances = distancematrix(
        rows, GetColumns(), GetData().data(), GetMask().data(), GetColumnWeights().data(), 'b');
    if (!distances)
        return failure("no distance matrix for " + std::to_string(rows) + " rows");
    for (double d : *distances)
        if (std::isnan(d) || d < 0.0)
            return failure("a distance is negative or not a number");
    std::vector<double> scanned = *distances;
    const std::vector<Node> tree = averageLinkage(rows, *distances, false);
    if (tree.size() != static_cast<size_t>(rows - 1))
        return failure("tree of the wrong size");
    if (rows <= 300 && !sameTree(tree, averageLinkageByScan(rows, scanned, false)))
        return failure("nearest-neighbour linkage and the full scan built different trees");
    const int32_t k = std::min(nclusters, rows);
    const std::vector<int32_t> clusters = cuttree(rows, tree, k);
    if (clusters.size() != static_cast<size_t>(rows))
        return failure("cuttree gave no cluster to some rows");
    std::vector<bool> used(static_cast<size_t>(k), false);
    for (int32_t c : clusters) {
        if (c < 0 || c >= k)
            return failure("cluster number " + std::to_string(c) + " outside 0.." + std::to_string(k - 1));
        used[static_cast<size_t>(c)] = true;
    }
    if (std::find(used.begin(), used.end(), false) != used.end())
        return failure("cuttree left a cluster number unused");
    return {};
}

inline std::string clusteringTarget(const uint8_t* data, size_t size)
{
    ByteReader in(data, size);
    const uint8_t mode = in.byte();
    const int32_t nclusters = 1 + in.byte() % 8;

    if ((mode & 1) == 0) {
        std::string_view table = in.rest();
        std::string copy(table);
        std::FILE* file = copy.empty() ? std::fopen("/dev/null", "r") : fmemopen(copy.data(), copy.size(), "r");
        if (!file)
            return failure("cannot open the table in memory");
        const std::optional<std::string> result = Load(file);
        std::fclose(file);
        std::string problem;
        if (result && *result == "ok") {
            problem = checkLoadedStore();
            if (problem.empty())
                problem = clusterTable(nclusters);
        } else if (GetRows() != 0 || GetColumns() != 0) {
            problem = "a failed load left rows in the store";
        }
        Free();
        return problem;
    }

    t_configuration conf;
    conf.minTransLen = in.byte();
    conf.minTransFrags = in.byte() % 8;
    const std::string_view summary = in.rest();
    if (profileWork(summary) > kProfileWorkBudget)
        return {};
    conf.resultsDir = scratchDir() + "/results";
    std::error_code ignored;
    std::filesystem::remove_all(conf.resultsDir, ignored);
    std::filesystem::create_directories(conf.resultsDir);
    writeFile(conf.resultsDir + "/transcripts_summary_fuzz.dat", summary);

    if (buildClusteringData(conf))
        return std::filesystem::exists(conf.resultsDir + "/norm_pdfs")
            ? failure("a refused summary still wrote norm_pdfs")
            : std::string();

    std::FILE* file = std::fopen((conf.resultsDir + "/norm_pdfs").c_str(), "r");
    if (!file)
        return failure("norm_pdfs was not written");
    const std::optional<std::string> result = Load(file);
    std::fclose(file);
    std::string problem;
    if (!result || *result != "ok") {
        problem = "norm_pdfs does not load back: " + (result ? *result : std::string("out of memory"));
    } else if (GetColumns() != 100) {
        problem = "norm_pdfs has " + std::to_string(GetColumns()) + " data columns";
    } else {
        for (size_t i = 0; i < GetData().size() && problem.empty(); ++i)
            if (!GetMask()[i] || !(GetData()[i] >= 0.0) || !(GetData()[i] <= 1.0))
                problem = "norm_pdfs holds a bin value outside [0, 1]";
        if (problem.empty())
            problem = clusterTable(nclusters);
    }
    Free();
    return problem;
}

} // namespace fuzzing
