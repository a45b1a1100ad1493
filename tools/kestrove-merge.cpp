// Merges the summaries of many kestrove runs into one matrix per quantity: a
// row per transcript or gene, a column per sample. The runs must share one
// annotation; anything else is refused before a file is written.
//
// Memory does not grow with the number of samples times the number of rows:
// a first pass checks every sample on its own and keeps only the first
// sample's row keys and each sample's totals; a second pass reads all samples
// in step, one row at a time, and writes the matrices.

#include <array>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "WholeFile.h"

namespace fs = std::filesystem;

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

struct MergeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Sample {
    std::string name;
    std::string directory;
    fs::path transcripts;
    fs::path genes;
    double fpkmChnSum = 0.0;
    std::string fragsExpt = "0";
    std::string compFragsExpt = "0";
    size_t genesOk = 0;
    size_t genesFail = 0;
};

bool parseNumber(std::string_view field, double& value)
{
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    return !field.empty() && error == std::errc() && end == field.data() + field.size();
}

// Reads one summary row by row, refusing anything a finished run cannot have
// written: another header, a short row, a last line without its line end.
class SummaryReader {
public:
    SummaryReader(const fs::path& path, bool transcripts) : path(path), transcripts(transcripts), in(path)
    {
        std::string header;
        if (!in || !std::getline(in, header))
            throw MergeError("cannot read " + path.string());
        if (header != (transcripts ? kTranscriptHeader : kGeneHeader))
            throw MergeError(path.string() + ": not a finished " + (transcripts ? "transcript" : "gene") +
                             " summary (unexpected header)");
    }

    // False after the last row.
    bool next()
    {
        if (!std::getline(in, text))
            return false;
        ++row;
        if (in.eof())
            throw MergeError(where() + " is truncated (no line end)");
        fields.clear();
        for (size_t start = 0;;) {
            const size_t tab = text.find('\t', start);
            fields.emplace_back(std::string_view(text).substr(start, tab - start));
            if (tab == std::string::npos)
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
    bool transcripts;
    std::ifstream in;
    std::string text;
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

// The annotation's rows as the first sample gives them.
struct Reference {
    std::string sample;
    std::vector<std::string> transcriptKeys;
    std::vector<std::string> geneKeys;
    std::vector<std::string> geneNameLocus;
};

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

// One pass over a sample on its own: validates both summaries and gathers its totals.
void scanSample(Sample& s, Reference& ref, bool first)
{
    SummaryReader t(s.transcripts, true);
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
    }
    if (!first)
        checkRowCount(ref, ref.transcriptKeys, s, t, true);

    SummaryReader g(s.genes, false);
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
    }
    if (!first)
        checkRowCount(ref, ref.geneKeys, s, g, false);
}

// The one summary of `prefix` in `dir`; its sample name goes to `sample`.
fs::path findSummary(const fs::path& dir, const std::string& prefix, std::string& sample)
{
    const std::string suffix = ".dat";
    std::vector<fs::path> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(prefix))
            continue;
        if (name.ends_with(".partial"))
            throw MergeError(dir.string() + " holds " + name + ": that run did not finish");
        if (name.size() > prefix.size() + suffix.size() && name.ends_with(suffix))
            found.push_back(entry.path());
    }
    if (error)
        throw MergeError("cannot read directory " + dir.string() + ": " + error.message());
    if (found.size() != 1)
        throw MergeError(dir.string() + " holds " + std::to_string(found.size()) + " " + prefix + "*.dat files, "
                         "expected exactly one");
    const std::string name = found.front().filename().string();
    sample = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    return found.front();
}

Sample sampleOf(const std::string& argument)
{
    Sample s;
    std::string named;
    // NAME=DIR; a directory whose own name holds '=' is still a directory when a '/' comes first.
    const size_t eq = argument.find('=');
    if (eq != std::string::npos && argument.find('/') > eq) {
        named = argument.substr(0, eq);
        s.directory = argument.substr(eq + 1);
        if (named.empty())
            throw MergeError("empty sample name in '" + argument + "'");
    } else {
        s.directory = argument;
    }
    if (!fs::is_directory(s.directory))
        throw MergeError(s.directory + " is not a directory");
    std::string fromTranscripts, fromGenes;
    s.transcripts = findSummary(s.directory, "transcripts_summary_", fromTranscripts);
    s.genes = findSummary(s.directory, "genes_summary_", fromGenes);
    if (fromTranscripts != fromGenes)
        throw MergeError(s.directory + " holds the summaries of two samples, " + fromTranscripts + " and " +
                         fromGenes);
    s.name = named.empty() ? fromTranscripts : named;
    if (s.name.find_first_of("\t\r\n") != std::string::npos)
        throw MergeError("sample name of " + s.directory + " holds a tab or line end");
    s.directory = fs::absolute(s.directory).lexically_normal().string();
    return s;
}

// The output files, under temporary names until every one is complete.
class Outputs {
public:
    explicit Outputs(const fs::path& dir) : dir(dir) {}
    Outputs(const Outputs&) = delete;
    Outputs& operator=(const Outputs&) = delete;
    ~Outputs()
    {
        for (const File& f : files)
            std::remove(f.temporary.c_str());
    }

    std::ofstream& open(const std::string& name)
    {
        files.push_back({(dir / name).string(), temporaryPath((dir / name).string()), nullptr});
        File& f = files.back();
        f.stream = std::make_unique<std::ofstream>(f.temporary, std::ios::out | std::ios::trunc);
        if (!*f.stream)
            throw MergeError("cannot write " + f.temporary);
        return *f.stream;
    }

    void commit()
    {
        for (File& f : files) {
            int error = 0;
            if (!completeFile(*f.stream, f.temporary, error))
                throw MergeError("cannot write " + f.temporary + describeErrno(error));
        }
        for (File& f : files) {
            if (std::rename(f.temporary.c_str(), f.final.c_str()) != 0)
                throw MergeError("cannot rename " + f.temporary + " to " + f.final);
        }
        files.clear();
    }

private:
    struct File {
        std::string final;
        std::string temporary;
        std::unique_ptr<std::ofstream> stream;
    };
    fs::path dir;
    std::vector<File> files;
};

void writeHeader(std::ofstream& out, const char* keys, const std::vector<Sample>& samples)
{
    out << keys;
    for (const Sample& s : samples)
        out << '\t' << s.name;
    out << '\n';
}

// The summaries' transcript precision.
void writeFixed(std::ofstream& out, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "\t%.5f", value);
    out << text;
}

std::vector<std::unique_ptr<SummaryReader>> openAll(const std::vector<Sample>& samples, bool transcripts)
{
    std::vector<std::unique_ptr<SummaryReader>> readers;
    for (const Sample& s : samples)
        readers.push_back(std::make_unique<SummaryReader>(transcripts ? s.transcripts : s.genes, transcripts));
    return readers;
}

// Reads the next row of every sample; the summaries may not have changed since the first pass.
void stepAll(std::vector<std::unique_ptr<SummaryReader>>& readers, const Reference& ref,
             const std::vector<Sample>& samples, const std::vector<std::string>& keys, bool transcripts)
{
    for (size_t i = 0; i < readers.size(); ++i) {
        if (!readers[i]->next())
            checkRowCount(ref, keys, samples[i], *readers[i], transcripts);
        checkRow(ref, keys, samples[i], *readers[i], transcripts);
    }
}

void expectEnd(std::vector<std::unique_ptr<SummaryReader>>& readers, const Reference& ref,
               const std::vector<Sample>& samples, const std::vector<std::string>& keys, bool transcripts)
{
    for (size_t i = 0; i < readers.size(); ++i)
        if (readers[i]->next())
            checkRow(ref, keys, samples[i], *readers[i], transcripts);
}

void writeMatrices(const fs::path& outDir, const std::vector<Sample>& samples, const Reference& ref)
{
    Outputs outputs(outDir);
    std::ofstream& tThn = outputs.open("transcripts.FPKM_THN.tsv");
    std::ofstream& tChn = outputs.open("transcripts.FPKM_CHN.tsv");
    std::ofstream& tTpm = outputs.open("transcripts.TPM.tsv");
    std::ofstream& tCounts = outputs.open("transcripts.counts.tsv");
    for (std::ofstream* out : {&tThn, &tChn, &tTpm, &tCounts})
        writeHeader(*out, "tracking_ID\tgene_ID\tlength", samples);
    auto readers = openAll(samples, true);
    for (const std::string& key : ref.transcriptKeys) {
        stepAll(readers, ref, samples, ref.transcriptKeys, true);
        for (std::ofstream* out : {&tThn, &tChn, &tTpm, &tCounts})
            *out << key;
        for (size_t i = 0; i < readers.size(); ++i) {
            const SummaryReader& r = *readers[i];
            tThn << '\t' << r[kTFpkmThn];
            tChn << '\t' << r[kTFpkmChn];
            const double chn = r.value(kTFpkmChn);
            // An experiment without a compatible fragment has no TPM; 0 rather than NaN.
            writeFixed(tTpm, samples[i].fpkmChnSum > 0.0 ? chn / samples[i].fpkmChnSum * 1e6 : 0.0);
            writeFixed(tCounts, r.value(kAbundance) * r.value(kTCompFragsLocus));
        }
        for (std::ofstream* out : {&tThn, &tChn, &tTpm, &tCounts})
            *out << '\n';
    }
    expectEnd(readers, ref, samples, ref.transcriptKeys, true);
    readers.clear();

    std::ofstream& gThn = outputs.open("genes.FPKM_THN.tsv");
    std::ofstream& gChn = outputs.open("genes.FPKM_CHN.tsv");
    std::ofstream& gCounts = outputs.open("genes.counts.tsv");
    std::ofstream& gStatus = outputs.open("genes.status.tsv");
    const std::array<std::pair<std::ofstream*, int>, 4> geneMatrices{
        {{&gThn, kGFpkmThn}, {&gChn, kGFpkmChn}, {&gCounts, kGCompFragsLocus}, {&gStatus, kStatus}}};
    for (const auto& [out, column] : geneMatrices)
        writeHeader(*out, "gene_ID\tgene_name\tlocus", samples);
    readers = openAll(samples, false);
    for (size_t row = 0; row < ref.geneKeys.size(); ++row) {
        stepAll(readers, ref, samples, ref.geneKeys, false);
        for (const auto& [out, column] : geneMatrices) {
            *out << ref.geneKeys[row] << '\t' << ref.geneNameLocus[row];
            for (const auto& r : readers)
                *out << '\t' << (*r)[column];
            *out << '\n';
        }
    }
    expectEnd(readers, ref, samples, ref.geneKeys, false);

    std::ofstream& table = outputs.open("samples.tsv");
    table << "sample\tdirectory\tfrags_expt\tcomp_frags_expt\tgenes_OK\tgenes_FAIL\n";
    for (const Sample& s : samples)
        table << s.name << '\t' << s.directory << '\t' << s.fragsExpt << '\t' << s.compFragsExpt << '\t'
              << s.genesOk << '\t' << s.genesFail << '\n';
    outputs.commit();
}

void printUsage(std::ostream& out)
{
    out << "Usage: kestrove-merge -o OUTDIR RESULT_DIR|NAME=RESULT_DIR...\n"
           "\n"
           "Merges the summaries of kestrove runs on one annotation into matrices with a row\n"
           "per transcript or gene and a column per sample, in argument order. Each\n"
           "RESULT_DIR holds one transcripts_summary_<sample>.dat and one\n"
           "genes_summary_<sample>.dat; the column is named <sample>, or NAME when given.\n"
           "Writes to OUTDIR: transcripts.{FPKM_THN,FPKM_CHN,TPM,counts}.tsv,\n"
           "genes.{FPKM_THN,FPKM_CHN,counts,status}.tsv and samples.tsv.\n";
}

int run(int argc, char** argv)
{
    std::string outDir;
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            printUsage(std::cout);
            return 0;
        }
        if (a == "-o" || a == "--output") {
            if (i + 1 == argc)
                throw MergeError(a + " needs a directory");
            outDir = argv[++i];
        } else if (!a.empty() && a[0] == '-') {
            throw MergeError("unknown option " + a);
        } else {
            arguments.push_back(a);
        }
    }
    if (outDir.empty() || arguments.empty()) {
        printUsage(std::cerr);
        return 1;
    }

    std::vector<Sample> samples;
    std::set<std::string> names;
    for (const std::string& a : arguments) {
        samples.push_back(sampleOf(a));
        if (!names.insert(samples.back().name).second)
            throw MergeError("two results are named " + samples.back().name + " (the second is " + a + ")");
    }
    Reference ref;
    ref.sample = samples.front().name;
    for (size_t i = 0; i < samples.size(); ++i)
        scanSample(samples[i], ref, i == 0);

    std::error_code error;
    fs::create_directories(outDir, error);
    if (error)
        throw MergeError("cannot create " + outDir + ": " + error.message());
    writeMatrices(outDir, samples, ref);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "kestrove-merge: " << e.what() << "\n";
        return 1;
    }
}
