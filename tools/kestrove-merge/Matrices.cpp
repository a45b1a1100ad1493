// The second pass: the scratch files of all samples read in step into the matrices.

#include <array>
#include <fstream>
#include <memory>

#include "Merge.h"
#include "kestrove.h"

namespace merging {

namespace {

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

} // namespace

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

} // namespace merging
