// Reading the samples' summaries: each checked against the first sample's rows, its
// totals gathered and its values set aside.

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "Merge.h"
#include "kestrove.h"

namespace merging {

namespace {

const char* const kTranscriptHeader =
    "tracking_ID\tgene_ID\tgene_name\tlocus\tlength\tfragment_validity_coverage\tabundance\t"
    "frags_locus\tfrags_expt\tFPKM_THN\tcomp_frags_locus\tcomp_frags_expt\tFPKM_CHN";
const char* const kGeneHeader =
    "gene_ID\tgene_name\tlocus\tfrags_locus\tfrags_expt\tFPKM_THN\tcomp_frags_locus\t"
    "comp_frags_expt\tFPKM_CHN\tstatus";
constexpr size_t kTranscriptFields = 13;
constexpr size_t kGeneFields = 10;

// Transcript summary columns.
enum { kTrackingId = 0, kTGeneId = 1, kLength = 4, kAbundance = 6, kTFragsExpt = 8, kTFpkmThn = 9,
       kTCompFragsLocus = 10, kTCompFragsExpt = 11, kTFpkmChn = 12 };
// Gene summary columns.
enum { kGeneId = 0, kGeneName = 1, kLocus = 2, kGFragsLocus = 3, kGFragsExpt = 4, kGFpkmThn = 5,
       kGCompFragsLocus = 6, kGCompFragsExpt = 7, kGFpkmChn = 8, kStatus = 9 };

// Reads one summary, held in memory, row by row, refusing anything a finished
// run cannot have written: another header, a short row, a last line without its
// line end.
class SummaryReader {
public:
    SummaryReader(const fs::path& path, std::string_view content, bool transcripts)
        : path(path), content(content), transcripts(transcripts)
    {
        const size_t end = content.find('\n');
        if (content.empty())
            throw MergeError("cannot read " + path.string() + " (empty)");
        if (content.substr(0, end) != (transcripts ? kTranscriptHeader : kGeneHeader))
            throw MergeError(path.string() + ": not a finished " + (transcripts ? "transcript" : "gene") +
                             " summary (unexpected header)");
        at = end == std::string_view::npos ? content.size() : end + 1;
    }

    // False after the last row.
    bool next()
    {
        if (at >= content.size())
            return false;
        ++row;
        const size_t end = content.find('\n', at);
        if (end == std::string_view::npos)
            throw MergeError(where() + " is truncated (no line end)");
        const std::string_view text = content.substr(at, end - at);
        at = end + 1;
        fields.clear();
        for (size_t start = 0;;) {
            const size_t tab = text.find('\t', start);
            fields.push_back(text.substr(start, tab - start));
            if (tab == std::string_view::npos)
                break;
            start = tab + 1;
        }
        // Builds that keep the mixture parameters append them after the thirteen columns.
        if (transcripts ? fields.size() < kTranscriptFields : fields.size() != kGeneFields)
            throw MergeError(where() + " has " + std::to_string(fields.size()) + " fields, expected " +
                             std::to_string(transcripts ? kTranscriptFields : kGeneFields));
        if (transcripts) {
            for (int column : {kLength, kAbundance, kTFragsExpt, kTFpkmThn, kTCompFragsLocus, kTCompFragsExpt,
                               kTFpkmChn})
                value(column);
            key.assign(fields[kTrackingId]).append(1, '\t').append(fields[kTGeneId]);
            key.append(1, '\t').append(fields[kLength]);
        } else {
            for (int column : {kGFragsLocus, kGFragsExpt, kGFpkmThn, kGCompFragsLocus, kGCompFragsExpt, kGFpkmChn})
                value(column);
            if (fields[kStatus] != "OK" && fields[kStatus] != "FAIL")
                throw MergeError(where() + ": status '" + std::string(fields[kStatus]) + "' is neither OK nor FAIL");
            key.assign(fields[kGeneId]);
        }
        return true;
    }

    double value(size_t column) const
    {
        double v = 0.0;
        if (!parseNumber(fields[column], v))
            throw MergeError(where() + ": '" + std::string(fields[column]) + "' is not a number");
        return v;
    }

    // The columns that identify the row; every sample must agree on them.
    const std::string& rowKey() const { return key; }

    std::string where() const { return path.string() + " row " + std::to_string(row); }
    std::string_view operator[](size_t i) const { return fields[i]; }
    size_t rows() const { return row; }

private:
    fs::path path;
    std::string_view content;
    bool transcripts;
    size_t at = 0;
    std::vector<std::string_view> fields;
    std::string key;
    size_t row = 0;
};

std::string shown(std::string key)
{
    for (char& c : key)
        if (c == '\t')
            c = ' ';
    return key;
}

void checkRow(const Reference& ref, const std::vector<std::string>& keys, const Sample& s, const SummaryReader& r,
              bool transcripts)
{
    const size_t i = r.rows() - 1;
    const char* kind = transcripts ? "transcript" : "gene";
    if (i >= keys.size())
        throw MergeError("sample " + s.name + " has more " + kind + " rows than sample " + ref.sample + " (" +
                         std::to_string(keys.size()) + "): " + r.where() + "; every result must come from the "
                         "same annotation");
    const std::string& key = r.rowKey();
    if (key != keys[i])
        throw MergeError("sample " + s.name + " differs from sample " + ref.sample + " at " + r.where() + ": '" +
                         shown(key) + "' where " + ref.sample + " has '" + shown(keys[i]) +
                         "'; every result must come from the same annotation");
}

void checkRowCount(const Reference& ref, const std::vector<std::string>& keys, const Sample& s,
                   const SummaryReader& r, bool transcripts)
{
    if (r.rows() != keys.size())
        throw MergeError("sample " + s.name + " has " + std::to_string(r.rows()) +
                         (transcripts ? " transcript" : " gene") + " rows where sample " + ref.sample + " has " +
                         std::to_string(keys.size()) +
                         " (first missing: row " + std::to_string(r.rows() + 1) + " of " +
                         (transcripts ? s.transcripts : s.genes).string() +
                         "); every result must come from the same annotation");
}

} // namespace

bool parseNumber(std::string_view field, double& value)
{
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    return !field.empty() && error == std::errc() && end == field.data() + field.size();
}

std::string wholeFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.is_open() || in.bad())
        throw MergeError("cannot read " + path.string());
    return content;
}

std::string fixed(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.5f", value);
    return text;
}

fs::path scratchPath(const fs::path& folder, size_t sample)
{
    return folder / (".sample." + std::to_string(sample));
}

void scanSample(Sample& s, std::string_view transcripts, std::string_view genes, Reference& ref, bool first,
                const fs::path& scratch)
{
    std::ofstream out(scratch, std::ios::out | std::ios::trunc);
    SummaryReader t(s.transcripts, transcripts, true);
    while (t.next()) {
        if (first)
            ref.transcriptKeys.push_back(t.rowKey());
        else
            checkRow(ref, ref.transcriptKeys, s, t, true);
        s.fpkmChnSum += t.value(kTFpkmChn);
        if (t.rows() == 1) {
            s.fragsExpt = t[kTFragsExpt];
            s.compFragsExpt = t[kTCompFragsExpt];
        }
        out << t[kTFpkmThn] << '\t' << t[kTFpkmChn] << '\t'
            << fixed(t.value(kAbundance) * t.value(kTCompFragsLocus)) << '\n';
    }
    if (!first)
        checkRowCount(ref, ref.transcriptKeys, s, t, true);

    SummaryReader g(s.genes, genes, false);
    while (g.next()) {
        if (first) {
            ref.geneKeys.push_back(g.rowKey());
            ref.geneNameLocus.push_back(std::string(g[kGeneName]) + '\t' + std::string(g[kLocus]));
        } else {
            checkRow(ref, ref.geneKeys, s, g, false);
        }
        if (g.rows() == 1) {
            s.fragsExpt = g[kGFragsExpt];
            s.compFragsExpt = g[kGCompFragsExpt];
        }
        ++(g[kStatus] == "OK" ? s.genesOk : s.genesFail);
        out << g[kGFpkmThn] << '\t' << g[kGFpkmChn] << '\t' << g[kGCompFragsLocus] << '\t' << g[kStatus] << '\n';
    }
    if (!first)
        checkRowCount(ref, ref.geneKeys, s, g, false);
    int error = 0;
    if (!completeFile(out, scratch.string(), error))
        throw MergeError("cannot write " + scratch.string() + describeErrno(error));
}

} // namespace merging
