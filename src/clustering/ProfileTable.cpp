#include "clustering/ProfileTable.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <new>
#include <optional>
#include <sstream>
#include <string_view>
#include <system_error>
#include <unordered_map>

#include "clustering/HierarchicalClustering.h"
#include "clustering/TableStore.h"
#include "model/Densities.h"

namespace {

constexpr int kBins = 100;
constexpr size_t kFirstMixtureField = 14;

// Unwinds to buildClusteringData, which hands the reason to its caller.
struct ClusteringDataFailure {
    std::string reason;
};

[[noreturn]] void stop(const std::string& message)
{
    throw ClusteringDataFailure{message};
}

// An optional sign and decimal digits; a negative count is rejected rather than wrapped.
bool parseUnsigned(std::string_view text, uint64_t& value)
{
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return false;
    const char* end = text.data() + text.size();
    auto [last, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && last == end && (!negative || value == 0);
}

class SummaryReader {
public:
    explicit SummaryReader(std::string path) : path_(std::move(path)) {}

    [[noreturn]] void fail(size_t lineNumber, const std::string& what) const
    {
        stop("Error: " + path_ + ", line " + std::to_string(lineNumber) + ": " + what);
    }

    void warn(size_t lineNumber, std::string_view id, const std::string& why) const
    {
        std::cerr << "Warning: " << path_ << ", line " << lineNumber << ": transcript " << id
                  << " left out of the clustering data: " << why << std::endl;
    }

    uint64_t unsignedField(const std::vector<std::string_view>& fields, size_t field, const char* name,
                           size_t lineNumber) const
    {
        uint64_t value = 0;
        if (!parseUnsigned(fields[field - 1], value))
            fail(lineNumber, "field " + std::to_string(field) + " (" + name + ") \"" + std::string(fields[field - 1])
                                 + "\" is not an unsigned integer");
        return value;
    }

    double doubleField(const std::vector<std::string_view>& fields, size_t field, const char* name,
                       size_t lineNumber) const
    {
        double value = 0.0;
        if (!parseDouble(fields[field - 1], value))
            fail(lineNumber, "field " + std::to_string(field) + " (" + name + ") \"" + std::string(fields[field - 1])
                                 + "\" is not a number");
        return value;
    }

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The mixture columns of a run's transcripts from its mixtures file, for a summary
// that does not carry them: fields 3 on of each row, by tracking_ID and gene_ID.
// A pair found more than once (a gene id on several references) is taken in the
// order of the file, which is that of the summary.
class MixtureColumns {
public:
    explicit MixtureColumns(const std::string& summaryPath)
    {
        namespace fs = std::filesystem;
        const std::string name = fs::path(summaryPath).filename().string();
        const std::string prefix = "transcripts_summary_";
        if (name.rfind(prefix, 0) != 0)
            return;
        path_ = (fs::path(summaryPath).parent_path() / ("mixtures_" + name.substr(prefix.size()))).string();
        std::ifstream in(path_);
        std::string line;
        if (!in || !std::getline(in, line))
            return;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const size_t second = line.find('\t', line.find('\t') + 1);
            if (second != std::string::npos)
                rows_[line.substr(0, second)].push_back(line.substr(second));
        }
        if (in.bad())
            stop("Error: reading " + path_ + " failed");
        open_ = true;
    }

    bool open() const { return open_; }
    const std::string& path() const { return path_; }

    // The row's tab-led mixture fields, taken once; nothing when there is none left.
    std::optional<std::string> take(std::string_view id, std::string_view gene)
    {
        std::string key(id);
        key += '\t';
        key += gene;
        const auto found = rows_.find(key);
        if (found == rows_.end() || found->second.empty())
            return std::nullopt;
        std::string columns = std::move(found->second.front());
        found->second.pop_front();
        return columns;
    }

private:
    std::string path_;
    bool open_ = false;
    std::unordered_map<std::string, std::deque<std::string>> rows_;
};

// Several summaries in one directory: the first by name, so that reruns agree.
std::string findTranscriptSummary(const std::string& directory)
{
    namespace fs = std::filesystem;
    if (directory.empty())
        stop("No results directory given for clustering");
    std::error_code error;
    fs::directory_iterator entry(directory, error);
    if (error)
        stop("Couldn't list the results directory " + directory + " for clustering: " + error.message());
    std::vector<std::string> names;
    for (; entry != fs::directory_iterator(); entry.increment(error)) {
        if (error)
            break;
        const std::string name = entry->path().filename().string();
        std::error_code statusError;
        // A ".partial" summary is what an unfinished run appended: it has no mixture columns.
        const bool partial = name.size() >= 8 && name.compare(name.size() - 8, 8, ".partial") == 0;
        if (name.rfind("transcripts_summary", 0) == 0 && !partial && entry->is_regular_file(statusError))
            names.push_back(name);
    }
    if (error)
        stop("Couldn't list the results directory " + directory + " for clustering: " + error.message());
    if (names.empty())
        stop("Couldn't open transcripts_summary file for clustering");
    std::sort(names.begin(), names.end());
    return directory + "/" + names.front();
}

double mixtureDensity(double x, const std::vector<double>& means, const std::vector<double>& weights, double sigma)
{
    double p = 0.0;
    for (size_t k = 0; k < means.size(); ++k) {
        const double z = (x - means[k]) / sigma;
        p += weights[k] * std::exp(-(z * z) / 2.0) / (kSqrtTwoPi * sigma);
    }
    return p;
}

// The profile of 100 bins of the normalised mixture density; false (and nothing
// appended) when the weights are no mixture, the density cannot be normalised
// or the transcript is too short for one base per bin. The density is
// evaluated twice, for the sum and then for the bins, rather than kept per
// base: a summary's length field is not bounded by anything real, and memory
// must not grow with it.
bool appendProfile(std::ostringstream& out, std::string_view id, uint64_t length, const std::vector<double>& means,
                   const std::vector<double>& weights, std::string& why)
{
    const uint64_t binWidth = length / kBins;
    if (binWidth == 0) {
        why = "shorter than " + std::to_string(kBins) + " bases";
        return false;
    }
    // A negative weight would give the profile negative values that still sum to 1.
    for (double weight : weights) {
        if (!(weight >= 0.0) || !std::isfinite(weight)) {
            why = "its component weights are not a mixture (a weight is negative or not a number)";
            return false;
        }
    }
    const double sigma = means[0];
    double sum = 0.0;
    for (uint64_t x = 1; x <= length; ++x)
        sum += mixtureDensity(static_cast<double>(x), means, weights, sigma);
    if (!std::isfinite(sum) || sum <= 0.0) {
        std::ostringstream reason;
        reason << "its start-site density cannot be normalised (first component mean, the deviation of every "
                  "component: "
               << sigma << ")";
        why = reason.str();
        return false;
    }

    out << id;
    for (uint64_t bin = 0; bin < static_cast<uint64_t>(kBins); ++bin) {
        double binSum = 0.0;
        for (uint64_t x = bin * binWidth + 1; x <= bin * binWidth + binWidth; ++x)
            binSum += mixtureDensity(static_cast<double>(x), means, weights, sigma) / sum;
        out << '\t' << binSum / static_cast<double>(binWidth);
    }
    out << '\n';
    return true;
}

// A summary without the mixture columns has them in the run's mixtures file: the row's
// columns from there are appended to `line` and `fields` split again.
void addMixtureColumns(std::string& line, std::vector<std::string_view>& fields,
                       std::optional<MixtureColumns>& mixtures, const SummaryReader& reader, size_t lineNumber)
{
    if (fields.size() != kFirstMixtureField - 1)
        return;
    if (!mixtures)
        mixtures.emplace(reader.path());
    if (!mixtures->open())
        return;
    const std::optional<std::string> columns = mixtures->take(fields[0], fields[1]);
    if (!columns)
        reader.fail(lineNumber, "transcript " + std::string(fields[0]) + " of gene " + std::string(fields[1])
                                    + " has no row in " + mixtures->path());
    line += *columns;
    splitTabs(line, fields);
}

// The number of mixture components, read from the first row; every row holds them all.
uint64_t componentCount(const std::vector<std::string_view>& fields, std::optional<uint64_t>& nrComponents,
                        const SummaryReader& reader, size_t lineNumber)
{
    if (fields.size() < kFirstMixtureField)
        reader.fail(lineNumber, std::to_string(fields.size())
                                    + " fields, but clustering needs the mixture columns (number of components, "
                                      "their means, their weights): from field 14 on, or from the run's "
                                      "mixtures_<sample>.dat beside the summary");
    if (!nrComponents) {
        nrComponents = reader.unsignedField(fields, kFirstMixtureField, "number of mixture components", lineNumber);
        if (*nrComponents == 0)
            reader.fail(lineNumber, "field 14 (number of mixture components) is 0");
    }
    const uint64_t n = *nrComponents;
    if ((fields.size() - kFirstMixtureField) / 2 < n)
        reader.fail(lineNumber, std::to_string(fields.size()) + " fields, " + std::to_string(kFirstMixtureField)
                                    + " + 2 x " + std::to_string(n) + " expected");
    return n;
}

// The profile of a row of n components, unless its transcript is too short or has too
// few fragments to be clustered.
void appendRowProfile(std::ostringstream& profiles, const std::vector<std::string_view>& fields, uint64_t n,
                      const t_configuration& conf, const SummaryReader& reader, size_t lineNumber)
{
    const std::string_view id = fields[0];
    // The id becomes the row name of the profile table, whose reader ends a line at a CR.
    if (id.empty() || id.find('\r') != std::string_view::npos)
        reader.fail(lineNumber, "field 1 (transcript id) is empty or holds a carriage return");
    const uint64_t length = reader.unsignedField(fields, 5, "length", lineNumber);
    const double abundance = reader.doubleField(fields, 7, "abundance", lineNumber);
    const uint64_t compatible = reader.unsignedField(fields, 11, "compatible fragments", lineNumber);
    if (length > UINT32_MAX)
        reader.fail(lineNumber, "field 5 (length) " + std::to_string(length) + " is out of range");
    if (!(static_cast<double>(compatible) * abundance >= static_cast<double>(conf.minTransFrags))
        || static_cast<int64_t>(length) < conf.minTransLen)
        return;

    std::vector<double> means(n);
    std::vector<double> weights(n);
    for (uint64_t k = 0; k < n; ++k) {
        means[k] = reader.doubleField(fields, kFirstMixtureField + 1 + k, "component mean", lineNumber);
        weights[k] = reader.doubleField(fields, kFirstMixtureField + 1 + n + k, "component weight", lineNumber);
    }
    std::string why;
    if (!appendProfile(profiles, id, length, means, weights, why))
        reader.warn(lineNumber, id, why);
}

// Every line of the summary is checked before anything is written, so that a
// malformed summary leaves "norm_pdfs" as it was.
std::string buildProfiles(const std::string& summaryPath, const t_configuration& conf)
{
    std::ifstream in(summaryPath);
    if (!in)
        stop("Couldn't open transcripts_summary file for clustering");
    SummaryReader reader(summaryPath);

    std::string line;
    size_t lineNumber = 0;
    if (!std::getline(in, line))
        stop("Error: " + summaryPath + " is empty: no header line");
    ++lineNumber;

    std::ostringstream profiles;
    std::vector<std::string_view> fields;
    std::optional<uint64_t> nrComponents;
    std::optional<MixtureColumns> mixtures;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        splitTabs(line, fields);
        addMixtureColumns(line, fields, mixtures, reader, lineNumber);
        const uint64_t n = componentCount(fields, nrComponents, reader, lineNumber);
        appendRowProfile(profiles, fields, n, conf, reader, lineNumber);
    }
    if (in.bad())
        stop("Error: reading " + summaryPath + " failed after line " + std::to_string(lineNumber));
    return profiles.str();
}

} // namespace

std::optional<std::string> buildClusteringData(const t_configuration& conf)
{
    try {
        const std::string summaryPath = findTranscriptSummary(conf.resultsDir);
        std::string profiles;
        try {
            profiles = buildProfiles(summaryPath, conf);
        } catch (const std::bad_alloc&) {
            stop("Error: not enough memory to build the clustering data from " + summaryPath);
        }

        const std::string outputPath = conf.resultsDir + "/norm_pdfs";
        std::error_code error;
        const bool append = std::filesystem::exists(outputPath, error);
        std::ofstream out(outputPath, append ? std::ios::app : std::ios::trunc);
        if (!out)
            stop("[createClusteringData] fail to open file > " + outputPath + "\n");
        if (!append) {
            out << "NAME";
            for (int i = 1; i <= kBins; ++i)
                out << "\tcoord_" << i;
            out << '\n';
        }
        out << profiles;
        out.close();
        if (!out)
            stop("Error: writing " + outputPath + " failed");
    } catch (const ClusteringDataFailure& failure) {
        return failure.reason;
    }
    return std::nullopt;
}

bool createClusteringData(const t_configuration& conf)
{
    const std::optional<std::string> failure = buildClusteringData(conf);
    if (failure) {
        std::cout.flush();
        std::cerr << *failure << std::endl;
    }
    return !failure;
}

bool clusterPDFs(const std::string& path, const t_configuration& conf)
{
    const std::string jobname = path;
    bool clustered = true;
    TableStore table;
    if (!path.empty()) {
        std::error_code error;
        std::FILE* file = std::filesystem::is_directory(path, error) ? nullptr : std::fopen(path.c_str(), "r");
        if (!file) {
            std::printf("Error opening file %s\n", path.c_str());
            std::fflush(stdout);
            std::fputs("Could not load the pdfs file for clustering!", stderr);
            clustered = false;
        } else {
            const std::optional<std::string> result = table.load(file);
            std::fclose(file);
            if (!result) {
                std::printf("Error reading file %s:\nInsufficient memory\n", path.c_str());
                std::fflush(stdout);
                std::fputs("Could not load the pdfs file for clustering!", stderr);
                clustered = false;
            } else if (*result != "ok") {
                std::printf("Error reading file %s:\n%s\n", path.c_str(), result->c_str());
                std::fflush(stdout);
                std::fputs("Could not load the pdfs file for clustering!", stderr);
                clustered = false;
            }
        }
    }
    if (table.rows() > 0 && table.columns() > 0)
        clustered =
            HierarchicalClusterCutTree(table, jobname, conf.clusterDistance, conf.clusterMethod, conf.nrClusters) == 0;
    else if (clustered)
        std::printf("No data available\n");
    std::fflush(stdout);
    return clustered;
}
