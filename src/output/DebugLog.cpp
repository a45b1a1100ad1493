#include "output/DebugLog.h"

#include "util/Files.h"

#include <cstdio>
#include <fstream>
#include <iomanip>

namespace {

template <typename T>
T valueAt(const std::vector<T>& values, size_t i)
{
    return i < values.size() ? values[i] : T{};
}

void printFirstElements(const std::vector<std::vector<double>>& vectors, std::stringstream& log)
{
    for (const auto& v : vectors) {
        if (!v.empty())
            log << v[0] << '\t';
    }
}

} // namespace

void DebugLog::printConfiguration(const t_configuration& conf, std::stringstream& log)
{
    log << "Initial Configuration:"
        << "\nTraining status(0: not trained, 1: trained) of alphas : " << int(conf.trainAlphas)
        << "\nTraining status(0: not trained, 1: trained) of betas  : " << int(conf.trainBetas)
        << "\nTraining status(0: not trained, 1: trained) of mus    : " << int(conf.trainMus)
        << "\nTraining status(0: not trained, 1: trained) of sigmas : " << int(conf.trainSigmas)
        << "\nTraining status(0: not trained, 1: trained) of nus    : " << int(conf.trainNus)
        << "\nTraining status(0: not trained, 1: trained) of lambdas: " << int(conf.trainLambdas)
        << "\nThreshold for minimum of difference in sum(log(likelihood)) between two iterations required to "
           "CONTINUE the estimation process: "
        << conf.likelihoodThreshold
        << "\nThreshold for minimum of difference of the parameter values between two iterations required to "
           "CONTINUE the estimation process: "
        << conf.minParamDiff << "\nNumber of iterations: " << conf.nrIterations
        << "\nObserv Alphas: " << int(conf.observAlphas) << "\nNumber of blocks: " << conf.nrBlocks
        << "\nDebug mode: " << int(conf.debugMode);
}

void DebugLog::printInitialValues(const t_initValues& values, std::stringstream& log)
{
    // The precision stays on the stream: everything after the alphas uses it.
    log << "\n\nInitial parameters:" << std::setprecision(5) << "\nInitial alphas           : ";
    for (double alpha : values.alphas)
        log << alpha << '\t';
    for (size_t g = 0; g < values.betas.size(); ++g) {
        log << "\nInitial betas group( " << g << " ) : ";
        for (double beta : values.betas[g])
            log << beta << '\t';
    }
    log << "\nInitial mus              : ";
    printFirstElements(values.mus, log);
    log << "\nInitial sigmas           : ";
    printFirstElements(values.sigmas, log);
    log << "\nInitial lambdas          : ";
    printFirstElements(values.lambdas, log);
    log << "\nInitial nus              : ";
    printFirstElements(values.nus, log);
    log << "\n\nAssumed mean of the distribution of fragment lengths : " << values.fragLenMean << "\n"
        << "Assumed standard deviation of the distribution of fragment lengths : " << values.fragLenSd << "\n";
}

void DebugLog::printGeneInformation(const Gene& gene, const std::string& region, const t_initValues& values,
                                    std::stringstream& log)
{
    log << "\nGene information[gene name, gene ID]: " << gene.geneName << ", " << gene.geneId << "\nLocus : " << region
        << "\nNumber of valid fragments: " << gene.compFragsLocus << "\n";
    log << "\nIsoform IDs : ";
    for (const t_transcript& tr : gene.transcripts)
        log << tr.transcriptId << ' ';
    log << "\nIsoform group IDs : ";
    for (uint64_t group : values.trans2group)
        log << group + 1 << ' ';
    log << "\n";
}

void DebugLog::printFinalWeights(const std::vector<double>& alphas,
                                 const std::vector<std::vector<double>>& groupBetas, std::stringstream& log)
{
    const std::ios::fmtflags flags = log.flags();
    const std::streamsize precision = log.precision();
    log << std::fixed << std::setprecision(5) << std::left;
    log << "\nFinal Alphas           : ";
    for (double alpha : alphas)
        log << std::setw(8) << alpha;
    for (size_t g = 0; g < groupBetas.size(); ++g) {
        log << "\nFinal Betas group( " << g + 1 << " ) : ";
        for (double beta : groupBetas[g])
            log << std::setw(8) << beta;
    }
    log.flags(flags);
    log.precision(precision);
}

bool DebugLog::writeLogFile(const std::string& outputDir, const Gene& gene, const std::string& text)
{
    std::ofstream out(outputDir + "/logfiles/" + logFileName(gene), std::ios::out | std::ios::trunc);
    if (!out.is_open())
        return false;
    out << text;
    out.close();
    return !out.fail();
}

std::string DebugLog::logFileName(const Gene& gene)
{
    // Names are shared between genes and ids are not, except by the parts of a gene
    // split over several references.
    const std::string name = gene.key.empty() ? gene.geneId : gene.geneId + "_" + gene.chromosome;
    // Escaped rather than replaced, so that ids such as G/1 and G_1 keep a log each.
    std::string escaped;
    for (const char c : name) {
        if (c == '%' || c == '/' || c == '\\' || c == '\0' || (c == '.' && escaped.empty())) {
            char code[4];
            std::snprintf(code, sizeof code, "%%%02X", static_cast<unsigned char>(c));
            escaped += code;
        } else {
            escaped += c;
        }
    }
    return files::fileSafeName(escaped) + ".log";
}

int DebugLog::validitiesToFile(FragmentMap& fragments, GeneMap::iterator& geneIt, std::string path)
{
    std::ofstream out(path, std::ios::out | std::ios::trunc);
    if (!out.is_open())
        return 0;
    const Gene& gene = geneIt->second;
    const size_t nrTranscripts = gene.transcripts.size();

    auto writeSection = [&](const char* name, auto valueOf) {
        out << "# name: " << name << "\n# rows: " << fragments.size() << "\n# columns: " << nrTranscripts << "\n";
        size_t row = 0;
        for (const auto& [key, reads] : fragments) {
            if (reads.empty()) {
                out << key;
                for (size_t t = 0; t < nrTranscripts; ++t)
                    out << " 0";
            } else {
                out << reads.front().name;
                for (size_t t = 0; t < nrTranscripts; ++t)
                    out << ' ' << valueOf(reads.front(), row, t);
            }
            out << "\n";
            ++row;
        }
    };

    writeSection("fragment_startsites_trans_coord",
                 [](const t_read& read, size_t, size_t t) { return valueAt(read.transStarts, t); });
    out << "\n";
    writeSection("fragment_startsites_validity_mat", [&gene](const t_read&, size_t row, size_t t) {
        return row < gene.validities.size() && t < gene.validities[row].size() && gene.validities[row][t] ? 1 : 0;
    });
    out << "\n";
    writeSection("fragment_lengths", [](const t_read& read, size_t, size_t t) { return valueAt(read.fragLengths, t); });
    return 1;
}
