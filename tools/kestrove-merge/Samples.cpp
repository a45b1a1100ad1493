// The result folders of the samples and the provenance records they hold.

#include <map>
#include <set>

#include "Merge.h"

namespace merging {

namespace {

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

} // namespace

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

} // namespace merging
