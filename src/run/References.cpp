#include "run/References.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>

#include "alignments/BamIO.h"
#include "util/Files.h"

namespace {

std::string firstNames(const std::vector<std::string>& names)
{
    constexpr size_t kNamed = 3;
    std::string text;
    for (size_t i = 0; i < names.size() && i < kNamed; ++i)
        text += (i > 0 ? ", " : "") + names[i];
    if (names.size() > kNamed)
        text += " and " + std::to_string(names.size() - kNamed) + " more";
    return text;
}

} // namespace

std::string headerReference(const std::string& chromosome, const std::vector<std::string>& references)
{
    for (const char* prefix : {"", "chr", "Chr", "CHR"}) {
        if (std::find(references.begin(), references.end(), prefix + chromosome) != references.end())
            return prefix + chromosome;
    }
    return {};
}

std::optional<HeaderReferences> bamReferences(const std::string& path)
{
    // Opening a FIFO would wait for a writer; the reader's open says what is wrong.
    if (!files::inputFileProblem(path).empty())
        return std::nullopt;
    HtsLogSilencer quiet;
    std::unique_ptr<htsFile, HtsFileCloser> file(hts_open(path.c_str(), "r"));
    if (!file)
        return std::nullopt;
    std::unique_ptr<sam_hdr_t, HtsHeaderFree> header(sam_hdr_read(file.get()));
    if (!header)
        return std::nullopt;
    HeaderReferences references;
    for (int i = 0; i < sam_hdr_nref(header.get()); ++i) {
        references.names.emplace_back(sam_hdr_tid2name(header.get(), i));
        references.lengths.push_back(sam_hdr_tid2len(header.get(), i));
    }
    return references;
}

bool referencesMatch(const Annotations& annotations, const std::vector<std::string>& references,
                     const t_directories& paths)
{
    std::map<std::string, bool> found;
    std::vector<std::string> absent;
    size_t genesAbsent = 0;
    for (const auto& entry : annotations.genes) {
        const std::string& chromosome = entry.second.chromosome;
        auto [it, inserted] = found.try_emplace(chromosome, false);
        if (inserted) {
            it->second = !headerReference(chromosome, references).empty();
            if (!it->second)
                absent.push_back(chromosome);
        }
        genesAbsent += it->second ? 0 : 1;
    }
    if (genesAbsent == annotations.genes.size()) {
        std::cerr << "Error: no reference of " << paths.gtfFile << " (" << firstNames(absent) << ") is in "
                  << paths.bamFile << " (" << (references.empty() ? "none" : firstNames(references)) << ")\n";
        return false;
    }
    if (genesAbsent > 0)
        std::cerr << "Warning: " << genesAbsent << " gene(s) lie on " << absent.size()
                  << " reference(s) absent from " << paths.bamFile << " (" << firstNames(absent)
                  << "); they get no reads\n";
    return true;
}
