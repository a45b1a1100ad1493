// Merges the summaries of many kestrove runs into one matrix per quantity: a
// row per transcript or gene, a column per sample. The runs must share one
// annotation and, where they left a provenance record, the options they ran
// with; each folder's summaries must be the pair its run recorded. Anything
// else is refused before the output folder changes.
//
// Each summary is read once, so that a run rewriting it meanwhile cannot mix
// into the matrices. Memory does not grow with the number of samples times the
// number of rows: a first pass checks every sample on its own, keeps only the
// first sample's row keys and each sample's totals, and sets the sample's
// values aside in a scratch file; a second pass reads the scratch files in
// step, one row at a time, and writes the matrices. They are written into a
// new folder that then takes the output folder's place as a whole.

#include <array>
#include <atomic>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "output/FolderReplacement.h"
#include "output/Provenance.h"
#include "util/WorkingFiles.h"

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

// A merge ended by a signal would otherwise leave its unfinished folder behind; the
// work stops at the next step instead, and the unwinding removes that folder.
std::atomic<int> stopSignal{0};

extern "C" void onStopSignal(int signal) { stopSignal.store(signal); }

void catchStopSignals()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        // One ignored on entry (nohup) stays ignored.
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
}

void stopIfSignalled()
{
    if (const int signal = stopSignal.load())
        throw MergeError(std::string("stopped by ") + (signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP")
                         + "; the output folder is left as it was");
}

struct Sample {
    std::string name;
    std::string directory;
    std::string recordName;  // the run's record, named by the sample of its summaries
    fs::path transcripts;
    fs::path genes;
    std::optional<provenance::Record> record;
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

std::string wholeFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.is_open() || in.bad())
        throw MergeError("cannot read " + path.string());
    return content;
}

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

// The summaries' transcript precision.
std::string fixed(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.5f", value);
    return text;
}

// A sample's values for the matrices, one line per row: transcripts first
// (FPKM_THN, FPKM_CHN, count), then genes (FPKM_THN, FPKM_CHN, count, status).
fs::path scratchPath(const fs::path& folder, size_t sample)
{
    return folder / (".sample." + std::to_string(sample));
}

// One pass over a sample on its own: validates both summaries, gathers its
// totals and writes its values to `scratch`.
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

// The summary as read must be the one its run recorded; a summary rewritten by a
// later run, or the survivor of a run killed between its renames, is not.
void checkRecorded(const Sample& s, const fs::path& path, std::string_view content)
{
    const std::string file = path.filename().string();
    const provenance::Output* recorded = s.record->output(file);
    if (!recorded)
        throw MergeError("sample " + s.name + ": " + s.directory + "/" + s.recordName + " records no " +
                         file + "; the record and the summaries come from different runs");
    const std::string md5 = provenance::md5Hex(content);
    if (recorded->size != content.size() || recorded->md5 != md5)
        throw MergeError("sample " + s.name + ": " + path.string() + " (size " + std::to_string(content.size()) +
                         ", md5 " + md5 + ") is not the file its run recorded in " + s.recordName +
                         " (size " + std::to_string(recorded->size) + ", md5 " + recorded->md5 +
                         "): it changed after the run or comes from another run than the rest of the folder");
}

void compareRecords(const Sample& ref, const Sample& s)
{
    if (const auto d = provenance::firstDifference(*ref.record, *s.record))
        throw MergeError("samples " + ref.name + " and " + s.name + " were run with different options: " + d->option +
                         " " + d->first + " in " + ref.name + ", " + d->second + " in " + s.name);
}

void readRecord(Sample& s)
{
    const fs::path path = fs::path(s.directory) / s.recordName;
    if (!fs::exists(path))
        return;
    try {
        s.record = provenance::parse(wholeFile(path));
    } catch (const provenance::FormatError& e) {
        throw MergeError("sample " + s.name + ": " + path.string() + " is not a provenance record: " + e.what());
    }
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
    s.recordName = provenance::fileName(fromTranscripts);
    if (s.name.find_first_of("\t\r\n") != std::string::npos)
        throw MergeError("sample name of " + s.directory + " holds a tab or line end");
    s.directory = fs::absolute(s.directory).lexically_normal().string();
    if (s.directory.size() > 1 && s.directory.back() == '/')
        s.directory.pop_back();
    return s;
}

const char* const kMatrixNames[] = {"transcripts.FPKM_THN.tsv", "transcripts.FPKM_CHN.tsv", "transcripts.TPM.tsv",
                                    "transcripts.counts.tsv",   "genes.FPKM_THN.tsv",       "genes.FPKM_CHN.tsv",
                                    "genes.counts.tsv",         "genes.status.tsv",         "samples.tsv"};

// The output files of the merge folder.
class Outputs {
public:
    explicit Outputs(const fs::path& dir) : dir(dir) {}

    std::ofstream& open(const std::string& name)
    {
        files.push_back({(dir / name).string(), nullptr});
        File& f = files.back();
        f.stream = std::make_unique<std::ofstream>(f.path, std::ios::out | std::ios::trunc);
        if (!*f.stream)
            throw MergeError("cannot write " + f.path);
        return *f.stream;
    }

    void complete()
    {
        for (File& f : files) {
            int error = 0;
            if (!completeFile(*f.stream, f.path, error))
                throw MergeError("cannot write " + f.path + describeErrno(error));
        }
    }

private:
    struct File {
        std::string path;
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

// Reads the scratch files of all samples in step, one row each.
class ScratchRows {
public:
    ScratchRows(const fs::path& folder, size_t samples)
    {
        for (size_t i = 0; i < samples; ++i) {
            streams.push_back(std::make_unique<std::ifstream>(scratchPath(folder, i)));
            if (!*streams.back())
                throw MergeError("cannot read " + scratchPath(folder, i).string());
        }
        lines.resize(samples);
        rows.resize(samples);
    }

    void next()
    {
        for (size_t i = 0; i < streams.size(); ++i) {
            if (!std::getline(*streams[i], lines[i]))
                throw MergeError("scratch file of sample " + std::to_string(i + 1) + " ended early");
            rows[i].clear();
            const std::string_view text = lines[i];
            for (size_t start = 0;;) {
                const size_t tab = text.find('\t', start);
                rows[i].push_back(text.substr(start, tab - start));
                if (tab == std::string_view::npos)
                    break;
                start = tab + 1;
            }
        }
    }

    std::string_view field(size_t sample, size_t column) const { return rows[sample][column]; }

private:
    std::vector<std::unique_ptr<std::ifstream>> streams;
    std::vector<std::string> lines;
    std::vector<std::vector<std::string_view>> rows;
};

void writeMatrices(const fs::path& outDir, const std::vector<Sample>& samples, const Reference& ref)
{
    Outputs outputs(outDir);
    ScratchRows scratch(outDir, samples.size());
    std::ofstream& tThn = outputs.open("transcripts.FPKM_THN.tsv");
    std::ofstream& tChn = outputs.open("transcripts.FPKM_CHN.tsv");
    std::ofstream& tTpm = outputs.open("transcripts.TPM.tsv");
    std::ofstream& tCounts = outputs.open("transcripts.counts.tsv");
    for (std::ofstream* out : {&tThn, &tChn, &tTpm, &tCounts})
        writeHeader(*out, "tracking_ID\tgene_ID\tlength", samples);
    for (const std::string& key : ref.transcriptKeys) {
        stopIfSignalled();
        scratch.next();
        for (std::ofstream* out : {&tThn, &tChn, &tTpm, &tCounts})
            *out << key;
        for (size_t i = 0; i < samples.size(); ++i) {
            tThn << '\t' << scratch.field(i, 0);
            tChn << '\t' << scratch.field(i, 1);
            double chn = 0.0;
            parseNumber(scratch.field(i, 1), chn);
            // An experiment without a compatible fragment has no TPM; 0 rather than NaN.
            tTpm << '\t' << fixed(samples[i].fpkmChnSum > 0.0 ? chn / samples[i].fpkmChnSum * 1e6 : 0.0);
            tCounts << '\t' << scratch.field(i, 2);
        }
        for (std::ofstream* out : {&tThn, &tChn, &tTpm, &tCounts})
            *out << '\n';
    }

    std::ofstream& gThn = outputs.open("genes.FPKM_THN.tsv");
    std::ofstream& gChn = outputs.open("genes.FPKM_CHN.tsv");
    std::ofstream& gCounts = outputs.open("genes.counts.tsv");
    std::ofstream& gStatus = outputs.open("genes.status.tsv");
    const std::array<std::ofstream*, 4> geneMatrices{&gThn, &gChn, &gCounts, &gStatus};
    for (std::ofstream* out : geneMatrices)
        writeHeader(*out, "gene_ID\tgene_name\tlocus", samples);
    for (size_t row = 0; row < ref.geneKeys.size(); ++row) {
        scratch.next();
        for (size_t column = 0; column < geneMatrices.size(); ++column) {
            std::ofstream& out = *geneMatrices[column];
            out << ref.geneKeys[row] << '\t' << ref.geneNameLocus[row];
            for (size_t i = 0; i < samples.size(); ++i)
                out << '\t' << scratch.field(i, column);
            out << '\n';
        }
    }

    std::ofstream& table = outputs.open("samples.tsv");
    table << "sample\tdirectory\tfrags_expt\tcomp_frags_expt\tgenes_OK\tgenes_FAIL\n";
    for (const Sample& s : samples)
        table << s.name << '\t' << s.directory << '\t' << s.fragsExpt << '\t' << s.compFragsExpt << '\t'
              << s.genesOk << '\t' << s.genesFail << '\n';
    outputs.complete();
}

void printUsage(std::ostream& out)
{
    out << "Usage: kestrove-merge -o OUTDIR RESULT_DIR|NAME=RESULT_DIR...\n"
           "\n"
           "Merges the summaries of kestrove runs on one annotation into matrices with a row\n"
           "per transcript or gene and a column per sample, in argument order. Each\n"
           "RESULT_DIR holds one transcripts_summary_<sample>.dat and one\n"
           "genes_summary_<sample>.dat; the column is named <sample>, or NAME when given.\n"
           "Where a RESULT_DIR holds the run's provenance_<sample>.json, its summaries must be the\n"
           "ones recorded there and the runs must share their options.\n"
           "Writes to OUTDIR, replaced as a whole: transcripts.{FPKM_THN,FPKM_CHN,TPM,counts}.tsv,\n"
           "genes.{FPKM_THN,FPKM_CHN,counts,status}.tsv and samples.tsv.\n";
}

// The output folder as an absolute path without a trailing separator.
fs::path targetOf(const std::string& outDir)
{
    fs::path target = fs::absolute(outDir).lexically_normal();
    if (!target.has_filename())
        target = target.parent_path();
    // A link to the folder of the matrices stays a link; the folder it names is replaced.
    std::error_code error;
    if (fs::is_symlink(fs::symlink_status(target, error))) {
        target = fs::canonical(target, error);
        if (error)
            throw MergeError("cannot follow " + outDir + ": " + error.message());
    }
    if (target == target.root_path())
        throw MergeError("cannot replace " + outDir + " as a whole; give a folder of its own for the matrices");
    return target;
}

std::vector<Sample> samplesOf(const std::vector<std::string>& arguments)
{
    std::vector<Sample> samples;
    std::map<fs::path, std::string> folders;
    std::set<std::string> names;
    for (const std::string& a : arguments) {
        samples.push_back(sampleOf(a));
        const Sample& s = samples.back();
        std::error_code error;
        const fs::path canonical = fs::canonical(s.directory, error);
        const auto [seen, added] = folders.emplace(error ? fs::path(s.directory) : canonical, s.name);
        if (!added)
            throw MergeError("samples " + seen->second + " and " + s.name + " are the same folder " + s.directory);
        if (!names.insert(s.name).second)
            throw MergeError("two results are named " + s.name + " (the second is " + a + ")");
    }
    return samples;
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
        if (a == "--version") {
            std::cout << "kestrove-merge " << KESTROVE_VERSION << "\n";
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

    std::vector<Sample> samples = samplesOf(arguments);
    const Sample* recorded = nullptr;
    for (Sample& s : samples) {
        readRecord(s);
        if (!s.record)
            continue;
        if (recorded)
            compareRecords(*recorded, s);
        else
            recorded = &s;
    }
    for (const Sample& s : samples)
        if (recorded && !s.record)
            std::cerr << "kestrove-merge: warning: " << s.directory << " (sample " << s.name << ") holds no "
                      << s.recordName << "; its options and its pair of summaries are not checked\n";

    catchStopSignals();
    FolderReplacement folder(targetOf(outDir), {std::begin(kMatrixNames), std::end(kMatrixNames)});
    Reference ref;
    ref.sample = samples.front().name;
    for (size_t i = 0; i < samples.size(); ++i) {
        stopIfSignalled();
        Sample& s = samples[i];
        const std::string transcripts = wholeFile(s.transcripts);
        const std::string genes = wholeFile(s.genes);
        if (s.record) {
            checkRecorded(s, s.transcripts, transcripts);
            checkRecorded(s, s.genes, genes);
        }
        scanSample(s, transcripts, genes, ref, i == 0, scratchPath(folder.folder(), i));
    }
    writeMatrices(folder.folder(), samples, ref);
    for (size_t i = 0; i < samples.size(); ++i)
        fs::remove(scratchPath(folder.folder(), i));
    stopIfSignalled();
    folder.commit();
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
