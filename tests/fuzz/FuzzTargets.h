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
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <htslib/sam.h>

#include "annotation/Annotations.h"
#include "alignments/BamIO.h"
#include "clustering/ProfileTable.h"
#include "alignments/Compatibility.h"
#include "util/Errors.h"
#include "config/Configuration.h"
#include "clustering/HierarchicalClustering.h"
#include "clustering/TableStore.h"

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
        std::istringstream ids{std::string(text.substr(0, newline))};
        for (std::string id; std::getline(ids, id, ' ');)
            genesList.emplace(id, id);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
    }

    const std::string path = scratchDir() + "/annotation.gtf";
    writeFile(path, text);
    Annotations annotations;
    try {
        annotations.parseGTF(path.c_str(), genesList,
                             {.allGenes = conf.processAllGenes, .excludeListed = conf.excludeGenes,
                              .mergeOverlapping = conf.mergeAnnot});
    } catch (const KestroveException& e) {
        // A damaged compressed file is reported as unreadable; nothing else may escape.
        return e.code == ERR_GTF_OPEN ? std::string() : std::string("unexpected exception ") + e.what();
    }

    const GeneMap& unmerged = conf.mergeAnnot ? annotations.genesUnmerged : annotations.genes;
    for (const auto& [id, gene] : unmerged) {
        if (id != gene.mapKey() || gene.transcripts.empty())
            return "gene stored under key " + id + " has another key or no transcript";
        for (const t_transcript& t : gene.transcripts)
            if (t.exons.empty() || t.transcriptId.empty())
                return "gene " + id + " has a transcript without exon or without id";
        if (!conf.processAllGenes && (genesList.count(gene.geneId) > 0) == conf.excludeGenes)
            return "gene " + id + " passed the genes filter the wrong way";
    }
    if (!conf.mergeAnnot)
        return {};

    // Two genes may share a transcript id; merging joins the two transcripts, so
    // every id keeps a gene, and only genes that survived the merge are named.
    for (const auto& [transcript, geneId] : annotations.transToGene)
        if (annotations.genes.count(geneId) == 0)
            return "transcript " + transcript + " maps to gene " + geneId + ", which the merge removed";

    return {};
}

// ---------------------------------------------------------------------------
// Fragment extraction and compatibility: a small gene and up to 16 BAM
// records, all fields fuzzed, delivered in coordinate order as a region query
// delivers them.

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
        std::unique_ptr<bam1_t, BamRecordFree> record;
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
        const int64_t pos = std::max<int64_t>(-1, posKind < 200 ? in.u16() % 2500 : in.i32());
        const uint8_t mateKind = in.byte();
        const int64_t mpos = mateKind < 128 && !positions.empty()
            ? positions[mateKind % positions.size()]
            : std::max<int64_t>(-1, mateKind < 200 ? in.u16() % 2500 : in.i32());
        const size_t nrOps = in.byte() % 8;
        std::vector<uint32_t> cigar(nrOps);
        for (uint32_t& op : cigar) {
            const uint32_t code = in.byte() % 16;
            const uint32_t length = (in.byte() & 15) == 0 ? in.u32() & 0x0FFFFFFF : in.byte();
            op = length << BAM_CIGAR_SHIFT | code;
        }
        std::unique_ptr<bam1_t, BamRecordFree> record(bam_init1());
        if (!record
            || bam_set1(record.get(), std::strlen(name), name, flag, tid, pos, 60, nrOps, cigar.data(), tid, mpos, 0, 0,
                        nullptr, nullptr, 0) < 0)
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
    FragmentMap fragments;
    FragmentMapBuilder builder(fragments);
    for (const FuzzedRecord& fuzzed : records)
        locus.add(fuzzed.record.get(), builder);

    for (const auto& [key, reads] : fragments) {
        if (reads.empty() || reads.size() > 2)
            return "fragment " + key + " holds " + std::to_string(reads.size()) + " reads";
        for (const t_read& read : reads)
            if (read.blocks.empty() || read.length < 0
                || std::adjacent_find(read.blocks.begin(), read.blocks.end(),
                                      [](const t_exon& a, const t_exon& b) { return b.start <= a.end; })
                    != read.blocks.end())
                return "read " + read.name + " has no aligned block, blocks out of order or a negative length";
    }

    keepCompatibleFragments(geneIt, fragments, conf.strandedness);
    const Gene& g = geneIt->second;
    if (g.validities.size() != fragments.size())
        return "validity rows and fragments differ in number";
    std::vector<double> column(nT, 0.0);
    for (const std::vector<bool>& row : g.validities) {
        if (row.size() != nT || std::none_of(row.begin(), row.end(), [](bool v) { return v; }))
            return "a validity row of the wrong width, or of a fragment compatible with nothing";
        for (size_t t = 0; t < nT; ++t)
            column[t] += row[t] ? 1.0 : 0.0;
    }
    if (g.compFragsTrans != column)
        return "per-transcript compatible counts disagree with the validity matrix";

    placeOnTranscripts(geneIt, fragments);
    // Coordinates on a well-formed gene lie on the transcript; incompatible ones are 0.
    const bool wellFormed = !wide && std::all_of(g.transcripts.begin(), g.transcripts.end(), [](const t_transcript& t) {
        return t.length > 0 && std::is_sorted(t.exons.begin(), t.exons.end(), [](const t_exon& a, const t_exon& b) {
                   return a.start <= b.end;
               });
    });

    // The run's own path tests each fragment as its reads come and keeps no reads: it
    // must select the same fragments, in the same order, at the same coordinates.
    LocusCompatibility selection(gene, conf.strandedness);
    LocusFragments run;
    for (const FuzzedRecord& fuzzed : records)
        run.add(fuzzed.record.get(), selection);
    run.finishAdding(selection);
    CompatibleFragments compatible;
    selection.finish(run, compatible);
    if (compatible.size() != fragments.size() || gene.compFragsTrans != g.compFragsTrans)
        return "the run's compatible fragments or counts differ from the map form's";

    size_t r = 0;
    for (const auto& [key, reads] : fragments) {
        const t_read& first = reads.front();
        if (first.transStarts.size() != nT || first.transEnds.size() != nT || first.fragLengths.size() != nT)
            return "fragment " + key + " does not have one coordinate per transcript";
        for (size_t t = 0; t < nT && wellFormed; ++t)
            if (g.validities[r][t] ? first.transStarts[t] < 1 || first.transStarts[t] > g.transcripts[t].length
                                   : first.transStarts[t] != 0 || first.transEnds[t] != 0 || first.fragLengths[t] != 0)
                return "fragment " + key + " has a coordinate off its transcript";
        uint64_t e = compatible.firstEntry[r];
        for (size_t t = 0; t < nT; ++t) {
            if (!g.validities[r][t])
                continue;
            if (e == compatible.firstEntry[r + 1] || compatible.entryTranscript[e] != t
                || compatible.entryStart[e] != first.transStarts[t] || compatible.entryLength[e] != first.fragLengths[t])
                return "fragment " + key + " has other transcripts or coordinates on the run's path";
            ++e;
        }
        if (e != compatible.firstEntry[r + 1] || compatible.paired[r] != (first.paired ? 1 : 0))
            return "fragment " + key + " has other transcripts or coordinates on the run's path";
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
    std::vector<std::string_view> fields;
    for (size_t at = summary.find('\n'); at != std::string_view::npos; at = summary.find('\n', at + 1)) {
        splitTabs(summary.substr(at + 1, summary.find('\n', at + 1) - at - 1), fields);
        const double length = fields.size() > 4 ? std::strtod(std::string(fields[4]).c_str(), nullptr) : 0.0;
        work += (length >= 0.0 ? length : 0.0) * static_cast<double>(std::max<size_t>(fields.size(), 14) - 13);
    }
    return work;
}

inline std::string clusterTable(const TableStore& table, int32_t nclusters)
{
    const int32_t rows = table.rows();
    // The distance matrix is quadratic in the rows by design; the fuzzer's
    // inputs are kept below sizes where that alone would exhaust its memory.
    if (rows < 2 || rows > 3000)
        return {};
    std::optional<std::vector<double>> distances =
        cityBlockDistances(rows, table.columns(), table.values().data(), table.mask().data(), table.columnWeights().data());
    if (!distances || std::any_of(distances->begin(), distances->end(), [](double d) { return !(d >= 0.0); }))
        return "no distance matrix, or a distance that is negative or not a number";
    std::vector<double> scanned = *distances;
    const std::vector<Node> tree = averageLinkage(rows, *distances, nullptr);
    // The nearest-neighbour linkage must build exactly the tree of the full scan.
    const auto sameNode = [](const Node& x, const Node& y) {
        return x.left == y.left && x.right == y.right && std::memcmp(&x.distance, &y.distance, sizeof(double)) == 0;
    };
    const std::vector<Node> scan = rows <= 300 ? averageLinkageByScan(rows, scanned, nullptr) : tree;
    if (tree.size() != static_cast<size_t>(rows - 1) || !std::equal(tree.begin(), tree.end(), scan.begin(), scan.end(), sameNode))
        return "a tree of the wrong size, or unlike the full scan's";
    const int32_t k = std::min(nclusters, rows);
    const std::vector<int32_t> clusters = cutTree(rows, tree, k);
    std::set<int32_t> numbers(clusters.begin(), clusters.end());
    if (clusters.size() != static_cast<size_t>(rows) || numbers.size() != static_cast<size_t>(k) || *numbers.begin() != 0
        || *numbers.rbegin() != k - 1)
        return "cuttree did not give every row one of the cluster numbers 0 .. k - 1";
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
            return "cannot open the table in memory";
        TableStore store;
        const std::optional<std::string> result = store.load(file);
        std::fclose(file);
        std::string problem;
        const size_t cells = static_cast<size_t>(store.rows()) * static_cast<size_t>(store.columns());
        if (result && *result == "ok")
            problem = store.values().size() != cells || store.mask().size() != cells
                    || store.rowIds().size() != size_t(store.rows())
                ? "table store does not match its shape"
                : clusterTable(store, nclusters);
        else if (store.rows() != 0 || store.columns() != 0)
            problem = "a failed load left rows in the store";
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
            ? "a refused summary still wrote norm_pdfs"
            : std::string();

    std::FILE* file = std::fopen((conf.resultsDir + "/norm_pdfs").c_str(), "r");
    if (!file)
        return "norm_pdfs was not written";
    TableStore store;
    const std::optional<std::string> result = store.load(file);
    std::fclose(file);
    std::string problem;
    const auto outsideUnit = [](double v) { return !(v >= 0.0 && v <= 1.0); };
    if (!result || *result != "ok" || store.columns() != 100)
        problem = "norm_pdfs does not load back as a table of 100 bins";
    else if (std::any_of(store.values().begin(), store.values().end(), outsideUnit)
             || std::count(store.mask().begin(), store.mask().end(), 0))
        problem = "norm_pdfs holds a missing bin or one outside [0, 1]";
    else
        problem = clusterTable(store, nclusters);
    return problem;
}

} // namespace fuzzing
